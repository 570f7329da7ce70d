// Finding NumPy's array API table: the capsule's lookup and its failures.
#include "module/numpy_api.h"

#include <cstddef>
#include <string>
#include <utility>

#include "module/call_frame.h"
#include "module/module_state.h"
#include "module/py_ref.h"
#include "module/raise.h"
#include "module/thread_exit.h"

namespace numpy {
namespace {

// Positions in NumPy's published array API table.
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kSetBaseObjectSlot = 282;

// NumPy 2 keeps its array module under numpy._core (numpy.core is a deprecated alias that
// a later NumPy drops); NumPy 1 has only numpy.core.
constexpr const char* kArrayModules[] = {"numpy._core.multiarray", "numpy.core.multiarray"};

// What a failed step met: an absence of the array API (NumPy missing, or without the
// capsule), or anything else, such as a KeyboardInterrupt raised by a signal handler while
// NumPy was importing, which the caller gets as it is.
bool api_is_missing() {
    return PyErr_ExceptionMatches(PyExc_ImportError) ||
           PyErr_ExceptionMatches(PyExc_AttributeError);
}

InternalFault missing_api(std::string detail) {
    return InternalFault{FaultKind::NumpyApiMissing, std::move(detail)};
}

// The capsule "_ARRAY_API" of the first array module that has one.
Result<py::Ref> api_capsule() {
    std::string met;
    for (const char* name : kArrayModules) {
        // An import runs Python code, which may end this thread at shutdown (thread_exit.h).
        py::Ref module =
            py::Ref::steal(parking_on_exit([name] { return PyImport_ImportModule(name); }));
        py::Ref capsule =
            module ? py::Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API")) : py::Ref();
        if (capsule)
            return capsule;
        if (!api_is_missing())
            return AlreadyRaised{};
        met = take_error_description();
    }
    return missing_api(std::move(met));
}

Result<void**> table() {
    if (module_state.numpy_api != nullptr)
        return module_state.numpy_api;
    Result<py::Ref> found = api_capsule();
    if (!found.ok())
        return found.take_failure();
    py::Ref capsule = std::move(found.value());
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_cannot_convert(capsule.get(), "PyCapsule");
        return missing_api(take_error_description());
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred())
        return missing_api(take_error_description());
    auto* found_table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (found_table == nullptr) {
        // A null table must never be cached or used.
        return missing_api(PyErr_Occurred() ? take_error_description()
                                            : std::string("the capsule holds a null pointer"));
    }
    if (module_state.numpy_api == nullptr) {
        module_state.numpy_api = found_table;
        (void)capsule.release(); // keeps the table alive for good
    }
    return module_state.numpy_api;
}

template <class Entry>
Entry entry(void** found, std::size_t slot) {
    return reinterpret_cast<Entry>(found[slot]);
}

} // namespace

Result<Api> api() {
    Result<void**> found = table();
    if (!found.ok())
        return found.take_failure();
    void** t = found.value();
    return Api{
        static_cast<PyTypeObject*>(t[kArrayTypeSlot]),
        entry<decltype(Api::descr_from_type)>(t, kDescrFromTypeSlot),
        entry<decltype(Api::new_from_descr)>(t, kNewFromDescrSlot),
        entry<decltype(Api::set_base_object)>(t, kSetBaseObjectSlot),
    };
}

} // namespace numpy
