// Argument binding and conversion: the exact errors of every Python entry point.
#include "module/call_frame.h"

#include <cstring>
#include <string>

#include "module/py_ref.h"

namespace {

// An integer that converts but does not fit its unsigned parameter.
constexpr char kOutOfRange[] = "out of range integral type conversion attempted";

std::string full_name(const CallableSpec& callable) {
    std::string name;
    if (callable.class_name != nullptr)
        name.append(callable.class_name).append(".");
    return name.append(callable.function).append("()");
}

// Rewrites a conversion's TypeError (exactly that class) to name the parameter.
void argument_error(const char* name) {
    py::Ref caught = py::Ref::steal(PyErr_GetRaisedException());
    if (Py_TYPE(caught.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(caught.release());
        return;
    }
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, caught.get()));
    if (!message)
        return;
    py::Ref rewritten = py::Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!rewritten)
        return;
    PyException_SetCause(rewritten.get(), PyException_GetCause(caught.get())); // steals the cause
    PyErr_SetRaisedException(rewritten.release());
}

void raise_too_many(const CallableSpec& callable, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 full_name(callable).c_str(), callable.count, given, given == 1 ? "was" : "were");
}

void raise_missing(const CallableSpec& callable, PyObject* const* slots) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < callable.count; ++i)
        missing += slots[i] == nullptr;
    std::string list;
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < callable.count; ++i) {
        if (slots[i] != nullptr)
            continue;
        ++listed;
        if (listed > 1)
            list += missing == 2 ? " and " : (listed == missing ? ", and " : ", ");
        list.append("'").append(callable.name(i)).append("'");
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s",
                 full_name(callable).c_str(), missing, missing == 1 ? "argument" : "arguments",
                 list.c_str());
}

bool fill_slot(const CallableSpec& callable, Py_ssize_t i, PyObject* value, PyObject** slots) {
    if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     full_name(callable).c_str(), callable.name(i));
        return false;
    }
    slots[i] = value;
    return true;
}

// Binds one keyword; false with the TypeError set.
bool bind_keyword(const CallableSpec& callable, PyObject* name, PyObject* value, PyObject** slots) {
    if (!PyUnicode_Check(name)) {
        raise_cannot_convert(name, "PyString");
        return false;
    }
    PyObject** interned = callable.interned;
    for (Py_ssize_t i = 0; i < callable.count; ++i) {
        if (interned[i] == nullptr) {
            // Without it keywords still match by text.
            interned[i] = PyUnicode_InternFromString(callable.name(i));
            if (interned[i] == nullptr)
                PyErr_Clear();
        }
        if (name == interned[i])
            return fill_slot(callable, i, value, slots);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr)
        PyErr_Clear(); // a name that is not UTF-8 matches no parameter
    for (Py_ssize_t i = 0; text != nullptr && i < callable.count; ++i) {
        const char* param = callable.name(i);
        if (std::strlen(param) == static_cast<std::size_t>(size) &&
            std::memcmp(param, text, static_cast<std::size_t>(size)) == 0)
            return fill_slot(callable, i, value, slots);
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 full_name(callable).c_str(), name);
    return false;
}

bool finish_binding(const CallableSpec& callable, Py_ssize_t nargs, PyObject** slots) {
    for (Py_ssize_t i = nargs; i < callable.count; ++i) {
        if (slots[i] == nullptr) {
            raise_missing(callable, slots);
            return false;
        }
    }
    return true;
}

} // namespace

PyObject* raise_cannot_convert(PyObject* obj, const char* target) {
    py::Ref qualname = py::Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname)
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                     target);
    return nullptr;
}

bool bind_arguments_general(const CallableSpec& callable, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = callable.count;
    for (Py_ssize_t i = 0; i < n; ++i)
        slots[i] = i < nargs ? args[i] : nullptr;
    if (nargs > n) {
        raise_too_many(callable, nargs);
        return false;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(callable, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots))
                return false;
        }
    }
    return nargs == n || finish_binding(callable, nargs, slots);
}

bool bind_arguments(const CallableSpec& callable, PyObject* args, PyObject* kwargs,
                    PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t n = callable.count;
    for (Py_ssize_t i = 0; i < n; ++i)
        slots[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (nargs > n) {
        raise_too_many(callable, nargs);
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!bind_keyword(callable, name, value, slots))
                return false;
        }
    }
    return nargs == n || finish_binding(callable, nargs, slots);
}

bool convert_u32_general(PyObject* obj, const char* name, std::uint32_t& out) {
    unsigned long long value = 0;
    if (PyLong_CheckExact(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        py::Ref index = py::Ref::steal(PyNumber_Index(obj));
        if (!index) {
            argument_error(name);
            return false;
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        argument_error(name);
        return false;
    }
    if (value > 0xFFFFFFFFull) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_argument(PyObject* obj, const char* name, std::uint8_t& out) {
    py::Ref index = py::Ref::steal(PyNumber_Index(obj));
    if (!index) {
        argument_error(name);
        return false;
    }
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        argument_error(name);
        return false;
    }
    if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool convert_double_general(PyObject* obj, const char* name, double& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        argument_error(name);
        return false;
    }
    out = value;
    return true;
}

bool convert_argument(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        argument_error(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        argument_error(name);
        return false;
    }
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}
