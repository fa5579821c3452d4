"""Shared pieces of the config-router tests: a recording store, an HTTP client, log capture."""

import asyncio
import logging
import threading

import httpx
import pytest
from fastapi import FastAPI

from kelvora.backend import ConfigStore
from kelvora.setplane import create_config_router


class RecordingStore(ConfigStore):
    """An in-memory ConfigStore recording each call (arguments as passed) and its thread; a
    method raises what `failures` holds for it, and answers what `results` holds, if anything.
    `get_config` hands out the store's own mapping."""

    def __init__(self, config=None, *, version=3, history=(), details=None, record=True):
        self.config_name = "svc"
        self.config = {"a": 1, "b": {"c": 2}} if config is None else config
        self.version, self.history, self.details = version, list(history), dict(details or {})
        self.failures, self.results, self.calls, self.threads = {}, {}, [], set()
        self.record = record

    def _call(self, name, args, kwargs, answer=None):
        if self.record:
            self.calls.append((name, args, kwargs))
            self.threads.add(threading.get_ident())
        if name in self.failures:
            raise self.failures[name].with_traceback(None)
        return self.results.get(name, answer)

    def get_config(self, *a, **k):
        return self._call("get_config", a, k, self.config)

    def update_config(self, *a, **k):
        self._call("update_config", a, k)
        self.config = a[0]

    def patch_config(self, *a, **k):
        self._call("patch_config", a, k)
        self.config = {**self.config, **a[0]}
        return self.results.get("patch_config", self.config)

    def get_version_history(self, *a, **k):
        return self._call("get_version_history", a, k, self.history)

    def get_version_detail(self, *a, **k):
        return self._call("get_version_detail", a, k, self.details.get(a[0]))

    def update_config_version(self, *a, **k):
        self._call("update_config_version", a, k)

    def patch_config_version(self, *a, **k):
        self._call("patch_config_version", a, k)

    def get_version(self, *a, **k):
        return self._call("get_version", a, k, self.version)

    def create_new_version(self, *a, **k):
        self._call("create_new_version", a, k)
        self.version += 1
        return self.version

    def restore_version(self, *a, **k):
        self._call("restore_version", a, k)
        self.config = self.details[a[0]]["payload"]
        return self.config


class Client:
    """Requests to an app through httpx's ASGI transport, on an event loop in this thread."""

    def __init__(self, app):
        self.loop_thread = threading.get_ident()
        self._runner = asyncio.Runner()
        self.http = httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t")

    def run(self, awaitable):
        return self._runner.run(awaitable)

    def request(self, method, url, **kwargs):
        return self.run(self.http.request(method, url, **kwargs))

    def close(self):
        self.run(self.http.aclose())
        self._runner.close()


class Callback:
    """A reload callback, plain or coroutine, recording the threads it ran on."""

    def __init__(self, kind, error=None):
        self.threads = []

        def ran():
            self.threads.append(threading.get_ident())
            if error:
                raise error

        async def coroutine():
            ran()

        self.function = coroutine if kind == "coroutine" else ran


@pytest.fixture
def store():
    return RecordingStore()


@pytest.fixture
def make_store():
    return RecordingStore


@pytest.fixture
def make_callback():
    return Callback


@pytest.fixture
def client_for():
    """client_for(app) -> Client, closed after the test."""
    clients = []
    yield lambda app: clients.append(Client(app)) or clients[-1]
    for client in clients:
        client.close()


@pytest.fixture
def serve(client_for):
    """serve(store, **factory_arguments) -> Client on an app that includes the router."""

    def serve(store, **kwargs):
        app = FastAPI()
        app.include_router(create_config_router(store, **kwargs))
        return client_for(app)

    return serve


@pytest.fixture
def logs(caplog):
    """logs() -> the records of the module logger as (level, text, has traceback)."""
    caplog.set_level(logging.INFO, logger="kelvora.setplane")
    return lambda: [
        (r.levelname, r.getMessage(), r.exc_info is not None)
        for r in caplog.records
        if r.name == "kelvora.setplane"
    ]


@pytest.fixture
def real_store(engine, database):
    """A ConfigStore on the embedded engine, in a database of this test's own."""
    return ConfigStore(
        {"service": {"port": 80}}, client=engine, table=f"{database}.cfg", config_name="svc"
    )
