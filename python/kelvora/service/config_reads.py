"""The configuration read answered without a worker thread.

The configuration router takes its store on the framework's thread pool for every read, so that
a read never waits on the event loop for a write holding the store. The store the service builds
hands out the configuration it holds without waiting (``ConfigStore.held_config``), so the
service's read of the whole configuration answers that on the event loop, and leaves the read to
the router's own handler, on a worker thread, when the store holds none yet or another operation
is using it. The answer is the same: the payload ``get_config()`` hands out, as JSON.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from kelvora import _service

from .mounting import route_arguments

if TYPE_CHECKING:
    from kelvora.backend import ConfigStore

__all__ = ["read_held_config"]


def read_held_config(router: Any, store: ConfigStore) -> None:
    """Has ``router``'s GET of its root answer from what ``store`` holds when it can. The router
    is a configuration router over ``store`` built without a configuration model, whose read
    answers the payload unchanged."""
    from fastapi import APIRouter
    from fastapi.routing import APIRoute

    root = router.prefix + "/"
    for index, route in enumerate(router.routes):
        if isinstance(route, APIRoute) and route.path == root and route.methods == {"GET"}:
            arguments = route_arguments(route)
            # This module's answer route, whose answer slot the read's native answer fills.
            arguments["route_class_override"] = _service.AnswerRoute
            made = APIRouter()
            made.add_api_route(
                route.path, _service.held_config_read(store, route.endpoint), **arguments
            )
            router.routes[index] = made.routes[0]
            return
    raise ValueError(f"{router!r} has no GET {root} route")
