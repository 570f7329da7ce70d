// The fork generation: which process this is, counted in forks from the one that loaded us.
#pragma once

#include <cstdint>

/// What a process took from the SDK or the frame pool is its own. A child of fork() inherits a
/// copy of the memory that records it, but not the SDK's threads and connections behind a
/// handle, and its pool starts empty. So each such thing remembers the generation that took it,
/// and a later generation leaves it alone: never uses it, never gives it back.
class ForkGeneration {
public:
    /// 0 in the process that loaded the module, one more in each child of fork() (counted from
    /// the first watch() on).
    static std::uint64_t current() noexcept { return current_; }

    /// Registers the process's fork handlers, once: they count the generations and hold the
    /// frame pool's lock across each fork. Called before anything records a generation.
    static void watch() noexcept;

private:
    static void after_fork_in_child() noexcept;

    // Written only in a child right after fork(), while it has a single thread.
    static inline std::uint64_t current_ = 0;
};
