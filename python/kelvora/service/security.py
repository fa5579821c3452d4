"""Who may call the service: API keys (full or read-only), CORS, and 500 answers that keep the
engine's internals in the log."""

import hmac
import logging
from typing import Any, Callable, List, Optional

from fastapi import FastAPI, HTTPException, Request, Security
from fastapi.responses import JSONResponse
from fastapi.security import APIKeyHeader, HTTPAuthorizationCredentials, HTTPBearer
from starlette.exceptions import HTTPException as StarletteHTTPException

from kelvora import _service

log = logging.getLogger("kelvora.service")

_READ_METHODS = ("GET", "HEAD", "OPTIONS")
_api_key_header = APIKeyHeader(name="X-API-Key", auto_error=False)
_bearer = HTTPBearer(auto_error=False)


def _known(key: str, keys: List[str]) -> bool:
    # Every key is compared, each in constant time: the answer's timing tells nothing.
    found = False
    for candidate in keys:
        found |= hmac.compare_digest(key.encode(), candidate.encode())
    return found


def key_dependency(keys: List[str], read_only_keys: List[str]) -> Callable[..., None]:
    """A dependency admitting requests with one of ``keys`` (``X-API-Key: <key>`` or
    ``Authorization: Bearer <key>``), and reads (GET, HEAD) with one of ``read_only_keys``:
    401 without a known key, 403 for a write with a read-only key."""

    def require_api_key(
        request: Request,
        api_key: Optional[str] = Security(_api_key_header),
        bearer: Optional[HTTPAuthorizationCredentials] = Security(_bearer),
    ) -> None:
        given = api_key if api_key is not None else bearer.credentials if bearer else None
        if given is None:
            raise HTTPException(
                status_code=401,
                detail="An API key is required (X-API-Key or Authorization: Bearer)",
                headers={"WWW-Authenticate": "Bearer"},
            )
        if _known(given, keys):
            return
        if _known(given, read_only_keys):
            if request.method in _READ_METHODS:
                return
            raise HTTPException(status_code=403, detail="This API key may only read")
        raise HTTPException(
            status_code=401,
            detail="The API key is not valid",
            headers={"WWW-Authenticate": "Bearer"},
        )

    return require_api_key


def add_cors(app: FastAPI, origins: List[str]) -> None:
    """Browsers on ``origins`` may call the service (and read its request ids)."""
    from fastapi.middleware.cors import CORSMiddleware

    app.add_middleware(
        CORSMiddleware,
        allow_origins=origins,
        allow_methods=["*"],
        allow_headers=["*"],
        expose_headers=["X-Request-ID"],
    )


def _request_id(request: Request) -> str:
    return str(request.scope.get("kelvora.request_id", "-"))


def _unavailable(error: StarletteHTTPException) -> Optional[StarletteHTTPException]:
    """A 500 answered because the engine could not be reached or did not answer in time, as a
    503 the client may retry: the router's prefix and what happened, with ``Retry-After``."""
    from kelvora.clickhouse import ClickHouseTimeout

    from .observability import engine_unavailable

    failure = engine_unavailable() if error.status_code == 500 else None
    if failure is None:
        return None
    prefix, separator, _ = str(error.detail).partition(": ")
    reason = (
        "ClickHouse did not answer in time"
        if isinstance(failure, ClickHouseTimeout)
        else "ClickHouse cannot be reached"
    )
    detail = f"{prefix}: {reason}" if separator else reason
    return StarletteHTTPException(503, detail, headers={"Retry-After": "1"})


def hide_error_details(app: FastAPI, show: bool) -> None:
    """5xx answers give the client the router's own prefix ("Failed to list records") and the
    request id; the log keeps the whole error. With ``show`` the answer keeps it too. A failure
    to reach the engine in time is a 503 with ``Retry-After``."""

    async def server_error(request: Request, error: Exception) -> Any:
        assert isinstance(error, StarletteHTTPException)
        request_id = _request_id(request)
        detail = str(error.detail)
        unavailable = _unavailable(error)
        if error.status_code >= 500:
            # The status the client gets: a failure to reach the engine is answered as a 503.
            answered = 503 if unavailable is not None else error.status_code
            log.error("answered %s: %s", answered, detail)
        if unavailable is not None and not show:
            body = {"detail": unavailable.detail, "request_id": request_id}
            return JSONResponse(body, 503, headers=unavailable.headers)
        if error.status_code < 500 or show:
            from fastapi.exception_handlers import http_exception_handler

            if unavailable is not None:
                error = StarletteHTTPException(503, detail, headers=unavailable.headers)
            return await http_exception_handler(request, error)
        prefix, separator, _ = detail.partition(": ")
        shown = prefix if separator else "Internal Server Error"
        return JSONResponse(
            {"detail": shown, "request_id": request_id},
            error.status_code,
            headers=getattr(error, "headers", None),
        )

    async def unexpected(request: Request, error: Exception) -> Any:
        # Answered outside the middleware: the request id header is set here.
        request_id = _request_id(request)
        body: dict[str, Any] = {"detail": "Internal Server Error", "request_id": request_id}
        if show:
            body["detail"] = f"{type(error).__name__}: {error}"
        return JSONResponse(body, 500, headers={"X-Request-ID": request_id})

    app.add_exception_handler(StarletteHTTPException, server_error)
    app.add_exception_handler(Exception, unexpected)


class RefuseControlCharacters:
    """ASGI middleware answering 400 to a path with a control character, before any routing:
    a routing pattern's `$` matches before a trailing newline, so `PUT /config/%0A` would
    otherwise reach `PUT /config/`."""

    def __init__(self, app: Any) -> None:
        self.app = app

    # Native: the awaitable of `self.app`, or of `refuse` for a path with a control character.
    __call__ = _service.refusing_call

    async def refuse(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008})
            return
        answer = JSONResponse({"detail": "The path holds a control character"}, 400)
        await answer(scope, receive, send)
