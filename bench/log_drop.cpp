// Times a log record that the bridge drops because its target's cached level is higher: what
// the worker pays for a Debug record in every tick when Python does not want it.
#include "common/log.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" PyObject* PyInit_wenlo_motor_controller();

int main(int argc, char** argv) {
    PyImport_AppendInittab("wenlo_motor_controller", PyInit_wenlo_motor_controller);
    Py_InitializeEx(0);
    if (PyRun_SimpleString("import logging, wenlo_motor_controller\n"
                           "logging.getLogger('wenlo_motor_controller').setLevel(logging.WARNING)\n") != 0) {
        return 1;
    }
    const auto target = wenlo::log::kControlLoopTarget;
    // The first record fetches the logger and caches its level (Warn); Debug is dropped after.
    wenlo::log::write(target, wenlo::log::Level::Warn, "bench: caching the level", __FILE__, __LINE__);
    PyThreadState* saved = PyEval_SaveThread();  // dropped records must not need the interpreter
    const long kRecords = argc > 1 ? std::atol(argv[1]) : 50'000'000;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kRecords; ++i) {
        WENLO_LOG(target, wenlo::log::Level::Debug, std::string("never built"));
        asm volatile("" ::: "memory");
    }
    const auto took = std::chrono::steady_clock::now() - start;
    PyEval_RestoreThread(saved);
    std::printf("dropped Debug record (level cached at WARNING): %.2f ns each over %ld records, "
                "with the interpreter lock released\n",
                std::chrono::duration<double, std::nano>(took).count() / kRecords, kRecords);
    Py_FinalizeEx();
    return 0;
}
