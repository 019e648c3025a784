// Embeds the interpreter, imports the module (which installs the bridge) and logs through the
// system's logging entry from the main thread and from native threads.
#include "bindings/controller_lock.h"
#include "bindings/panic.h"
#include "bindings/convert.h"
#include "common/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" PyObject* PyInit_wenlo_motor_controller();

namespace {

using wenlo::log::Level;

constexpr std::string_view kTarget = "wenlo_motor_controller::controller";

// Runs Python source in __main__; fails the test on an exception.
void run(const char* code) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* result = PyRun_String(code, Py_file_input, globals, globals);
    if (result == nullptr) {
        PyErr_Print();
        FAIL() << "python code failed: " << code;
    }
    Py_DECREF(result);
}

long eval_long(const char* expr) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* value = PyRun_String(expr, Py_eval_input, globals, globals);
    if (value == nullptr) {
        PyErr_Print();
        return -1;
    }
    const long n = PyLong_AsLong(value);
    Py_DECREF(value);
    return n;
}

std::string eval_str(const char* expr) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* value = PyRun_String(expr, Py_eval_input, globals, globals);
    if (value == nullptr) {
        PyErr_Print();
        return "<error>";
    }
    const char* utf8 = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    std::string text = utf8 != nullptr ? utf8 : "<not a str>";
    PyErr_Clear();
    Py_DECREF(value);
    return text;
}

// Takes the pending exception and returns its text.
std::string fetch_error_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    std::string result = utf8 != nullptr ? utf8 : "<no text>";
    PyErr_Clear();
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return result;
}

class Bridge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        PyImport_AppendInittab("wenlo_motor_controller", PyInit_wenlo_motor_controller);
        Py_InitializeEx(0);
        run(R"(
import logging, wenlo_motor_controller
class Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []
    def emit(self, record):
        self.records.append(record)
collector = Collect()
logging.getLogger().addHandler(collector)
logging.getLogger().setLevel(logging.DEBUG)
)");
    }
    void SetUp() override { run("collector.records.clear()"); }
};

TEST_F(Bridge, RecordFromMainThreadArrivesWithNameLevelFileAndLine) {
    wenlo::log::write(kTarget, Level::Debug, "hello from main", "neck.cpp", 42);
    ASSERT_EQ(eval_long("len(collector.records)"), 1);
    EXPECT_EQ(eval_str("collector.records[0].name"), "wenlo_motor_controller.controller");
    EXPECT_EQ(eval_long("collector.records[0].levelno"), 10);
    EXPECT_EQ(eval_str("collector.records[0].getMessage()"), "hello from main");
    EXPECT_EQ(eval_str("collector.records[0].pathname"), "neck.cpp");
    EXPECT_EQ(eval_long("collector.records[0].lineno"), 42);
}

TEST_F(Bridge, TraceIsNeverForwarded) {
    wenlo::log::write(kTarget, Level::Trace, "too verbose", nullptr, 0);
    EXPECT_EQ(eval_long("len(collector.records)"), 0);
    EXPECT_FALSE(wenlo::log::enabled(kTarget, Level::Trace));
}

TEST_F(Bridge, RecordsFromNativeThreadsArrive) {
    // The main thread gives up the interpreter lock while it waits, as the module does.
    Py_BEGIN_ALLOW_THREADS;
    std::thread a([] {
        for (int i = 0; i < 50; ++i) {
            wenlo::log::write(kTarget, Level::Warn, "from a", nullptr, 0);
        }
    });
    std::thread b([] {
        for (int i = 0; i < 50; ++i) {
            wenlo::log::write("wenlo_motor_controller::control_loop", Level::Info, "from b",
                              nullptr, 0);
        }
    });
    a.join();
    b.join();
    Py_END_ALLOW_THREADS;
    EXPECT_EQ(eval_long("sum(r.name == 'wenlo_motor_controller.controller' for r in "
                        "collector.records)"),
              50);
    EXPECT_EQ(eval_long("sum(r.name == 'wenlo_motor_controller.control_loop' and r.levelno == 20 "
                        "for r in collector.records)"),
              50);
    EXPECT_EQ(eval_str("str(collector.records[0].pathname)"), "None");
}

