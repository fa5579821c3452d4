"""What the control-router tests share besides fixtures: the initial configuration, the app a
host builds (the control router before the config router), an HTTP client, the ETag of a path."""

import asyncio

import httpx
from fastapi import FastAPI

from kelvora.setcontrol import create_config_control_router
from kelvora.setplane import create_config_router

INITIAL = {"service": {"port": 80}, "debug": False}


def build_app(store, control=True, **options):
    app = FastAPI()
    if control:
        app.include_router(create_config_control_router(store, **options))
    shared = ("config_model", "reload_callback", "auth_dependency")
    config_options = {k: v for k, v in options.items() if k in shared}
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


def etag(client, path="/config/"):
    """The ETag of what `path` shows (an If-None-Match that names nothing asks for it)."""
    response = client.get(path, headers={"If-None-Match": '"none"'})
    assert response.status_code == 200, response.text
    return response.headers["etag"]
