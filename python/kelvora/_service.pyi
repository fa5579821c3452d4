"""The hot path of kelvora serve's ASGI middleware."""

from collections.abc import Awaitable, Callable, Coroutine
from contextvars import ContextVar
from typing import Any

from fastapi.routing import APIRoute

def observing_call(
    request_id: ContextVar[str], engine_failures: ContextVar[Any]
) -> Callable[[Any, Any, Any, Any], Coroutine[Any, Any, None]]:
    """Observe.__call__ setting, for each request, the request id context variable to its id
    and the engine failures one to a fresh list."""

def refusing_call(self: Any, scope: Any, receive: Any, send: Any) -> Awaitable[None]:
    """Passes the request on, or to self.refuse when its path holds a control character; gives
    the awaitable of either."""

class AnswerRoute(APIRoute):
    """A route whose handler may write its answer's JSON itself."""

def held_config_read(
    store: Any, read: Callable[[], Awaitable[Any]]
) -> Callable[[], Coroutine[Any, Any, Any]]:
    """A coroutine function answering store.held_config(), or read() when that gives None."""
