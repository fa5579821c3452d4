// Paired interpreter calls, each released by a destructor so that no exception path leaves the
// interpreter's state changed.
#pragma once

#include "native/errors.hpp"

namespace kelvora {

/// One level of the interpreter's recursion depth, entered on construction (RecursionError at
/// the limit) and left on destruction, however the scope ends.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) raise_pending();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

} // namespace kelvora
