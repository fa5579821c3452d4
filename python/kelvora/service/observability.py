"""What an operator watches: request ids, log lines, Prometheus metrics, health and readiness."""

from __future__ import annotations

import asyncio
import contextvars
import datetime
import json
import logging
import os
import re
import threading
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

if TYPE_CHECKING:
    from fastapi import FastAPI
    from prometheus_client import CollectorRegistry

    from kelvora.clickhouse import Client

log = logging.getLogger("kelvora.service")

# --- Request ids -------------------------------------------------------------------------------

REQUEST_ID_HEADER = "X-Request-ID"
# An id taken from the request: short, and nothing a log line or a header could be split by.
_SANE_REQUEST_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._:-]{0,127}")
_request_id: contextvars.ContextVar[str] = contextvars.ContextVar("kelvora_request_id", default="-")


def current_request_id() -> str:
    """The id of the request being answered ("-" outside a request)."""
    return _request_id.get()


# What went wrong with the engine during the request being answered. The routers answer any
# failure as a 500 with the error's text; a statement that never reached the engine, or whose
# answer did not come in time, is the engine being unavailable, which a client may retry. The
# record is one list per request, shared with the worker threads the statements run on (they get
# a copy of the request's context, whose values are the same objects).
_engine_failures: contextvars.ContextVar[Optional[List[Exception]]] = contextvars.ContextVar(
    "kelvora_engine_failures", default=None
)


def engine_unavailable() -> Optional[Exception]:
    """The connection error or timeout a statement of this request ran into, if any."""
    from kelvora.clickhouse import ClickHouseConnectionError

    for failure in _engine_failures.get() or ():
        if isinstance(failure, ClickHouseConnectionError):
            return failure
    return None


class _NewRequestIds:
    """Ids for requests that bring none: random UUIDs (version 4) in hex, made from the system's
    randomness read for 256 ids at a time. Each read is a system call, which cost the event loop
    more than the rest of a request's id (uuid4 reads for every id)."""

    _BATCH = 256

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._random = b""
        self._taken = 0

    def __call__(self) -> str:
        with self._lock:
            if self._taken == len(self._random):
                self._random, self._taken = os.urandom(16 * self._BATCH), 0
            id_bytes = bytearray(self._random[self._taken : self._taken + 16])
            self._taken += 16
        id_bytes[6] = id_bytes[6] & 0x0F | 0x40  # the version, 4
        id_bytes[8] = id_bytes[8] & 0x3F | 0x80  # the variant of RFC 4122
        return id_bytes.hex()


_new_request_id = _NewRequestIds()


def _request_id_of(scope: Dict[str, Any]) -> str:
    for name, value in scope.get("headers", []):
        if name == b"x-request-id":
            text = str(value, "latin-1")
            if _SANE_REQUEST_ID.fullmatch(text):
                return text
            break
    return _new_request_id()


# --- Log lines ---------------------------------------------------------------------------------


class RequestIdFilter(logging.Filter):
    """Gives every record the id of the request it was logged in."""

    def filter(self, record: logging.LogRecord) -> bool:
        record.request_id = _request_id.get()
        return True


class JsonFormatter(logging.Formatter):
    """One JSON object a line: time, level, logger, request id, message (and the traceback)."""

    def format(self, record: logging.LogRecord) -> str:
        line: Dict[str, Any] = {
            "time": datetime.datetime.fromtimestamp(record.created, datetime.UTC).isoformat(),
            "level": record.levelname,
            "logger": record.name,
            "request_id": getattr(record, "request_id", "-"),
            "message": record.getMessage(),
        }
        if record.exc_info:
            line["exception"] = self.formatException(record.exc_info)
        return json.dumps(line, ensure_ascii=False)


TEXT_FORMAT = "%(asctime)s %(levelname)s %(name)s [%(request_id)s] %(message)s"


