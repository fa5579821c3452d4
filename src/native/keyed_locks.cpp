// Keyed locks: coroutines of one event loop that must not interleave for the same key (a check
// and the write it allows) take turns on that key's lock.
#include "native/keyed_locks.hpp"

#include "native/calls.hpp"
#include "native/names.hpp"

namespace kelvora {

namespace {

/// key -> lock, holding the locks weakly. Never destroyed: its references must not be released
/// after the interpreter is gone.
nb::handle registry() {
    static PyObject* locks =
        nb::module_::import_("weakref").attr("WeakValueDictionary")().release().ptr();
    return locks;
}

} // namespace

nb::object keyed_lock(nb::handle key) {
    nb::handle locks = registry();
    nb::object lock = steal_or_raise(
        PyObject_CallMethodOneArg(locks.ptr(), KELVORA_NAME("get").ptr(), key.ptr()));
    if (lock.is_none()) {
        lock = nb::module_::import_("anyio").attr("Lock")();
        if (PyObject_SetItem(locks.ptr(), key.ptr(), lock.ptr())) raise_pending();
    }
    return lock;
}

HeldLock::~HeldLock() {
    // Runs while a C++ exception unwinds, or while the frame is destroyed: whatever error is
    // pending stays pending, and a failure to release can only be reported.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* released = PyObject_CallMethodNoArgs(lock_.ptr(), KELVORA_NAME("release").ptr());
    if (released)
        Py_DECREF(released);
    else
        PyErr_WriteUnraisable(lock_.ptr());
    PyErr_Restore(type, value, traceback);
}

} // namespace kelvora