TEST_F(Bridge, PendingExceptionSurvivesForwarding) {
    PyErr_SetString(PyExc_KeyError, "still here");
    wenlo::log::write(kTarget, Level::Error, "while an exception is pending", nullptr, 0);
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    EXPECT_EQ(fetch_error_text(), "still here");
    EXPECT_EQ(eval_long("len(collector.records)"), 1);
}

TEST_F(Bridge, ExceptionInsideLoggingDoesNotReachTheCaller) {
    run(R"(
class Broken(logging.Handler):
    def emit(self, record):
        raise ValueError("handler broke")
    def handleError(self, record):
        raise
broken = Broken()
logging.getLogger("wenlo_motor_controller.controller").addHandler(broken)
import sys
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(u)
)");
    wenlo::log::write(kTarget, Level::Error, "breaks the handler", nullptr, 0);
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_EQ(eval_long("len(unraisable)"), 1);
    run("logging.getLogger('wenlo_motor_controller.controller').removeHandler(broken)");
}

TEST_F(Bridge, FirstRecordFixesTheTargetsLevel) {
    // A fresh target, first seen while its logger is at WARNING.
    run("logging.getLogger('wenlo_motor_controller.cached').setLevel(logging.WARNING)");
    const std::string_view target = "wenlo_motor_controller::cached";
    wenlo::log::write(target, Level::Warn, "first", nullptr, 0);
    EXPECT_FALSE(wenlo::log::enabled(target, Level::Info));
    run("logging.getLogger('wenlo_motor_controller.cached').setLevel(logging.DEBUG)");
    wenlo::log::write(target, Level::Info, "dropped", nullptr, 0);
    wenlo::log::write(target, Level::Error, "kept", nullptr, 0);
    EXPECT_EQ(eval_long("[r.getMessage() for r in collector.records] == ['first', 'kept']"), 1);
}

// The controller lock: waiting for it gives up the interpreter lock, so a holder that logs
// (and so needs the interpreter lock) can finish; an internal failure poisons it.
TEST_F(Bridge, WaitingForTheLockDoesNotBlockAHolderThatLogs) {
    wenlo::Guarded<int> guarded(0);
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread holder;
    Py_BEGIN_ALLOW_THREADS;
    holder = std::thread([&] {
        wenlo::py::GilEnsure gil;
        auto done = wenlo::py::run_locked(guarded, [&](int& value) {
            holding = true;
            // Give back the interpreter lock while holding the controller lock, then log,
            // which takes it again.
            wenlo::py::AllowThreads released;
            while (!release) {
                std::this_thread::yield();
            }
            wenlo::log::write(kTarget, Level::Warn, "logged while holding the lock", nullptr, 0);
            value = 1;
            return 0;
        });
        EXPECT_TRUE(done.has_value());
    });
    while (!holding) {
        std::this_thread::yield();
    }
    Py_END_ALLOW_THREADS;
    release = true;
    // With the interpreter lock held, wait for the controller lock: must not deadlock.
    auto second = wenlo::py::run_locked(guarded, [](int& value) { return value; });
    Py_BEGIN_ALLOW_THREADS;
    holder.join();
    Py_END_ALLOW_THREADS;
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*second, 1);
    EXPECT_EQ(eval_long("len(collector.records)"), 1);
}

