// The C library's own implementations of the calls this library interposes, found with
// dlsym(RTLD_NEXT) on first use so that every fd we do not serve behaves exactly as before.
#pragma once

#include <dlfcn.h>

#include <atomic>

namespace fakecan {

template <typename Fn>
Fn resolve_next(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (p == nullptr) {
        p = dlsym(RTLD_NEXT, name);
        slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(p);
}

}  // namespace fakecan

// Each expansion owns its own cache slot.
#define FAKECAN_REAL(name)                                              \
    ([]() {                                                             \
        static std::atomic<void*> slot{nullptr};                        \
        return ::fakecan::resolve_next<decltype(&::name)>(slot, #name); \
    }())
