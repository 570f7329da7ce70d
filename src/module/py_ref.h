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
    ~Ref() {
        // Without a thread state the reference is left as it is: that happens only while the
        // interpreter ends this thread at shutdown (thread_exit.h), and the process is ending.
        if (obj_ != nullptr && thread_attached())
            Py_DECREF(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    static bool thread_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        return PyThreadState_GetUnchecked() != nullptr;
#else
        return _PyThreadState_UncheckedGet() != nullptr;
#endif
    }
    PyObject* obj_ = nullptr;
};

} // namespace py
