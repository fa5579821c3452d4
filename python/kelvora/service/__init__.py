"""The ready-made kelvora service: ``kelvora serve`` (also ``python -m kelvora``).

A FastAPI app built only from the package's public pieces:

- ``/config``: the configuration router over a ``ConfigStore`` (config name and environment
  chosen by the settings, seeded with a small built-in payload), with its control plane (ETags
  and If-Match, a JSON Schema checked on every write, dry runs, history, watch);
- one CRUD router with history per table (``/<table-name>``, "_" written as "-"), and beside
  it the table's query router (operator filters, sorting, cursor pages, export, bulk ingest,
  mutations);
- ``/cache/<table>``: read-only views of the tables asked to be cached, served from DuckDB by the
  cache manager (list, get by key; table info through ``DuckDbBackend``;
  ``POST /cache/<table>/refresh`` reloads);
- ``/healthz``, ``/readyz`` and Prometheus metrics at ``/metrics``; an ``X-Request-ID`` on every
  answer and in every log line;
- OpenAPI documentation at ``/docs`` and ``/redoc``, served without a CDN.

With no options it runs the embedded ClickHouse engine in ``./kelvora-data`` (created on first
start) with a demo table ``products``. Options come from flags or from a TOML file
(``--config kelvora.toml``)::

    data_dir = "./kelvora-data"
    dsn = "http://default:@127.0.0.1:8123/default"   # a server instead of the embedded engine
    config_name = "default"
    environment = "default"
    host = "127.0.0.1"
    port = 8000
    log_level = "info"
    log_format = "text"        # or "json": one object a line, with the request id
    ready_timeout = 2.0        # seconds /readyz waits for the engine
    api_keys = ["..."]         # keys for every route (X-API-Key or Authorization: Bearer)
    read_only_api_keys = []    # keys for GET only
    cors_origins = ["https://app.example.com"]
    show_error_details = false # true: 500 answers show the whole error (development)
    config_schema = "config.schema.json"  # a JSON Schema every configuration write must meet

    [[tables]]
    name = "events"
    key = "id"
    filterable = ["status", "region"]
    order_by = "created_at DESC"
    cache = true

Flags override the file. A start-up problem (bad DSN, missing table or key column, busy data
directory) ends the process with status 2 and one line saying what is wrong.
"""

from __future__ import annotations

import contextlib
import datetime
import logging
import logging.config
import os
import sys
from collections.abc import AsyncIterator
from typing import TYPE_CHECKING, Any, List, Optional

from .settings import Settings, StartupError, TableSettings, load_settings
from .tables import Column, checked_columns, describe_table, table_models, timestamp_column

if TYPE_CHECKING:
    from fastapi import FastAPI

    from kelvora.clickhouse import Client


__all__ = [
    "Column",
    "Settings",
    "StartupError",
    "TableSettings",
    "create_app",
    "describe_table",
    "main",
    "table_models",
]

DEFAULT_CONFIG = {
    "service": {"name": "kelvora", "greeting": "Hello from kelvora"},
    "features": {"history": True, "cache": True},
    "limits": {"page_size": 100},
}

DEMO_TABLE = "products"
_DEMO_SCHEMA = """
    CREATE TABLE IF NOT EXISTS products (
        id UInt64,
        name String,
        category String,
        price Float64,
        created_at DateTime
    ) ENGINE = MergeTree ORDER BY (id, created_at)
"""
_DEMO_ROWS = [
    (1, "Kettle", "kitchen", 24.5),
    (2, "Desk lamp", "office", 31.0),
    (3, "Notebook", "office", 3.2),
    (4, "Teapot", "kitchen", 18.9),
    (5, "Backpack", "travel", 59.0),
]


