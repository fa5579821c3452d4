"""Shared pieces of the control-router tests: a store on the embedded engine and an app that
includes the control router before the config router, as hosts do."""

import asyncio

import httpx
import pytest
from fastapi import FastAPI

from kelvora.backend import ConfigStore
from kelvora.setcontrol import create_config_control_router
from kelvora.setplane import create_config_router

INITIAL = {"service": {"port": 80}, "debug": False}


def build_app(store, control=True, **options):
    app = FastAPI()
    if control:
        app.include_router(create_config_control_router(store, **options))
    config_options = {k: v for k, v in options.items() if k in ("config_model", "reload_callback")}
    app.include_router(create_config_router(store, **config_options))
    return app


class Client:
    """Requests to an app through httpx's ASGI transport, on an event loop in this thread."""

    def __init__(self, app):
        self._runner = asyncio.Runner()
        self.http = httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://t")

    def request(self, method, url, **kwargs):
        return self._runner.run(self.http.request(method, url, **kwargs))

    def get(self, url, **kwargs):
        return self.request("GET", url, **kwargs)

    def put(self, url, **kwargs):
        return self.request("PUT", url, **kwargs)

    def patch(self, url, **kwargs):
        return self.request("PATCH", url, **kwargs)

    def post(self, url, **kwargs):
        return self.request("POST", url, **kwargs)

    def delete(self, url, **kwargs):
        return self.request("DELETE", url, **kwargs)

    def close(self):
        self._runner.run(self.http.aclose())
        self._runner.close()


@pytest.fixture
def make_store(engine, database):
    names = iter(range(100))
    return lambda initial=INITIAL: ConfigStore(
        initial, client=engine, table=f"{database}.config_{next(names)}"
    )


@pytest.fixture
def store(make_store):
    return make_store()


@pytest.fixture
def serve():
    """serve(store, control=True, **options) -> Client on an app with the control router
    (options as given) before the config router; closed after the test."""
    clients = []

    def serve(store, control=True, **options):
        clients.append(Client(build_app(store, control, **options)))
        return clients[-1]

    yield serve
    for client in clients:
        client.close()


@pytest.fixture
def http(store, serve):
    return serve(store)


def etag(client, path="/config/"):
    """The ETag of what `path` shows (an If-None-Match that names nothing asks for it)."""
    response = client.get(path, headers={"If-None-Match": '"none"'})
    assert response.status_code == 200, response.text
    return response.headers["etag"]
