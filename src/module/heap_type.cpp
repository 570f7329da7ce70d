// Heap type creation shared by Camera and PySliceContainer.
#include "module/heap_type.h"

#include <array>
#include <string>

PyObject* make_heap_type(const char* class_name, const char* doc, int basic_size,
                         destructor dealloc, newfunc tp_new, PyMethodDef* methods) {
    std::array<PyType_Slot, 6> slots{};
    std::size_t n = 0;
    slots[n++] = {Py_tp_base, &PyBaseObject_Type};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    if (doc != nullptr && doc[0] != '\0')
        slots[n++] = {Py_tp_doc, const_cast<char*>(doc)};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(tp_new)};
    if (methods != nullptr)
        slots[n++] = {Py_tp_methods, methods};
    slots[n] = {0, nullptr};
    // PyType_FromSpec copies the name and the documentation, so temporaries are fine here.
    const std::string name = std::string("builtins.") + class_name;
    PyType_Spec type_spec{name.c_str(), basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    return PyType_FromSpec(&type_spec);
}
