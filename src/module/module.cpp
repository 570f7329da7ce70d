// PyInit_vexcam: one module per process, its registration and the two module functions.
#include <Python.h>

#include <cstdint>

#include "module/boundary.h"
#include "module/call_frame.h"
#include "module/camera_type.h"
#include "module/module_state.h"
#include "module/py_ref.h"
#include "module/raise.h"
#include "sdk/discovery.h"

namespace {

PyObject* module_init_sdk(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    return guarded([]() -> PyObject* {
        if (Status done = init_sdk(); !done.ok())
            return raise(done.failure());
        Py_RETURN_NONE;
    });
}

PyObject* module_scan_cameras(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    return guarded([]() -> PyObject* {
        Result<std::vector<std::string>> ids = scan_cameras();
        if (!ids.ok())
            return raise(ids.failure());
        // Built after the SDK resource has been given back.
        const std::vector<std::string>& found = ids.value();
        py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!list)
            return raise_api_failure();
        for (std::size_t i = 0; i < found.size(); ++i) {
            PyObject* id = PyUnicode_FromStringAndSize(found[i].data(),
                                                       static_cast<Py_ssize_t>(found[i].size()));
            if (id == nullptr)
                return raise_api_failure();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
        }
        return list.release();
    });
}

// Kept for the life of the process: the functions made from them point at them.
PyMethodDef init_sdk_def = {"init_sdk", module_init_sdk, METH_NOARGS, "init_sdk()\n--\n\n"};
PyMethodDef scan_cameras_def = {"scan_cameras", module_scan_cameras, METH_NOARGS,
                                "scan_cameras()\n--\n\n"};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vexcam", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's __all__, created empty when missing.
py::Ref module_all(PyObject* module) {
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
        all = py::Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0)
            return {};
        return all;
    }
    if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), "PyList");
        return {};
    }
    return all;
}

bool add_to_all(PyObject* module, PyObject* name) {
    py::Ref all = module_all(module);
    if (!all)
        return false;
    if (PyList_Append(all.get(), name) != 0) {
        raise_internal_fault("could not append __name__ to __all__");
        return false;
    }
    return true;
}

bool register_class(PyObject* module) {
    PyObject* type = camera_type();
    if (type == nullptr) {
        py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Camera");
        py::Ref error = py::Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        return false;
    }
    py::Ref name = py::Ref::steal(PyUnicode_FromString("Camera"));
    return name && add_to_all(module, name.get()) &&
           PyObject_SetAttr(module, name.get(), type) == 0;
}

bool register_function(PyObject* module, PyMethodDef* def) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr)
        return false;
    py::Ref module_name_obj = py::Ref::steal(PyUnicode_FromString(module_name));
    if (!module_name_obj)
        return false;
    py::Ref function = py::Ref::steal(PyCMethod_New(def, module, module_name_obj.get(), nullptr));
    if (!function)
        return false;
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    return name && add_to_all(module, name.get()) &&
           PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return nullptr;
    std::int64_t expected = -1;
    if (!module_state.owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "vexcam does not yet support sub-interpreters: it can be imported in one "
                        "interpreter per process only, see "
                        "https://github.com/vexcam/vexcam/issues/2");
        return nullptr;
    }
    if (module_state.module != nullptr)
        return Py_NewRef(module_state.module);
    py::Ref module = py::Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module)
        return nullptr;
    if (!register_class(module.get()) || !register_function(module.get(), &init_sdk_def) ||
        !register_function(module.get(), &scan_cameras_def))
        return nullptr;
    if (module_state.module == nullptr)
        module_state.module = module.release();
    return Py_NewRef(module_state.module);
}

} // namespace

PyMODINIT_FUNC PyInit_vexcam(void);

PyMODINIT_FUNC PyInit_vexcam(void) { return guarded(init_module); }
