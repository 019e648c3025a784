#include "bindings/stub_registry.h"

#include <atomic>

namespace wenlo::py::stub {
namespace {

// Filled by static constructors, which may run in any order and, in principle, on any thread.
std::atomic<const Entry*>& head() {
    static std::atomic<const Entry*> first{nullptr};
    return first;
}

}  // namespace

const Entry* entries() {
    return head().load(std::memory_order_acquire);
}

Registration::Registration(std::variant<Class, MethodGroup> item) : entry_{std::move(item)} {
    const Entry* first = head().load(std::memory_order_relaxed);
    do {
        entry_.next = first;
    } while (!head().compare_exchange_weak(first, &entry_, std::memory_order_release,
                                           std::memory_order_relaxed));
}

}  // namespace wenlo::py::stub