def logging_config(log_format: str, level: str) -> Dict[str, Any]:
    """The logging set-up of the service (uvicorn's loggers included): every line on stderr, in
    text or JSON, with the request id."""
    formatter: Dict[str, Any] = (
        {"()": JsonFormatter} if log_format == "json" else {"format": TEXT_FORMAT}
    )
    return {
        "version": 1,
        "disable_existing_loggers": False,
        "filters": {"request_id": {"()": RequestIdFilter}},
        "formatters": {"line": formatter},
        "handlers": {
            "stderr": {
                "class": "logging.StreamHandler",
                "stream": "ext://sys.stderr",
                "formatter": "line",
                "filters": ["request_id"],
            }
        },
        "root": {"handlers": ["stderr"], "level": level.upper()},
        "loggers": {
            name: {"handlers": [], "propagate": True}
            for name in ("uvicorn", "uvicorn.error", "uvicorn.access")
        },
    }


# --- Metrics -----------------------------------------------------------------------------------

_STATEMENTS = {"SELECT", "INSERT", "ALTER", "CREATE", "DROP", "DESCRIBE", "DESC", "EXISTS"}
_FIRST_WORD = re.compile(r"\s*(\S+)")
# A client may send any token as its method: the standard ones are counted apart and every other
# as "OTHER", so that no client can make the series grow without end.
_METHODS = frozenset({"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"})


class Metrics:
    """The service's Prometheus metrics, in a registry of their own (one per app)."""

    def __init__(self) -> None:
        from prometheus_client import CollectorRegistry, Counter, Histogram

        self.registry: CollectorRegistry = CollectorRegistry()
        self.requests = Counter(
            "kelvora_http_requests",
            "HTTP requests answered, by method, route template and status",
            ["method", "route", "status"],
            registry=self.registry,
        )
        self.latency = Histogram(
            "kelvora_http_request_duration_seconds",
            "Time to answer an HTTP request, by method and route template",
            ["method", "route"],
            registry=self.registry,
        )
        self.statements = Counter(
            "kelvora_engine_statements",
            "Statements sent to the ClickHouse engine, by kind",
            ["statement"],
            registry=self.registry,
        )
        self.statement_latency = Histogram(
            "kelvora_engine_statement_duration_seconds",
            "Time the ClickHouse engine took to answer a statement, by kind",
            ["statement"],
            registry=self.registry,
        )
        self.errors = Counter(
            "kelvora_errors",
            "Failures: answers with a 5xx status (http) and statements that failed (engine)",
            ["source"],
            registry=self.registry,
        )
        for source in ("http", "engine"):
            self.errors.labels(source)

    def instrument(self, client: Client) -> None:
        """Counts and times every statement ``client`` runs."""
        execute = client.execute
        # Each kind's series, looked up once.
        series = {
            kind: (self.statements.labels(kind), self.statement_latency.labels(kind))
            for kind in (*_STATEMENTS, "OTHER")
        }
        other = series["OTHER"]

        def timed(query: str, params: Optional[Dict[str, Any]] = None) -> List[Any]:
            first = _FIRST_WORD.match(query)
            count, latency = series.get(first.group(1).upper(), other) if first else other
            started = time.perf_counter()
            try:
                return execute(query, params)
            except Exception as error:
                self.errors.labels("engine").inc()
                failures = _engine_failures.get()
                if failures is not None:
                    failures.append(error)
                raise
            finally:
                count.inc()
                latency.observe(time.perf_counter() - started)

        # An attribute of the instance: the client stays a Client to whoever asks.
        vars(client)["execute"] = timed

    def exposition(self) -> bytes:
        from prometheus_client import generate_latest

        return generate_latest(self.registry)


