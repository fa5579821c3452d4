// Router state: the C++ state one router's handlers share, owned by a garbage-collected Python
// object that every handler of the router holds as its closure.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

namespace kelvora {

namespace nb = nanobind;

/// The base of a router module's state. The holder shows the collector every Python object the
/// state lists in `traverse`; when the collector breaks a cycle through the holder it deletes the
/// state, and a handler that is called afterwards is refused with a RuntimeError.
class RouterState {
public:
    virtual ~RouterState() = default;

    /// Visits each Python object the state holds, as a `tp_traverse` slot does.
    virtual int traverse(visitproc visit, void* arg) const = 0;

protected:
    /// Visits each of `objects` (unset ones skipped); a helper for `traverse`.
    template <typename... Objects>
    static int visit_all(visitproc visit, void* arg, const Objects&... objects) {
        int status = 0;
        ((status = status ? status : visit_one(visit, arg, objects)), ...);
        return status;
    }

private:
    static int visit_one(visitproc visit, void* arg, nb::handle object) {
        return object.is_valid() ? visit(object.ptr(), arg) : 0;
    }
};

/// A new holder object owning `state`.
nb::object hold_state(std::unique_ptr<RouterState> state);

/// The state a holder owns; RuntimeError "this router has been released" once the collector
/// has deleted it.
RouterState& held_state(nb::handle holder);

/// The state of a holder, as the router module's own type.
template <typename State> State& state_of(nb::handle holder) {
    return static_cast<State&>(held_state(holder));
}

/// Creates the holder type; module execution calls it once.
void init_state_type();

} // namespace kelvora
