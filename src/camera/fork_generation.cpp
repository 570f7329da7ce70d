// The process's fork handlers: the one place that counts forks and that prepares for them.
#include "camera/fork_generation.h"

#include "camera/frame_memory.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

void ForkGeneration::after_fork_in_child() noexcept {
    ++current_;
    reset_frame_pool_in_child();
}

void ForkGeneration::watch() noexcept {
#if !defined(_WIN32)
    static const bool registered = [] {
        return pthread_atfork(lock_frame_pool_for_fork, unlock_frame_pool_in_parent,
                              after_fork_in_child) == 0;
    }();
    (void)registered;
#endif
    // Windows has no fork(): every process stays generation 0.
}