def _seed_demo(client: Client) -> None:
    client.execute(_DEMO_SCHEMA)
    if client.execute("SELECT count() FROM " + DEMO_TABLE)[0][0]:
        return
    created = datetime.datetime(2024, 1, 1)
    for key, name, category, price in _DEMO_ROWS:
        client.execute(
            "INSERT INTO products (id, name, category, price, created_at) "
            "VALUES (%(id)s, %(name)s, %(category)s, %(price)s, %(created_at)s)",
            {"id": key, "name": name, "category": category, "price": price, "created_at": created},
        )


def _refuse_a_stranger(dsn: str) -> None:
    """Raises StartupError when the server a DSN names is not a ClickHouse server: every
    ClickHouse server answers ``GET /ping`` with "Ok."."""
    import urllib.error
    import urllib.parse
    import urllib.request

    url = urllib.parse.urlsplit(dsn)
    where = f"{url.scheme}://{url.hostname}:{url.port or (443 if url.scheme == 'https' else 80)}"
    try:
        with urllib.request.urlopen(where + "/ping", timeout=10) as answer:
            status, body = answer.status, answer.read(64)
    except urllib.error.HTTPError as error:
        status, body = error.code, b""
    except (OSError, ValueError):
        return  # the client's own error says what is wrong
    if (status, body) != (200, b"Ok.\n"):
        raise StartupError(
            f"{where} is not a ClickHouse server (GET /ping answered {status}, not 200 Ok.)"
        )


def create_app(settings: Settings) -> FastAPI:
    """The service's FastAPI app; engines open here and close when the app shuts down."""
    from fastapi import FastAPI

    from kelvora.backend import ConfigStore
    from kelvora.backends import ClickHouseBackend
    from kelvora.cache import DuckDbCacheManager
    from kelvora.clickhouse import ClickHouseConnectionError, ClickHouseError, connect
    from kelvora.rowplane import create_crud_router
    from kelvora.rowquery import create_query_router
    from kelvora.setcontrol import create_config_control_router, document_control_plane
    from kelvora.setplane import create_config_router

    from .cached_views import cache_router
    from .config_reads import read_held_config
    from .docs import add_documentation
    from .mounting import mount_router
    from .observability import Metrics, Observe, add_probes
    from .route_index import index_routes
    from .security import RefuseControlCharacters, add_cors, hide_error_details, key_dependency

    try:
        client = connect(settings.engine_dsn)
    except ClickHouseConnectionError as error:
        raise StartupError(str(error)) from None
    except Exception as error:
        if settings.dsn and settings.dsn.startswith(("http://", "https://")):
            _refuse_a_stranger(settings.dsn)
        if isinstance(error, (ClickHouseError, ValueError, OSError)):
            raise StartupError(str(error)) from None
        raise
    resources = contextlib.ExitStack()
    resources.callback(client.close)
    metrics = Metrics()
    metrics.instrument(client)
    try:
        if settings.demo:
            _seed_demo(client)
        tables = settings.tables or [
            TableSettings(name=DEMO_TABLE, filterable=["category"], order_by="id", cache=True)
        ]
        described = {table.name: checked_columns(client, table) for table in tables}
        store = ConfigStore(
            DEFAULT_CONFIG,
            client=client,
            config_name=settings.config_name,
            environment=settings.environment,
        )
        store.get_config()

        @contextlib.asynccontextmanager
        async def lifespan(app: FastAPI) -> AsyncIterator[None]:
            yield
            resources.close()

        app = FastAPI(title="kelvora", lifespan=lifespan, docs_url=None, redoc_url=None)
        add_documentation(app)
        app.add_middleware(RefuseControlCharacters)
        if settings.cors_origins:
            add_cors(app, settings.cors_origins)
        # Outermost, so that refusals and preflight answers carry a request id and are counted.
        app.add_middleware(Observe, metrics=metrics)
        hide_error_details(app, settings.show_error_details)
        authorize = None
        guard: List[Any] = []
        if settings.api_keys or settings.read_only_api_keys:
            from fastapi import Depends

            authorize = key_dependency(settings.api_keys, settings.read_only_api_keys)
            guard = [Depends(authorize)]
        add_probes(app, client, metrics, settings.ready_timeout, guard)
        # The control router first: it answers the requests that use its headers and
        # parameters (ETags, If-Match, dry runs, watches) and every write a schema checks.
        schema = settings.config_schema_document()
        mount_router(
            app, create_config_control_router(store, schema=schema, auth_dependency=authorize)
        )
        config_router = create_config_router(store, auth_dependency=authorize)
        read_held_config(config_router, store)
        mount_router(app, config_router)
        cache = None
        for table in tables:
            columns = described[table.name]
            title = table.name.replace(".", "_").title().replace("_", "")
            timestamp = timestamp_column(table, columns)
            create_model, update_model = table_models(title, columns, table.key, timestamp)
            mount_router(
                app,
                create_crud_router(
                    table.name,
                    ClickHouseBackend(client, primary_key=table.key),
                    create_model=create_model,
                    update_model=update_model if update_model.model_fields else None,
                    # Pages need an order to follow one another: the key's, unless one is given.
                    order_by=table.order_by or table.key,
                    filterable_fields=table.filterable,
                    enable_history=True,
                    timestamp_field=timestamp,
                ),
                guard,
            )
            # Beside the CRUD routes, on the same prefix: operator filters, sorting, cursor
            # pages, export, bulk ingest and mutations (paths ending in "/", which no key
            # path reaches).
            query_router = create_query_router(
                table.name, client, primary_key=table.key, filterable_fields=table.filterable
            )
            mount_router(app, query_router, guard)
            if table.cache:
                if cache is None:
                    cache = DuckDbCacheManager()
                    resources.callback(cache.close)
                mount_router(app, cache_router(table, columns, client, cache), guard)
        document_control_plane(app)
        index_routes(app)
        return app
    except BaseException:
        resources.close()
        raise


