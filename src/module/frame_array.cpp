// The PySliceContainer type and the wrapping of a frame's samples as a numpy array.
#include "module/frame_array.h"

#include <cstdint>
#include <new>
#include <utility>

#include "camera/frame_samples.h"
#include "module/heap_type.h"
#include "module/module_state.h"
#include "module/numpy_api.h"
#include "module/raise.h"
#include "module/trace_memory.h"

namespace {

// The sample block's owner and the array's base object.
struct SliceContainer {
    PyObject_HEAD
    Block samples; // constructed in place once the object exists; gone with the object
};

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->samples)
        vexcam_trace_free(kArrayDataTraceDomain,
                          reinterpret_cast<std::uintptr_t>(container->samples.get()));
    container->samples.~Block();
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

Result<PyTypeObject*> container_type() {
    if (module_state.container_type == nullptr) {
        PyObject* type = make_heap_type("PySliceContainer", kContainerDoc,
                                        static_cast<int>(sizeof(SliceContainer)), container_dealloc,
                                        container_new, nullptr);
        if (type == nullptr)
            return InternalFault{FaultKind::TypeCreationFailed, "PySliceContainer"};
        module_state.container_type = type;
    }
    return reinterpret_cast<PyTypeObject*>(module_state.container_type);
}

// A container that owns `samples`, which tracemalloc then counts as NumPy counts the data of
// its own arrays.
Result<py::Ref> contain(PyTypeObject* type, Block samples) {
    py::Ref container = py::Ref::steal(type->tp_alloc(type, 0));
    if (!container)
        return InternalFault{FaultKind::ContainerFailed, take_error_description()};
    auto* slice = reinterpret_cast<SliceContainer*>(container.get());
    const auto address = reinterpret_cast<std::uintptr_t>(samples.get());
    const std::size_t size = samples.size();
    new (&slice->samples) Block(std::move(samples));
    vexcam_trace_alloc(kArrayDataTraceDomain, address, size);
    return container;
}

} // namespace

Status prepare_frame_arrays() {
    if (Result<numpy::Api> api = numpy::api(); !api.ok())
        return api.take_failure();
    if (Result<PyTypeObject*> type = container_type(); !type.ok())
        return type.take_failure();
    return success();
}

Result<py::Ref> frame_to_array(FrameBuffer frame) {
    Result<FrameSamples> taken = take_samples(std::move(frame));
    if (!taken.ok())
        return taken.take_failure();
    FrameSamples& samples = taken.value();

    // Normally known since prepare_frame_arrays(), before the frame was read.
    Result<numpy::Api> found = numpy::api();
    if (!found.ok())
        return found.take_failure();
    const numpy::Api& api = found.value();
    Result<PyTypeObject*> type = container_type();
    if (!type.ok())
        return type.take_failure();

    void* data = samples.block.get();
    Result<py::Ref> container = contain(type.value(), std::move(samples.block));
    if (!container.ok())
        return container.take_failure();

    const std::size_t element = samples.element_size;
    PyObject* descr = api.descr_from_type(element == 2 ? numpy::kTypeUShort : numpy::kTypeUByte);
    if (descr == nullptr)
        return InternalFault{FaultKind::ApiCallFailed};
    const numpy::npy_intp dims[2] = {static_cast<numpy::npy_intp>(samples.height),
                                     static_cast<numpy::npy_intp>(samples.width)};
    const numpy::npy_intp strides[2] = {static_cast<numpy::npy_intp>(samples.width * element),
                                        static_cast<numpy::npy_intp>(element)};
    py::Ref array = py::Ref::steal(api.new_from_descr(api.array_type, descr, 2, dims, strides, data,
                                                      numpy::kArrayWriteable, nullptr));
    if (!array)
        return InternalFault{FaultKind::ApiCallFailed};
    // The array then keeps the container, and with it the samples, alive.
    if (api.set_base_object(array.get(), container.value().release()) != 0)
        return InternalFault{FaultKind::ApiCallFailed};
    return array;
}
