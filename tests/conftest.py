"""Fixtures every test folder shares: the process's embedded engine and fresh databases on it.

The embedded engine (chDB) is one per process: `engine` is its shared client for the whole
session, and tests keep apart by database, never by data directory. `database` gives a test a
database of its own; `module_database` gives one to a module whose tests build on each other's
tables (hypothesis runs many examples in one test, where a fresh database each time would be
slow). Both are dropped afterwards. `store_in_use` lets another thread hold a configuration store
for as long as a test needs.

The engine is imported only when a test asks for it, so tests that never touch it (the native
core's) do not load chDB. On the sanitizer build (KELVORA_SANITIZED set) tests that need it are
skipped: chDB opens its library with RTLD_DEEPBIND, which the AddressSanitizer runtime refuses.
"""

import contextlib
import os
import threading
import uuid

import pytest

# The leak harness's assertions report their operands, like the tests' own.
pytest.register_assert_rewrite("leaks")


@pytest.fixture(scope="session")
def engine():
    """The client of the process's embedded engine, in memory (`connect("chdb:")`)."""
    if os.environ.get("KELVORA_SANITIZED"):
        pytest.skip(
            "the embedded engine cannot run under AddressSanitizer: chDB loads its library with "
            "RTLD_DEEPBIND, which the sanitizer runtime refuses"
        )
    from kelvora.clickhouse import connect

    return connect("chdb:")


@contextlib.contextmanager
def _fresh_database(engine):
    name = f"t_{uuid.uuid4().hex}"
    engine.execute(f"CREATE DATABASE {name}")
    try:
        yield name
    finally:
        engine.execute(f"DROP DATABASE IF EXISTS {name}")


@pytest.fixture
def database(engine):
    """The name of an empty database on the embedded engine, for this test alone."""
    with _fresh_database(engine) as name:
        yield name


@pytest.fixture(scope="module")
def module_database(engine):
    """The name of an empty database on the embedded engine, for this test module alone."""
    with _fresh_database(engine) as name:
        yield name


@pytest.fixture
def serialized(monkeypatch):
    """What FastAPI's answer serialisation is handed, in order, until `serialized.stop()`."""
    import fastapi.routing

    class Serialized(list):
        def stop(self):
            monkeypatch.undo()

    handed = Serialized()
    serialize = fastapi.routing.serialize_response

    async def recording(**kwargs):
        handed.append(kwargs["response_content"])
        return await serialize(**kwargs)

    monkeypatch.setattr(fastapi.routing, "serialize_response", recording)
    return handed


@contextlib.contextmanager
def _store_in_use(store, config):
    """Another thread holds `store` from when the block starts until `release()` (or the block's
    end), having replaced its configuration with `config` under the store's lock."""
    entered, leave = threading.Event(), threading.Event()

    def writing():
        with store._lock:
            store.update_config(config)
            entered.set()
            leave.wait(10)

    writer = threading.Thread(target=writing)
    writer.start()
    entered.wait(10)
    try:
        yield leave.set
    finally:
        leave.set()
        writer.join()


@pytest.fixture
def store_in_use():
    """`with store_in_use(store, config) as release:` another operation holding the store."""
    return _store_in_use
