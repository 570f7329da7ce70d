// Result<T>: an operation's value or the failure that the call frame will raise.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "errors/camera_error.h"

/// A buffer could not be allocated; raised as MemoryError.
struct OutOfMemory {};

/// The interpreter's own exception, already set (one that a signal handler raised, say):
/// passed on to the caller as it is.
struct AlreadyRaised {};

using Failure = std::variant<CameraError, InvalidValue, OutOfMemory, InternalFault, AlreadyRaised>;

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CameraError error) : state_(std::in_place_index<1>, std::move(error)) {}
    Result(InvalidValue error) : state_(std::in_place_index<1>, std::move(error)) {}
    Result(OutOfMemory error) : state_(std::in_place_index<1>, error) {}
    Result(InternalFault error) : state_(std::in_place_index<1>, std::move(error)) {}
    Result(AlreadyRaised error) : state_(std::in_place_index<1>, error) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const Failure& failure() const { return std::get<1>(state_); }
    Failure take_failure() { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, Failure> state_;
};

using Status = Result<std::monostate>;

inline Status success() { return std::monostate{}; }
