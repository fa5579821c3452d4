// Router state: the C++ state one router's handlers share, owned by a garbage-collected Python
// object that every handler of the router holds as its closure.
#include "native/state.hpp"

#include "native/errors.hpp"

#include <utility>

namespace kelvora {

namespace {

struct HolderObject {
    PyObject_HEAD RouterState* state;
};

PyTypeObject* holder_type = nullptr;

HolderObject* as_holder(PyObject* self) {
    return reinterpret_cast<HolderObject*>(self);
}

int holder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const RouterState* state = as_holder(self)->state;
    return state ? state->traverse(visit, arg) : 0;
}

int holder_clear(PyObject* self) {
    // The holder lets go of the state before deleting it: releasing the state's references can
    // run Python code that reaches the holder again.
    delete std::exchange(as_holder(self)->state, nullptr);
    return 0;
}

void holder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    holder_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot holder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(holder_clear)},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "kelvora.router_state",
    sizeof(HolderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    holder_slots,
};

} // namespace

void init_state_type() {
    if (!holder_type)
        holder_type = reinterpret_cast<PyTypeObject*>(
            steal_or_raise(PyType_FromSpec(&holder_spec)).release().ptr());
}

nb::object hold_state(std::unique_ptr<RouterState> state) {
    HolderObject* holder = PyObject_GC_New(HolderObject, holder_type);
    if (!holder) raise_pending();
    holder->state = state.release();
    PyObject_GC_Track(holder);
    return nb::steal(reinterpret_cast<PyObject*>(holder));
}

RouterState& held_state(nb::handle holder) {
    RouterState* state = as_holder(holder.ptr())->state;
    if (!state) raise(PyExc_RuntimeError, "this router has been released");
    return *state;
}

} // namespace kelvora
