"""What an operator watches: request ids, log lines, Prometheus metrics, health and readiness."""

from __future__ import annotations

import asyncio
import contextvars
import datetime
import json
import logging
import re
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from kelvora import _service

if TYPE_CHECKING:
    from fastapi import FastAPI
    from prometheus_client import CollectorRegistry

    from kelvora.clickhouse import Client

log = logging.getLogger("kelvora.service")

# --- Request ids -------------------------------------------------------------------------------

REQUEST_ID_HEADER = "X-Request-ID"
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

    # Native: takes the request's id (or makes one), sets it and a fresh record of engine
    # failures in the request's context, adds it to the answer, and hands the answer's status
    # and time to `_count`.
    __call__ = _service.observing_call(_request_id, _engine_failures)

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
