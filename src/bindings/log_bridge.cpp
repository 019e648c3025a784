#include "bindings/log_bridge.h"

#include "bindings/interrupt.h"
#include "bindings/panic.h"
#include "common/log.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace wenlo::py {
namespace {

using log::Level;

constexpr Level kMaxLevel = Level::Debug;

// Error 40, Warn 30, Info 20, Debug 10, Trace 5.
int python_level(Level level) {
    return level == Level::Trace ? 5 : 50 - 10 * static_cast<int>(level);
}

// "a::b::c" becomes "a.b.c", the Python logger's name.
std::string logger_name(std::string_view target) {
    std::string name;
    for (std::size_t i = 0; i < target.size(); ++i) {
        const bool separator = target.substr(i, 2) == "::";
        name += separator ? '.' : target[i];
        i += separator ? 1 : 0;
    }
    return name;
}

struct Entry {
    std::string target;
    PyObject* logger;            // strong reference, kept for the life of the process
    std::optional<Level> level;  // the most verbose it accepted when first seen; none: nothing
};
using Cache = std::vector<Entry>;

PyObject* g_logging = nullptr;  // the logging module, kept for the life of the process

class Bridge final : public log::Sink {
  public:
    bool enabled(std::string_view target, Level level) override {
        if (level > kMaxLevel) {
            return false;
        }
        const Cache* cache = cache_.load(std::memory_order_acquire);
        if (const Entry* entry = find(*cache, target)) {
            return entry->level && level <= *entry->level;
        }
        return true;  // not seen yet: Python decides on the first record
    }

    void log(std::string_view target, Level level, std::string_view message, const char* file,
             std::uint32_t line) override {
        // Records keep flowing for as long as Python's logging can take them (exit handlers
        // included) and stop once finalization has begun. Finalization may still begin between
        // this check and PyGILState_Ensure: CPython then ends this thread with a forced unwind
        // (3.10 to 3.13) or parks it for good (3.14 on), and nothing on our way out touches
        // Python or waits for anything, so neither aborts the process nor blocks its exit.
        if (!enabled(target, level) || Py_IsInitialized() == 0 || interpreter_finalizing()) {
            return;
        }
        GilEnsure gil;
        PendingErrorGuard pending;
        deliver(target, level, message, file, line);
    }

  private:
    static const Entry* find(const Cache& cache, std::string_view target) {
        for (const Entry& entry : cache) {
            if (std::string_view(entry.target) == target) {  // lengths first, then bytes
                return &entry;
            }
        }
        return nullptr;
    }

    static bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing() != 0;
#else
        return _Py_IsFinalizing() != 0;
#endif
    }

    void deliver(std::string_view target, Level level, std::string_view message, const char* file,
                 std::uint32_t line) {
        std::string name = logger_name(target);
        const Cache* cache = cache_.load(std::memory_order_acquire);
        const Entry* entry = find(*cache, target);
        Ref logger =
            entry != nullptr
                ? Ref::borrow(entry->logger)
                : Ref::steal(PyObject_CallMethod(g_logging, "getLogger", "s", name.c_str()));
        if (!logger) {
            report_failure(nullptr);
            return;
        }
        const int number = python_level(level);
        Ref on = Ref::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", number));
        if (!on) {
            report_failure(logger.get());
        } else if (PyObject_IsTrue(on.get()) == 1) {
            emit(logger.get(), name, number, message, file, line);
        }
        PyErr_Clear();
        if (entry == nullptr) {
            const std::optional<Level> level = probe(logger.get());
            remember(std::string(target), logger.get(), level);
            // From now on the layers can drop this target's unwanted records on their own.
            log::settle(target, level ? std::optional(std::min(*level, kMaxLevel)) : std::nullopt);
        }
    }

    static void emit(PyObject* logger, const std::string& name, int number,
                     std::string_view message, const char* file, std::uint32_t line) {
        Ref py_name = Ref::steal(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        Ref py_file =
            file != nullptr ? Ref::steal(PyUnicode_FromString(file)) : Ref::borrow(Py_None);
        Ref py_msg = Ref::steal(PyUnicode_DecodeUTF8(
            message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        Ref record = Ref::steal(py_name && py_file && py_msg
                                    ? PyObject_CallMethod(logger, "makeRecord", "OiOIO()O",
                                                          py_name.get(), number, py_file.get(),
                                                          static_cast<unsigned int>(line),
                                                          py_msg.get(), Py_None)
                                    : nullptr);
        Ref handled =
            Ref::steal(record ? PyObject_CallMethod(logger, "handle", "O", record.get()) : nullptr);
        if (!handled) {
            report_failure(logger);
        }
    }

    static std::optional<Level> probe(PyObject* logger) {
        for (Level level : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
            Ref on =
                Ref::steal(PyObject_CallMethod(logger, "isEnabledFor", "i", python_level(level)));
            if (!on) {
                if (!keep_signal_exception()) {
                    PyErr_Clear();
                }
            } else if (PyObject_IsTrue(on.get()) == 1) {
                return level;
            }
        }
        PyErr_Clear();
        return std::nullopt;
    }

    // A failure inside Python's logging must never reach the operation that logged; it is
    // reported the way Python reports errors it cannot raise. A signal's exception (Ctrl-C while
    // a handler ran) is the exception: it is kept to stop the operation, as Python's logging
    // would let it pass.
    static void report_failure(PyObject* context) {
        if (PyErr_Occurred() && !keep_signal_exception()) {
            PyErr_WriteUnraisable(context);
        }
    }

    void remember(std::string target, PyObject* logger, std::optional<Level> level) {
        // Copy-on-write; a concurrent addition may be lost and is simply made again later.
        // Versions are never freed: a reader may still hold one, the cache only grows and the
        // system has two targets, so a handful of small vectors is the whole cost.
        const Cache* current = cache_.load(std::memory_order_acquire);
        if (find(*current, target) != nullptr) {
            return;
        }
        auto* next = new Cache(*current);
        Py_INCREF(logger);
        next->push_back(Entry{std::move(target), logger, level});
        cache_.store(next, std::memory_order_release);
    }

    // A plain atomic pointer: a dropped record costs one load and a compare, no reference count.
    std::atomic<const Cache*> cache_{new Cache()};
};

Bridge* bridge() {
    // Never destroyed: worker threads may still log while the process exits.
    static Bridge* instance = new Bridge();
    return instance;
}

}  // namespace

bool install_log_bridge() {
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        Ref error = take_pending_exception();
        std::string text = "Failed to initialize python logging";
        if (Ref str = Ref::steal(error ? PyObject_Str(error.get()) : nullptr)) {
            if (const char* s = PyUnicode_AsUTF8(str.get())) {
                text += ": ";
                text += s;
            }
        }
        PyErr_Clear();
        raise_panic(text);
        return false;
    }
    g_logging = logging.detach();  // before the bridge can receive a record
    if (!log::set_sink(bridge())) {
        raise_panic("a log sink is already registered in this process");
        return false;
    }
    return true;
}

}  // namespace wenlo::py
