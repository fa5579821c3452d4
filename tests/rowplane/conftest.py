"""Shared fakes for the CRUD router tests: a recording ClickHouse client, apps around routers."""

import threading
import warnings

import pytest
from fastapi import FastAPI

with warnings.catch_warnings():
    # Starlette's test client warns on import that it prefers httpx2 to the httpx installed here;
    # the client works the same with either.
    warnings.filterwarnings("ignore", message="Using `httpx` with `starlette.testclient`")
    from fastapi.testclient import TestClient


class FakeClient:
    """A ClickHouse client that records (statement, params, thread name) and answers by kind.

    `answers` maps a kind (count, select, exists, describe, insert, alter) to its result; kinds
    missing answer []. `failures` maps a kind to the exception it raises.
    """

    def __init__(self, answers=None, failures=None, record=True):
        self.answers = dict(answers or {})
        self.failures = dict(failures or {})
        self.record = record
        self.calls = []

    @staticmethod
    def kind(query):
        text = query.lstrip()
        for prefix, kind in (
            ("SELECT count()", "count"),
            ("DESCRIBE TABLE", "describe"),
            ("INSERT", "insert"),
            ("ALTER", "alter"),
        ):
            if text.startswith(prefix):
                return kind
        return "exists" if query.endswith("LIMIT 1") else "select"

    def execute(self, query, params):
        if self.record:
            self.calls.append((query, params, threading.current_thread().name))
        kind = self.kind(query)
        if kind in self.failures:
            raise self.failures[kind].with_traceback(None)
        return self.answers.get(kind, [])

    def statements(self):
        return [(query, params) for query, params, _ in self.calls]


@pytest.fixture
def make_client():
    return FakeClient


@pytest.fixture
def serve():
    """An HTTP client for an app that includes the given routers."""

    def serve(*routers):
        app = FastAPI()
        for router in routers:
            app.include_router(router)
        return TestClient(app)

    return serve


@pytest.fixture
def handlers():
    """A router's handlers by name, to call them directly."""
    return lambda router: {route.name: route.endpoint for route in router.routes}
