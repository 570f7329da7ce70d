// The camera layer's failure value: a closed set of kinds, each with one fixed message.
#pragma once

#include <cstdint>
#include <string>

enum class ErrorKind {
    SdkInitFailed,
    ScanFailed,
    OpenFailed,
    InvalidHandle,
    OperationFailed,
    FrameFailed,
    StringConversion,
};

struct CameraError {
    ErrorKind kind;
    std::uint32_t code = 0; // the SDK's result, for the kinds that carry one
    std::string id{};       // the camera id, for OpenFailed only
};

/// The message a CameraError reaches Python with.
std::string render(const CameraError& error);