class Observe:
    """ASGI middleware: a request id on every answer (``X-Request-ID``, the request's own when it
    sends a sane one) and in every log line of the request, and each answer counted and timed by
    method, route template and status."""

    def __init__(self, app: Any, metrics: Metrics) -> None:
        self.app = app
        self.metrics = metrics
        self._paths: Optional[Dict[int, str]] = None
        # The series of each (method, route template, status), looked up once.
        self._series: Dict[Tuple[str, str, int], Tuple[Any, Any]] = {}

    def _template(self, scope: Dict[str, Any]) -> str:
        """The route template a request reached ("unmatched" for none). The framework's plain
        routes (/openapi.json) leave only their endpoint in the scope."""
        path = getattr(scope.get("route"), "path", None)
        if path is None and "endpoint" in scope and "app" in scope:
            if self._paths is None:
                routes = getattr(scope["app"], "routes", [])
                # By identity: the routers' endpoints are not all hashable.
                self._paths = {
                    id(route.endpoint): route.path
                    for route in routes
                    if isinstance(getattr(route, "path", None), str) and hasattr(route, "endpoint")
                }
            path = self._paths.get(id(scope["endpoint"]))
        return path or "unmatched"

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        request_id = _request_id_of(scope)
        scope["kelvora.request_id"] = request_id
        _request_id.set(request_id)
        _engine_failures.set([])
        status = [500]
        header = (b"x-request-id", request_id.encode("latin-1"))

        async def send_with_id(message: Dict[str, Any]) -> None:
            if message["type"] == "http.response.start":
                status[0] = message["status"]
                message["headers"] = [
                    *(h for h in message.get("headers", []) if h[0].lower() != b"x-request-id"),
                    header,
                ]
            await send(message)

        started = time.perf_counter()
        try:
            await self.app(scope, receive, send_with_id)
        finally:
            self._count(scope, status[0], time.perf_counter() - started)

    def _count(self, scope: Dict[str, Any], status: int, seconds: float) -> None:
        method = scope["method"] if scope["method"] in _METHODS else "OTHER"
        key = (method, self._template(scope), status)
        series = self._series.get(key)
        if series is None:
            requests = self.metrics.requests.labels(method, key[1], str(status))
            series = self._series[key] = (requests, self.metrics.latency.labels(*key[:2]))
        series[0].inc()
        series[1].observe(seconds)
        if status >= 500:
            self.metrics.errors.labels("http").inc()


# --- Health and readiness ----------------------------------------------------------------------


def add_probes(
    app: FastAPI, client: Client, metrics: Metrics, ready_timeout: float, guard: List[Any]
) -> None:
    """``/healthz`` (the process answers), ``/readyz`` (the engine answers ``SELECT 1`` within
    ``ready_timeout`` seconds, else 503), open to probes, and ``/metrics`` (Prometheus' text
    format) behind ``guard``, the dependencies of the data routes."""
    from fastapi import Response
    from fastapi.responses import JSONResponse
    from starlette.concurrency import run_in_threadpool

    @app.get("/healthz", tags=["operations"])
    def healthz() -> Dict[str, str]:
        """The process answers."""
        return {"status": "ok"}

    @app.get(
        "/readyz",
        tags=["operations"],
        responses={503: {"description": "The engine did not answer in time, or failed"}},
    )
    async def readyz() -> Any:
        """The engine answers a trivial statement within the readiness timeout."""
        try:
            await asyncio.wait_for(run_in_threadpool(client.execute, "SELECT 1"), ready_timeout)
        except TimeoutError:
            log.warning("readiness: the engine did not answer within %s s", ready_timeout)
            detail = f"The engine did not answer within {ready_timeout:g} s"
            return JSONResponse({"status": "not ready", "detail": detail}, 503)
        except Exception as error:
            log.error("readiness: the engine failed", exc_info=error)
            detail = "The engine answered with an error"
            return JSONResponse({"status": "not ready", "detail": detail}, 503)
        return {"status": "ready"}

    @app.get(
        "/metrics",
        tags=["operations"],
        dependencies=guard,
        response_class=Response,
        responses={200: {"content": {"text/plain": {}}}},
    )
    def prometheus_metrics() -> Any:
        """The service's metrics in Prometheus' text format."""
        from prometheus_client import CONTENT_TYPE_LATEST

        return Response(metrics.exposition(), media_type=CONTENT_TYPE_LATEST)
