// Message texts of every CameraError kind.
#include "errors/camera_error.h"

std::string render(const CameraError& error) {
    // std::to_string of an unsigned value: plain decimal, so an SDK result of -1 reads 4294967295.
    const std::string code = std::to_string(error.code);
    switch (error.kind) {
    case ErrorKind::SdkInitFailed:
        return "SDK initialization failed with code: " + code;
    case ErrorKind::ScanFailed:
        return "SDK scan cameras failed with code: " + code;
    case ErrorKind::OpenFailed:
        return "Failed to open camera: " + error.id;
    case ErrorKind::InvalidHandle:
        return "Camera handle is null or closed";
    case ErrorKind::OperationFailed:
        return "Operation failed with error code: " + code;
    case ErrorKind::FrameFailed:
        return "Failed to get frame data with return code: " + code;
    case ErrorKind::StringConversion:
        return "String conversion error";
    }
    return "Unknown camera error";
}
