// The pybind11 peer: the same SDK calls behind the same method names, written the way a
// pybind11 binding usually is (a C++ class, py::arg names, exceptions for failed calls).
#include <cstdint>
#include <pybind11/pybind11.h>
#include <stdexcept>
#include <string>
#include <utility>

#include "sdk/vendor_api.h"

namespace py = pybind11;

namespace {

class PeerCamera {
public:
    explicit PeerCamera(const std::string& id) : handle_(OpenVEXCAM(id.c_str())) {
        if (handle_ == nullptr)
            throw std::runtime_error("cannot open camera " + id);
    }
    ~PeerCamera() { close(); }
    PeerCamera(const PeerCamera&) = delete;
    PeerCamera& operator=(const PeerCamera&) = delete;

    void init() { check(InitVEXCAM(open_handle())); }
    void set_gain(double gain) { check(SetVEXCAMParam(open_handle(), sdk::kControlGain, gain)); }
    void set_exposure(std::uint32_t us) {
        check(SetVEXCAMParam(open_handle(), sdk::kControlExposure, static_cast<double>(us)));
    }
    void set_resolution(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                        std::uint32_t height) {
        check(SetVEXCAMResolution(open_handle(), x, y, width, height));
    }
    double get_param(std::uint32_t control_id) { return GetVEXCAMParam(open_handle(), control_id); }
    bool is_control_available(std::uint32_t control_id) {
        return IsVEXCAMControlAvailable(open_handle(), control_id) == 0;
    }
    void close() {
        if (handle_ != nullptr)
            CloseVEXCAM(std::exchange(handle_, nullptr));
    }

private:
    CameraHandle open_handle() const {
        if (handle_ == nullptr)
            throw std::runtime_error("Camera handle is null or closed");
        return handle_;
    }
    static void check(std::uint32_t rc) {
        if (rc != 0)
            throw std::runtime_error("Operation failed with error code: " + std::to_string(rc));
    }

    CameraHandle handle_;
};

} // namespace

PYBIND11_MODULE(BENCH_PYBIND_MODULE, m) {
    py::class_<PeerCamera>(m, "Camera")
        .def(py::init<const std::string&>(), py::arg("id"))
        .def("init", &PeerCamera::init)
        .def("set_gain", &PeerCamera::set_gain, py::arg("gain"))
        .def("set_exposure", &PeerCamera::set_exposure, py::arg("us"))
        .def("set_resolution", &PeerCamera::set_resolution, py::arg("x"), py::arg("y"),
             py::arg("width"), py::arg("height"))
        .def("get_param", &PeerCamera::get_param, py::arg("control_id"))
        .def("is_control_available", &PeerCamera::is_control_available, py::arg("control_id"))
        .def("close", &PeerCamera::close);
}
