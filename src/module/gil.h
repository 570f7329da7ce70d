// GilRelease: the interpreter lock is released for one scope and always taken back.
#pragma once

#include <Python.h>

class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    // Runs on every exit, unwinding included, so the boundary's handlers hold the lock.
    ~GilRelease() { PyEval_RestoreThread(saved_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* saved_;
};
