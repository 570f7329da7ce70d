// SdkGuard: holds the SDK's one process-wide resource for the length of a scope.
#pragma once

#include <optional>

#include "errors/result.h"

class SdkGuard {
public:
    /// Takes the resource, or reports SdkInitFailed with the SDK's code.
    static Result<SdkGuard> acquire();

    SdkGuard(SdkGuard&& other) noexcept : active_(std::exchange(other.active_, false)) {}
    SdkGuard& operator=(SdkGuard&&) = delete;
    SdkGuard(const SdkGuard&) = delete;
    SdkGuard& operator=(const SdkGuard&) = delete;
    ~SdkGuard();

private:
    SdkGuard() noexcept = default;
    bool active_ = true; // false only once moved from
};
