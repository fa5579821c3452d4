// Keyed locks: coroutines of one event loop that must not interleave for the same key (a check
// and the write it allows) take turns on that key's lock.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora {

namespace nb = nanobind;

/// The process-wide lock of `key` (any hashable object): an `anyio.Lock`, so it works under
/// asyncio and trio alike, made on first use and dropped once nothing refers to it.
nb::object keyed_lock(nb::handle key);

/// Releases a held lock when the scope ends, however it ends (a failure, a cancellation that
/// unwinds the coroutine's frame).
class HeldLock {
public:
    explicit HeldLock(nb::object lock) : lock_(std::move(lock)) {}
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    nb::object lock_;
};

} // namespace kelvora
