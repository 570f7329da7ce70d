// py::Ref: one owned strong reference, move-only. Needs the GIL.
#pragma once

#include <Python.h>

#include <utility>

namespace py {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); } // adopts a new reference
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XSETREF(obj_, other.release()); // store, then drop: a finaliser may run Python code
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

} // namespace py
