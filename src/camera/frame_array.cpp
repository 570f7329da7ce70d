// Frame to numpy array, through NumPy's C array API table taken from its capsule at run time.
// We carry no NumPy headers: the few entries, constants and layouts we use are declared here,
// and they are the same in NumPy 1.x and 2.x.
#include "camera/frame_array.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "module/heap_type.h"
#include "module/raise.h"
#include "module/thread_exit.h"
#include "module/trace_memory.h"

namespace {

using npy_intp = Py_ssize_t;

// Positions in NumPy's published array API table.
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kSetBaseObjectSlot = 282;

constexpr int kTypeUByte = 2;
constexpr int kTypeUShort = 4;
constexpr int kArrayWriteable = 0x0400;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*,
                                   const npy_intp*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// Filled by the first successful lookup and never emptied; the capsule that backs it is
// kept referenced for the life of the process.
void** numpy_api = nullptr;

// NumPy 2 keeps its array module under numpy._core (numpy.core is a deprecated alias that
// a later NumPy drops); NumPy 1 has only numpy.core.
constexpr const char* kArrayModules[] = {"numpy._core.multiarray", "numpy.core.multiarray"};

// What a failed step met: an absence of the array API (NumPy missing, or without the
// capsule), or anything else, such as a KeyboardInterrupt raised by a signal handler while
// NumPy was importing, which the caller gets as it is.
bool api_is_missing() {
    return PyErr_ExceptionMatches(PyExc_ImportError) || PyErr_ExceptionMatches(PyExc_AttributeError);
}

InternalFault missing_api(std::string detail) {
    return InternalFault{"Failed to access NumPy array API capsule: " + std::move(detail)};
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

// Result of a lookup: the table, or the failure.
Result<void**> numpy_api_table() {
    if (numpy_api != nullptr)
        return numpy_api;
    Result<py::Ref> found = api_capsule();
    if (!found.ok())
        return found.take_failure();
    py::Ref capsule = std::move(found.value());
    if (!PyCapsule_CheckExact(capsule.get())) {
        py::Ref qualname = py::Ref::steal(PyType_GetQualName(Py_TYPE(capsule.get())));
        const char* type = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
        PyErr_Clear();
        return missing_api(std::string("'") + (type ? type : "?") +
                           "' object cannot be converted to 'PyCapsule'");
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred())
        return missing_api(take_error_description());
    auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (table == nullptr) {
        // A null table must never be cached or used.
        return missing_api(PyErr_Occurred() ? take_error_description()
                                            : std::string("the capsule holds a null pointer"));
    }
    if (numpy_api == nullptr) {
        numpy_api = table;
        (void)capsule.release(); // keeps the table alive for good
    }
    return numpy_api;
}

// The sample buffer's owner and the array's base object.
struct SliceContainer {
    PyObject_HEAD
    void (*release)(void* data, std::size_t length, std::size_t capacity);
    void* data;
    std::size_t length;
    std::size_t capacity;
};

template <class Element>
void release_samples(void* data, std::size_t /*length*/, std::size_t capacity) {
    vexcam_trace_free(kArrayDataTraceDomain, reinterpret_cast<std::uintptr_t>(data));
    release_block(data, capacity * sizeof(Element));
}

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->release != nullptr)
        container->release(container->data, container->length, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type); // heap type: every instance holds a reference to it
}

PyObject* container_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

constexpr char kContainerDoc[] =
    "Utility type that keeps an owned buffer alive on the Python heap.";

// Made on the first conversion and kept for the life of the process.
PyObject* container_type_cell = nullptr;

Result<PyTypeObject*> container_type() {
    if (container_type_cell == nullptr) {
        PyObject* type = make_heap_type("PySliceContainer", kContainerDoc,
                                        static_cast<int>(sizeof(SliceContainer)),
                                        container_dealloc, container_new, nullptr);
        if (type == nullptr) {
            PyErr_Print();
            return InternalFault{"failed to create type object for PySliceContainer"};
        }
        container_type_cell = type;
    }
    return reinterpret_cast<PyTypeObject*>(container_type_cell);
}

Result<py::Ref> api_failure() {
    if (PyErr_Occurred())
        PyErr_Print();
    return InternalFault{"Python API call failed"};
}

} // namespace

Status prepare_frame_arrays() {
    if (Result<void**> api = numpy_api_table(); !api.ok())
        return api.take_failure();
    if (Result<PyTypeObject*> type = container_type(); !type.ok())
        return type.take_failure();
    return success();
}

Result<py::Ref> frame_to_array(FrameBuffer frame) {
    const std::uint64_t n = std::uint64_t{frame.width} * frame.height;
    if (n == 0)
        return InvalidValue{"Invalid frame dimensions (width or height is 0)"};
    const bool wide = frame.bits_per_pixel > 8;
    const std::size_t element = wide ? 2 : 1;
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / element)
        return InternalFault{"capacity overflow"};

    // Normally known since prepare_frame_arrays(), before the frame was read.
    Result<void**> api = numpy_api_table();
    if (!api.ok())
        return api.take_failure();
    Result<PyTypeObject*> type = container_type();
    if (!type.ok())
        return type.take_failure();

    // The one copy of the samples. Only the tail past a short `data` needs zeros.
    const std::size_t bytes = static_cast<std::size_t>(n) * element;
    Block samples = Block::allocate(bytes);
    if (!samples)
        return OutOfMemory{};
    const std::size_t available = wide ? frame.data.size() & ~std::size_t{1} : frame.data.size();
    const std::size_t copied = available < bytes ? available : bytes;
    std::memcpy(samples.get(), frame.data.get(), copied);
    std::memset(samples.get() + copied, 0, bytes - copied);
    frame.data.reset();

    py::Ref container = py::Ref::steal(type.value()->tp_alloc(type.value(), 0));
    if (!container)
        return InternalFault{"Failed to create slice container: " + take_error_description()};
    auto* slice = reinterpret_cast<SliceContainer*>(container.get());
    slice->release = wide ? release_samples<std::uint16_t> : release_samples<std::uint8_t>;
    slice->data = samples.release(); // from here the container frees the samples
    slice->length = static_cast<std::size_t>(n);
    slice->capacity = static_cast<std::size_t>(n);
    // Reported to tracemalloc as NumPy reports the data of its own arrays.
    vexcam_trace_alloc(kArrayDataTraceDomain, reinterpret_cast<std::uintptr_t>(slice->data), bytes);

    void** table = api.value();
    auto descr_from_type = reinterpret_cast<DescrFromType>(table[kDescrFromTypeSlot]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(table[kNewFromDescrSlot]);
    auto set_base_object = reinterpret_cast<SetBaseObject>(table[kSetBaseObjectSlot]);
    auto* array_type = static_cast<PyTypeObject*>(table[kArrayTypeSlot]);

    PyObject* descr = descr_from_type(wide ? kTypeUShort : kTypeUByte);
    if (descr == nullptr)
        return api_failure();
    const npy_intp dims[2] = {static_cast<npy_intp>(frame.height),
                              static_cast<npy_intp>(frame.width)};
    const npy_intp strides[2] = {static_cast<npy_intp>(frame.width * element),
                                 static_cast<npy_intp>(element)};
    // Steals `descr`, also on failure.
    py::Ref array = py::Ref::steal(new_from_descr(array_type, descr, 2, dims, strides, slice->data,
                                                  kArrayWriteable, nullptr));
    if (!array)
        return api_failure();
    // Steals the container, also on failure; the array then keeps the samples alive.
    if (set_base_object(array.get(), container.release()) != 0)
        return api_failure();
    return array;
}
