// Failure values to Python exceptions, and the PanicException class.
#include "module/raise.h"

#include <type_traits>

#include "module/module_state.h"
#include "module/py_ref.h"

namespace {

constexpr char kPanicDoc[] =
    "The exception raised when vexcam's own code fails internally while called from Python.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates all the way up the stack and ends the interpreter.";

PyObject* panic_exception_type() {
    if (module_state.panic_exception == nullptr)
        module_state.panic_exception = PyErr_NewExceptionWithDoc("vexcam.PanicException", kPanicDoc,
                                                                 PyExc_BaseException, nullptr);
    return module_state.panic_exception;
}

// The only place where the interpreter prints an error of ours: one that an interpreter call
// or a type's creation left pending, which the fault's text does not describe.
void raise_fault(const InternalFault& fault) {
    const bool print =
        fault.kind == FaultKind::ApiCallFailed || fault.kind == FaultKind::TypeCreationFailed;
    if (print && PyErr_Occurred())
        PyErr_Print();
    raise_internal_fault(render(fault).c_str());
}

} // namespace

PyObject* raise_internal_fault(const char* text) {
    // An error still pending (the one that led here) is set aside while the class is made,
    // which cannot happen with an exception set, and becomes the fault's context.
    py::Ref pending = py::Ref::steal(PyErr_GetRaisedException());
    PyObject* type = panic_exception_type();
    if (type == nullptr)
        return nullptr; // the error that creation set is what the caller sees
    PyErr_SetString(type, text);
    if (pending) {
        py::Ref fault = py::Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(fault.get(), pending.release()); // steals the context
        PyErr_SetRaisedException(fault.release());
    }
    return nullptr;
}

PyObject* raise_api_failure() { return raise(InternalFault{FaultKind::ApiCallFailed}); }

PyObject* raise(const Failure& failure) {
    std::visit(
        [](const auto& f) {
            using Kind = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<Kind, CameraError>)
                PyErr_SetString(PyExc_RuntimeError, render(f).c_str());
            else if constexpr (std::is_same_v<Kind, InvalidValue>)
                PyErr_SetString(PyExc_ValueError, render(f).c_str());
            else if constexpr (std::is_same_v<Kind, OutOfMemory>)
                PyErr_NoMemory();
            else if constexpr (std::is_same_v<Kind, AlreadyRaised>)
                return; // the exception is set already
            else
                raise_fault(f);
        },
        failure);
    return nullptr;
}

std::string take_error_description() {
    py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
    if (!error)
        return "unknown error";
    std::string text;
    if (py::Ref name = py::Ref::steal(PyType_GetQualName(Py_TYPE(error.get())))) {
        if (const char* utf8 = PyUnicode_AsUTF8(name.get()))
            text = utf8;
    }
    if (py::Ref message = py::Ref::steal(PyObject_Str(error.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(message.get(), &size); utf8 && size > 0)
            text.append(": ").append(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear(); // a failure while describing the error is not the error being reported
    return text.empty() ? "unknown error" : text;
}
