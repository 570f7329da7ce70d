// Result conversion: an operation's outcome to a new Python reference, or its failure raised.
#pragma once

#include <Python.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "camera/frame_buffer.h"
#include "errors/result.h"
#include "module/frame_array.h"
#include "module/py_ref.h"
#include "module/raise.h"

inline PyObject* to_python(std::monostate) { Py_RETURN_NONE; }

inline PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

inline PyObject* to_python(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    return result ? result : raise_api_failure();
}

inline PyObject* to_python(const std::string& text) {
    PyObject* result =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    return result ? result : raise_api_failure();
}

inline PyObject* to_python(const std::vector<std::string>& texts) {
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list)
        return raise_api_failure();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = to_python(texts[i]);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

/// With the GIL held; consumes the frame's bytes.
inline PyObject* to_python(FrameBuffer& frame) {
    Result<py::Ref> array = frame_to_array(std::move(frame));
    return array.ok() ? array.value().release() : raise(array.failure());
}

template <class T>
PyObject* to_python(Result<T>&& result) {
    return result.ok() ? to_python(result.value()) : raise(result.failure());
}