// Lock hand-offs are RAII pairs: an exception between the halves leaves the interpreter lock
// where it was before.
TEST_F(Bridge, HandOffsAreUndoneWhenAnExceptionPasses) {
    try {
        wenlo::py::AllowThreads released;
        EXPECT_FALSE(wenlo::py::holds_interpreter_lock());
        throw std::runtime_error("while released");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(wenlo::py::holds_interpreter_lock());

    std::atomic<bool> held_inside{false};
    std::atomic<bool> held_after{true};
    Py_BEGIN_ALLOW_THREADS;
    std::thread native([&] {
        try {
            wenlo::py::GilEnsure gil;
            held_inside = wenlo::py::holds_interpreter_lock();
            throw std::runtime_error("while held");
        } catch (const std::runtime_error&) {
        }
        held_after = wenlo::py::holds_interpreter_lock();
    });
    native.join();
    Py_END_ALLOW_THREADS;  // would wait forever had the native thread kept the lock
    EXPECT_TRUE(held_inside);
    EXPECT_FALSE(held_after);
}

// The owner calling in again is refused at once; it must not wait for itself.
TEST_F(Bridge, TheOwningThreadCallingAgainIsRefused) {
    wenlo::Guarded<int> guarded(0);
    bool inner_ran = false;
    auto outer = wenlo::py::run_locked(guarded, [&](int&) {
        auto inner = wenlo::py::run_locked(guarded, [&](int&) {
            inner_ran = true;
            return 0;
        });
        EXPECT_FALSE(inner.has_value());
        EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
        PyErr_Clear();
        return 1;
    });
    ASSERT_TRUE(outer.has_value());
    EXPECT_FALSE(inner_ran);
    // Not poisoned, and free again afterwards.
    EXPECT_TRUE(wenlo::py::run_locked(guarded, [](int&) { return 2; }).has_value());
}

TEST_F(Bridge, InternalFailurePoisonsTheLockForGood) {
    wenlo::Guarded<int> guarded(0);
    // As a method's entry runs it: the escaping failure becomes PanicException.
    auto failed = wenlo::py::guard<std::optional<int>>(std::nullopt, [&] {
        return wenlo::py::run_locked(guarded,
                                     [](int&) -> int { throw std::logic_error("invariant broken"); });
    });
    EXPECT_FALSE(failed.has_value());
    ASSERT_NE(PyErr_Occurred(), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(wenlo::py::panic_exception_type()));
    EXPECT_FALSE(PyErr_ExceptionMatches(PyExc_Exception));
    PyErr_Clear();
    bool touched = false;
    for (int i = 0; i < 2; ++i) {
        auto again = wenlo::py::run_locked(guarded, [&](int&) {
            touched = true;
            return 0;
        });
        EXPECT_FALSE(again.has_value());
        ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_RuntimeError));
        EXPECT_EQ(fetch_error_text(), "Failed to lock motor controller");
    }
    EXPECT_FALSE(touched);
}

// ControlLoopStats cannot be built from Python, so its repr is checked here.
TEST_F(Bridge, LoopStatsReprShowsMeansInMilliseconds) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* stats = wenlo::py::Caster<wenlo::control_loop::StatsSnapshot>::to({{0.01, 0.02}, {0.001}, {}});
    ASSERT_NE(stats, nullptr);
    PyDict_SetItemString(globals, "stats", stats);
    Py_DECREF(stats);
    EXPECT_EQ(eval_str("repr(stats)"),
              "ControlLoopStats(period=~15.00ms, read_dt=~1.00 ms, write_dt=~NaN ms)");
    EXPECT_EQ(eval_long("stats.period == [0.01, 0.02] and stats.read_dt == [0.001] and "
                        "stats.write_dt == []"),
              1);
    run("stats.period.append(5.0)");
    EXPECT_EQ(eval_long("len(stats.period)"), 2);  // a fresh list each time
    EXPECT_EQ(eval_long("type(stats).__name__ == 'ControlLoopStats'"), 1);

    PyObject* big = wenlo::py::Caster<wenlo::control_loop::StatsSnapshot>::to(
        {{1.0 / 60.0, 1.0 / 60.0, 1.0 / 60.0}, {0.0021}, {0.00035, 0.00035}});
    PyDict_SetItemString(globals, "big", big);
    Py_DECREF(big);
    EXPECT_EQ(eval_str("repr(big)"),
              "ControlLoopStats(period=~16.67ms, read_dt=~2.10 ms, write_dt=~0.35 ms)");
}

}  // namespace
