"""The service's routers mounted on the app's own routes.

FastAPI keeps an included router as one entry of the app's routes and reaches its routes through
it twice for every request (once to choose the route, once to handle it), keeping the inclusion
on the request's scope as it goes. The service instead adds each route of a plain router to the
app itself, with the dependencies the inclusion would have put before the route's own: the same
paths, operations, dependencies and answers, matched once. A router of a class of its own (the
control plane's, which refuses a request before any of its patterns) decides its matching
itself, and a router with events or a lifespan of its own needs the inclusion to run them, so
those are included as FastAPI includes them.
"""

from __future__ import annotations

from typing import Any, Dict, Sequence

__all__ = ["mount_router", "route_arguments"]


def _mountable(router: Any) -> bool:
    """Whether the inclusion adds nothing to ``router``'s routes but its dependencies: a plain
    router of API routes (of any route class), with no events, lifespan or default answer class
    of its own."""
    from fastapi import APIRouter
    from fastapi.routing import APIRoute

    plain = APIRouter()
    return (
        type(router) is APIRouter
        and not router.on_startup
        and not router.on_shutdown
        and type(router.lifespan_context) is type(plain.lifespan_context)
        and router.default_response_class == plain.default_response_class
        and all(isinstance(route, APIRoute) for route in router.routes)
    )


def route_arguments(route: Any) -> Dict[str, Any]:
    """What ``add_api_route`` takes besides the path and the endpoint to make a route like
    ``route``: its operation, dependencies, answers and class."""
    return dict(
        response_model=route.response_model,
        status_code=route.status_code,
        tags=route.tags,
        dependencies=list(route.dependencies),
        summary=route.summary,
        description=route.description,
        response_description=route.response_description,
        responses=route.responses,
        deprecated=route.deprecated,
        methods=route.methods,
        operation_id=route.operation_id,
        response_model_include=route.response_model_include,
        response_model_exclude=route.response_model_exclude,
        response_model_by_alias=route.response_model_by_alias,
        response_model_exclude_unset=route.response_model_exclude_unset,
        response_model_exclude_defaults=route.response_model_exclude_defaults,
        response_model_exclude_none=route.response_model_exclude_none,
        include_in_schema=route.include_in_schema,
        response_class=route.response_class,
        name=route.name,
        route_class_override=type(route),
        callbacks=route.callbacks,
        openapi_extra=route.openapi_extra,
        generate_unique_id_function=route.generate_unique_id_function,
    )


def mount_router(app: Any, router: Any, dependencies: Sequence[Any] = ()) -> None:
    """Adds ``router``'s routes to ``app`` as ``app.include_router(router,
    dependencies=dependencies)`` would serve them. The routes are the router's at the time: one
    added to the router later is not served, so a router is mounted once it is built."""
    from fastapi.routing import APIRoute

    if not _mountable(router):
        app.include_router(router, dependencies=list(dependencies))
        return
    for route in router.routes:
        assert isinstance(route, APIRoute)
        arguments = route_arguments(route)
        arguments["dependencies"] = [*dependencies, *arguments["dependencies"]]
        app.router.add_api_route(route.path, route.endpoint, **arguments)
