// The route class of a control router's routes on the config router's paths: they match only
// the requests that use the control plane, and leave every other one to the config router.
#pragma once

#include <nanobind/nanobind.h>

namespace kelvora::setcontrol {

namespace nb = nanobind;

/// A subclass of FastAPI's APIRoute, made for one router (its state holder). Its routes match a
/// request only when it carries If-Match, If-None-Match, `Accept: text/event-stream`, or one of
/// the query parameters dry_run, wait and index, or, when the router validates configurations,
/// when it writes. GET "{prefix}/versions" is always left to the config router (its version
/// listing).
nb::object make_control_route_class(nb::handle state);

/// A subclass of FastAPI's APIRouter, made for one router, holding the routes of
/// `make_control_route_class`: it refuses a request that does not use the control plane before
/// its routes are tried.
nb::object make_control_routes_class(nb::handle state);

/// A subclass of FastAPI's APIRouter, made for one router: the control router itself, holding
/// the overlay and the history routes. It refuses a request that does not use the control
/// plane and whose path names no history route before any of its routes is tried.
nb::object make_control_plane_class(nb::handle state);

} // namespace kelvora::setcontrol
