"""Shared pieces of the control-router tests: a store on the embedded engine and an app that
includes the control router before the config router, as hosts do."""

import pytest
from setcontrol_app import INITIAL, Client, build_app

from kelvora.backend import ConfigStore


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
