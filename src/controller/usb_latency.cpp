#include "controller/usb_latency.h"

#include "common/log.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace wenlo::controller {
namespace {

std::optional<int> read_timer(const std::string& file) {
    std::ifstream in(file);
    int ms = 0;
    if (!(in >> ms)) {
        return std::nullopt;
    }
    return ms;
}

// The low-latency flag of the serial driver; ftdi_sio answers it with a 1 ms timer.
void ask_low_latency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &serial);
}

}  // namespace

void check_usb_latency(const std::string& device, int fd, const std::string& sysfs) {
    // /dev/ttyUSB0, or a udev symlink to it: the kernel's name is the last part of the target.
    char resolved[PATH_MAX];
    const std::string path = realpath(device.c_str(), resolved) != nullptr ? resolved : device;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string timer = sysfs + "/class/tty/" + name + "/device/latency_timer";
    const auto before = read_timer(timer);
    if (!before || *before <= 1) {
        return;
    }
    ask_low_latency(fd);
    const auto after = read_timer(timer);
    if (!after || *after <= 1) {
        return;
    }
    WENLO_LOG(log::kControllerTarget, log::Level::Warn,
              "serial port '" + device + "': its USB latency timer is " + std::to_string(*after) +
                  " ms, so each answer may wait that long. Set it to 1 ms: echo 1 | sudo tee "
                  "/sys/bus/usb-serial/devices/" + name +
                  "/latency_timer; for good, a udev rule: ACTION==\"add\", "
                  "SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"");
}

}  // namespace wenlo::controller
