// GilRelease: the interpreter lock is released for one scope and always taken back.
#pragma once

#include <Python.h>

#include "module/thread_exit.h"

class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    // Runs on every exit, unwinding included, so the boundary's handlers hold the lock. If the
    // interpreter is shutting down, taking the lock back ends the thread; it is parked instead.
    ~GilRelease() {
        parking_on_exit([this] { PyEval_RestoreThread(saved_); });
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* saved_;
};