def main(argv: Optional[List[str]] = None) -> int:
    """Entry point of ``kelvora serve``."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["serve"]:
        argv = argv[1:]
    fresh_data_dir: Optional[str] = None
    try:
        settings = load_settings(argv)
        import uvicorn

        from .observability import logging_config

        log_config = logging_config(settings.log_format, settings.log_level)
        logging.config.dictConfig(log_config)
        # The port first: a start that cannot serve touches nothing on disk.
        listener = _listen(settings.host, settings.port)
        if settings.dsn is None and not os.path.lexists(settings.data_dir):
            fresh_data_dir = settings.data_dir
        app = create_app(settings)
    except ImportError as error:
        print(f"kelvora: {error.name} is missing: pip install 'kelvora[serve]'", file=sys.stderr)
        return 2
    except Exception as error:  # noqa: BLE001 - any start-up failure is reported in one line
        text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        print(f"kelvora: {text}", file=sys.stderr)
        if fresh_data_dir is not None:
            # A failed start leaves no files behind: the data directory it made goes.
            import shutil

            shutil.rmtree(fresh_data_dir, ignore_errors=True)
        return 2
    config = uvicorn.Config(
        app,
        host=settings.host,
        port=settings.port,
        log_level=settings.log_level,
        log_config=log_config,
    )
    server = uvicorn.Server(config)
    with contextlib.suppress(KeyboardInterrupt):
        server.run(sockets=[listener])
    return 0


def _listen(host: str, port: int) -> Any:
    """The service's listening socket, bound before anything else starts."""
    import socket

    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # The protocol named, as the event loop's own sockets have it: asyncio turns Nagle's
    # algorithm off only on sockets whose protocol is TCP, and with it on, every answer after the
    # first on a kept-alive connection waits for the client's delayed ACK (about 40 ms).
    listener = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind((host, port))
    except OSError as error:
        listener.close()
        reason = error.strerror or str(error)
        raise StartupError(f"cannot listen on {host}:{port}: {reason}") from None
    listener.set_inheritable(True)
    return listener
