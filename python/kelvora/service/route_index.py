"""The service's routes looked up by the first segment of a request's path.

FastAPI tries an app's routes one after another, and an included router tries each of its own
routes twice (once to match, once to handle), so a request to ``/products/1`` would first be
matched against every route of the configuration routers. The index keeps, for each first path
segment, the app's routes that can answer a path starting with it, in their order, and lets the
framework's own router do the rest over those: the same route wins, the same 405, redirect and
404 answers follow, because no route left out could have matched the path at all.
"""

from __future__ import annotations

import copy
from typing import Any, Callable, Dict, List, Optional, Tuple

__all__ = ["index_routes"]

# The key of routes that can match a path whatever its first segment.
_ANY = None


def _first_segment(path: str) -> Optional[str]:
    """The literal first segment of a route's path ("" for "/"), or None when it holds a
    parameter or the path is not one of ours to read."""
    if not path.startswith("/"):
        return _ANY
    segment = path[1:].split("/", 1)[0]
    return _ANY if "{" in segment else segment


def _segments_of(route: Any) -> List[Optional[str]]:
    """The first segments of the paths ``route`` can match; None where it can match any. A route
    matches only paths its pattern matches (a route class may refuse more, as the control
    plane's do, never accept more)."""
    from starlette import routing

    contexts = getattr(route, "effective_route_contexts", None)
    if contexts is not None:
        # An included router: the paths of every route it holds, with its prefix. Routes it
        # tries only when nothing else matches (the framework's frontend routes) match any path.
        if route.effective_low_priority_routes():
            return [_ANY]
        segments: List[Optional[str]] = []
        for context in contexts():
            path = getattr(context.starlette_route, "path", None) or context.path_format
            segments.append(_first_segment(path) if isinstance(path, str) and path else _ANY)
        return segments
    path = getattr(route, "path", None)
    if not isinstance(route, (routing.Route, routing.WebSocketRoute, routing.Mount)) or not path:
        return [_ANY]  # a host route, a mount at the root, or a route of unknown kind
    return [_first_segment(path)]


class _RouteIndex:
    """The app router's ASGI entry: a request goes to a copy of the router that holds only the
    routes its path's first segment can reach."""

    def __init__(self, router: Any) -> None:
        from starlette._utils import get_route_path

        self.route_path: Callable[[Any], str] = get_route_path
        self.router = router
        self.everything: Callable[..., Any] = router.app
        self.watched: List[Any] = []
        self.version: Any = None
        self.by_segment: Dict[Optional[str], Any] = {}

    def _routes_version(self) -> Tuple[Any, ...]:
        """What changes when a route is added anywhere: the version the framework keeps of each
        router's own routes, the app's and every included one's, or without it the identities
        of the app's routes."""
        try:
            return tuple(router._routes_version for router in self.watched)
        except AttributeError:
            return tuple(map(id, self.router.routes))

    def _watch(self) -> None:
        self.watched, pending = [], [self.router]
        while pending:
            router = pending.pop()
            if all(router is not known for known in self.watched):
                self.watched.append(router)
                pending.extend(
                    route.original_router
                    for route in router.routes
                    if hasattr(route, "original_router")
                )

    def _rebuild(self) -> None:
        self._watch()
        keyed = [(route, _segments_of(route)) for route in self.router.routes]
        segments = {segment for _, found in keyed for segment in found if segment is not _ANY}
        by_segment: Dict[Optional[str], Any] = {}
        for segment in [*segments, _ANY]:
            narrowed = copy.copy(self.router)
            narrowed.routes = [route for route, found in keyed if segment in found or _ANY in found]
            by_segment[segment] = narrowed.app
        self.by_segment = by_segment
        self.version = self._routes_version()

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.everything(scope, receive, send)
            return
        if self._routes_version() != self.version:
            self._rebuild()
        segment = self.route_path(scope)[1:].split("/", 1)[0]
        # The app's own router stays the one the request names (url_for reads every route).
        scope.setdefault("router", self.router)
        narrowed = self.by_segment.get(segment) or self.by_segment[_ANY]
        await narrowed(scope, receive, send)


def index_routes(app: Any) -> None:
    """Routes ``app``'s requests through a first-segment index of its routes (routes added later
    are indexed on the next request). A router with middleware of its own is left as it is."""
    router = app.router
    if router.middleware_stack == router.app:
        router.middleware_stack = _RouteIndex(router)
