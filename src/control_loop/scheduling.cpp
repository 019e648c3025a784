#include "control_loop/scheduling.h"

#include "common/log.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wenlo::control_loop {
namespace {

std::string cpu_list(const std::vector<int>& cpus) {
    std::string text = "[";
    for (std::size_t i = 0; i < cpus.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(cpus[i]);
    }
    return text + "]";
}

std::string os_text(int code) {
    const char* text = strerrordesc_np(code);
    return text != nullptr ? text : "error " + std::to_string(code);
}

void warn(const std::string& text) {
    WENLO_LOG(log::kControlLoopTarget, log::Level::Warn, text);
}

}  // namespace

std::optional<std::string> invalid_scheduling(const Scheduling& wanted) {
    if (wanted.rt_priority) {
        const int low = sched_get_priority_min(SCHED_FIFO);
        const int high = sched_get_priority_max(SCHED_FIFO);
        if (*wanted.rt_priority < low || *wanted.rt_priority > high) {
            return "rt_priority must be from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", got " + std::to_string(*wanted.rt_priority);
        }
    }
    if (wanted.cpu_affinity) {
        if (wanted.cpu_affinity->empty()) {
            return "cpu_affinity must name at least one CPU";
        }
        for (int cpu : *wanted.cpu_affinity) {
            if (cpu < 0 || cpu >= CPU_SETSIZE) {
                return "cpu_affinity: " + std::to_string(cpu) + " is not a CPU number";
            }
        }
    }
    return std::nullopt;
}

void apply_scheduling(const Scheduling& wanted) {
    if (!wanted.rt_priority && !wanted.cpu_affinity) {
        return;
    }
    std::string took;
    if (wanted.rt_priority) {
        sched_param param{};
        param.sched_priority = *wanted.rt_priority;
        if (const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            error != 0) {
            warn("control loop worker: SCHED_FIFO at priority " +
                 std::to_string(*wanted.rt_priority) + " refused (" + os_text(error) +
                 "); it runs as an ordinary thread. Allow it with CAP_SYS_NICE (setcap "
                 "cap_sys_nice+ep on the python executable) or an rtprio limit in "
                 "/etc/security/limits.conf");
        } else {
            took = "SCHED_FIFO at priority " + std::to_string(*wanted.rt_priority);
        }
    }
    if (wanted.cpu_affinity) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu : *wanted.cpu_affinity) {
            CPU_SET(cpu, &set);
        }
        if (const int error = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
            error != 0) {
            warn("control loop worker: CPU affinity " + cpu_list(*wanted.cpu_affinity) +
                 " refused (" + os_text(error) + "); it runs on any CPU. Name CPUs from 0 to " +
                 std::to_string(sysconf(_SC_NPROCESSORS_ONLN) - 1) +
                 " that this process may use (see taskset -p)");
        } else {
            took += (took.empty() ? "" : ", ") + std::string("on CPUs ") +
                    cpu_list(*wanted.cpu_affinity);
        }
    }
    if (!took.empty()) {
        WENLO_LOG(log::kControlLoopTarget, log::Level::Info, "control loop worker: " + took);
    }
}

}  // namespace wenlo::control_loop
