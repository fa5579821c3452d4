"""ConfigStore's preconditions and state reads, on the embedded engine: a write's own check runs
under the write lock with the state it replaces and the row it would store, and whatever it
raises stores nothing."""

import pytest

from kelvora.backend import ConfigStore


class Refused(Exception):
    pass


@pytest.fixture
def store(engine, database):
    store = ConfigStore({"a": 1, "b": 2}, client=engine, table=f"{database}.config")
    store.patch_config({"b": 3})  # version 2, revision 2
    return store


def recording(seen, refuse=False):
    def precondition(current, stored):
        seen.append((current, stored))
        if refuse:
            raise Refused

    return precondition


WRITES = [
    ("update_config", ({"x": 1},), {"version": 3, "revision": 3, "payload": {"x": 1}}),
    (
        "patch_config",
        ({"x": 1},),
        {"version": 3, "revision": 3, "payload": {"a": 1, "b": 3, "x": 1}},
    ),
    ("create_new_version", (), {"version": 3, "revision": 3, "payload": {"a": 1, "b": 3}}),
    ("restore_version", (1,), {"version": 2, "revision": 3, "payload": {"a": 1, "b": 2}}),
    ("restore_revision", (1,), {"version": 2, "revision": 3, "payload": {"a": 1, "b": 2}}),
    ("update_config_version", (2, {"y": 1}), {"version": 2, "revision": 3, "payload": {"y": 1}}),
    (
        "patch_config_version",
        (2, {"y": 1}),
        {"version": 2, "revision": 3, "payload": {"a": 1, "b": 3, "y": 1}},
    ),
]
LATEST = {"version": 2, "revision": 2, "payload": {"a": 1, "b": 3}}


@pytest.mark.parametrize(("method", "args", "stored"), WRITES, ids=[w[0] for w in WRITES])
def test_precondition_sees_what_the_write_replaces_and_stores(store, method, args, stored):
    seen = []
    getattr(store, method)(*args, precondition=recording(seen))
    assert seen == [(LATEST, stored)]
    assert store.get_state() == {"version": stored["version"], "revision": 3, "last_revision": 3}


@pytest.mark.parametrize(("method", "args", "stored"), WRITES, ids=[w[0] for w in WRITES])
def test_a_refusing_precondition_stores_nothing(store, method, args, stored):
    held = store.get_config()
    with pytest.raises(Refused):
        getattr(store, method)(*args, precondition=recording([], refuse=True))
    assert store.get_state() == {"version": 2, "revision": 2, "last_revision": 2}
    assert store.get_config() == held and store.get_config().revision == 2


@pytest.mark.parametrize("method", ["update_config_version", "patch_config_version"])
def test_an_older_version_edit_replaces_that_version(store, method):
    seen = []
    getattr(store, method)(1, {"y": 1}, precondition=recording(seen))
    assert seen[0][0] == {"version": 1, "revision": 1, "payload": {"a": 1, "b": 2}}
    assert store.get_state() == {"version": 2, "revision": 2, "last_revision": 3}


def test_handed_out_configurations_name_their_version_and_revision(store):
    config = store.get_config()
    assert (config.version, config.revision) == (2, 2)
    store.restore_version(1)
    assert (store.get_config().version, store.get_config().revision) == (2, 3)


def test_revisions_after_are_oldest_first(store):
    store.restore_version(1)
    rows = store.get_revisions_after(1)
    assert [(r["version"], r["revision"], r["payload"]) for r in rows] == [
        (2, 2, {"a": 1, "b": 3}),
        (2, 3, {"a": 1, "b": 2}),
    ]
    assert store.get_revisions_after(3) == []


def test_restoring_a_missing_revision_is_refused(store):
    with pytest.raises(RuntimeError) as error:
        store.restore_revision(9)
    assert str(error.value) == "Revision 9 does not exist"


def test_state_of_a_new_configuration(engine, database):
    store = ConfigStore(client=engine, table=f"{database}.config")
    assert store.get_state() == {"version": 1, "revision": 1, "last_revision": 1}


def test_authors_are_noted_by_revision(store):
    assert store.get_authors() == {}
    store.record_author(2, "alice")
    store.record_author(1, "bob")
    assert store.get_authors() == {1: "bob", 2: "alice"}
    other = ConfigStore(client=store.client, table=store.table, config_name="other")
    assert other.get_authors() == {}
