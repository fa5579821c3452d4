"""ConfigStore: versions of one configuration in a ClickHouse table (embedded engine and server)."""

import asyncio
import copy
import json
import pickle
import threading
from concurrent.futures import ThreadPoolExecutor
from datetime import UTC, datetime, timedelta

import httpx
import pytest
from fastapi import FastAPI

from kelvora.backend import ConfigStore, StoredConfig
from kelvora.clickhouse import connect
from kelvora.setplane import create_config_router

TEXT = 'it\'s \\ "quoted" ü\n\t%(x)s'


@pytest.fixture
def table(database):
    return f"{database}.kelvora_config"


@pytest.fixture
def make_store(engine, table):
    return lambda initial=None, **kw: ConfigStore(initial, client=engine, table=table, **kw)


@pytest.fixture(params=["embedded", "server"])
def any_client(request):
    """A client of the embedded engine or of the test server, and a fresh database on it."""
    if request.param == "embedded":
        yield request.getfixturevalue("engine"), request.getfixturevalue("database")
        return
    server = request.getfixturevalue("clickhouse_server")
    database = request.getfixturevalue("server_database")
    client = connect(server.dsn(database))
    yield client, database
    client.close()


@pytest.fixture
def any_store(any_client):
    client, database = any_client
    table = f"{database}.kelvora_config"
    return lambda initial=None, **kw: ConfigStore(initial, client=client, table=table, **kw)


def test_versions_end_to_end(any_store):
    start = datetime.now(UTC) - timedelta(seconds=1)
    store = any_store({"a": 1, "text": TEXT}, config_name="orders", environment="prod")
    assert store.config_name == "orders"
    assert store.get_config() == {"a": 1, "text": TEXT}
    assert store.update_config({"b": [1, {"c": None}]}) is None
    assert store.patch_config({"d": 2.5}) == {"b": [1, {"c": None}], "d": 2.5}
    assert store.create_new_version() == 4
    history = store.get_version_history()
    assert [row["version"] for row in history] == [4, 3, 2, 1]
    end = datetime.now(UTC) + timedelta(seconds=1)
    for row in history:
        assert (row["config_name"], row["environment"]) == ("orders", "prod")
        assert start <= row["updated_at"] <= end
    detail = store.get_version_detail(1)
    assert detail["version"] == 1 and start <= detail["updated_at"] <= end
    assert detail["payload"] == {"a": 1, "text": TEXT}

    store.update_config_version(2, {"x": 1})
    store.patch_config_version(2, {"y": TEXT})
    assert store.get_version_detail(2)["payload"] == {"x": 1, "y": TEXT}
    assert store.restore_version(2) == {"x": 1, "y": TEXT}
    assert store.get_version() == 4
    assert store.get_config() == {"x": 1, "y": TEXT}
    assert [row["version"] for row in store.get_version_history()] == [4, 3, 2, 1]
    # The table is the truth: another store on it sees the same versions and ignores its initial.
    other = any_store({"ignored": True}, config_name="orders", environment="prod")
    assert other.get_config() == {"x": 1, "y": TEXT}
    assert [other.get_version_detail(v)["payload"] for v in (1, 3)] == [
        {"a": 1, "text": TEXT},
        {"b": [1, {"c": None}], "d": 2.5},
    ]
    assert any_store(config_name="orders").get_config() == {}


def test_results_are_copies(make_store):
    payload = {"nested": {"k": [1]}}
    store = make_store(payload)
    payload["nested"]["k"].append(2)
    for result in (
        store.get_config(),
        store.patch_config({"p": {}}),
        store.get_version_detail(1)["payload"],
        store.restore_version(1),
    ):
        result["nested"]["k"].append(3)
        result["new"] = 1
    assert store.get_config() == {"nested": {"k": [1]}}


def test_held_config_and_refresh(make_store):
    store, other = make_store({"v": 1}), make_store()
    assert store.get_config() == {"v": 1}
    other.update_config({"v": 2})
    assert store.get_config() == {"v": 1}
    assert store.get_config(refresh=True) == {"v": 2}
    # Writes build on the table's latest version, not on a stale held copy.
    other.update_config({"v": 3, "w": {"a": 1}})
    assert store.patch_config({"w": {"b": 2}}) == {"v": 3, "w": {"b": 2}}
    assert store.get_version() == 4
    # In-place edits of the latest version reach the held copy; older versions do not.
    store.update_config_version(1, {"old": True})
    assert store.get_config() == {"v": 3, "w": {"b": 2}}
    store.patch_config_version(4, {"v": 4})
    assert store.get_config() == {"v": 4, "w": {"b": 2}}


def test_held_config_is_what_get_config_hands_out_without_waiting(make_store, store_in_use):
    store = make_store({"v": 1, "text": TEXT})
    assert store.held_config() is None  # nothing read yet: get_config reads it
    assert store.get_config() == {"v": 1, "text": TEXT}
    held = store.held_config()
    assert held == store.get_config() and held.version == 1 and held.revision == 1
    held["v"] = 2
    assert store.held_config() == {"v": 1, "text": TEXT}
    assert store.held_config(longest=len(json.dumps({"v": 1, "text": TEXT})) - 1) is None
    # Another operation using the store: held_config does not wait for it.
    with store_in_use(store, {"v": 3}):
        assert store.held_config() is None
    assert store.held_config() == {"v": 3}


@pytest.mark.parametrize("version", [0, -1, 5, 2**32])
def test_missing_version(make_store, version):
    store = make_store({"a": 1})
    assert store.get_version_detail(version) is None
    for call, args, error in [
        (store.restore_version, (), RuntimeError),
        (store.update_config_version, ({},), ValueError),
        (store.patch_config_version, ({},), ValueError),
    ]:
        with pytest.raises(error) as e:
            call(version, *args)
        assert str(e.value) == f"Version {version} does not exist"
    assert store.get_version() == 1 and store.get_config() == {"a": 1}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.update_config([]), TypeError, "payload must be a dict, not list"),
        (lambda s: s.patch_config(None), TypeError, "patch must be a dict, not NoneType"),
        (lambda s: s.update_config_version(1, "{}"), TypeError, "payload must be a dict, not str"),
        (lambda s: s.patch_config_version(1, 1), TypeError, "patch must be a dict, not int"),
        (lambda s: s.get_version_detail("1"), TypeError, "version must be an int, not str"),
        (lambda s: s.restore_version(True), TypeError, "version must be an int, not bool"),
        (
            lambda s: s.update_config({"x": object()}),
            TypeError,
            "Object of type object is not JSON serializable",
        ),
        (lambda s: ConfigStore(table="d.t;DROP"), ValueError, "Invalid table name: 'd.t;DROP'"),
        (lambda s: ConfigStore(table="a.b.c"), ValueError, "Invalid table name: 'a.b.c'"),
        (lambda s: ConfigStore(table="1t"), ValueError, "Invalid table name: '1t'"),
        (lambda s: ConfigStore(config_name=1), TypeError, "config_name must be a str, not int"),
        (lambda s: ConfigStore([1]), TypeError, "initial_config must be a dict, not list"),
    ],
)
def test_argument_errors(make_store, call, error, message):
    store = make_store({"a": 1})
    with pytest.raises(error) as e:
        call(store)
    assert str(e.value) == message
    assert store.get_version() == 1


def test_subclass_overrides_do_not_leak(table):
    # Built without a client: the store opens the embedded engine, the one `table` lives in.
    def forbidden(self, *args, **kwargs):
        raise AssertionError("public method called")

    names = ("get_config", "update_config", "get_version", "get_version_detail")
    store = type("Guarded", (ConfigStore,), dict.fromkeys(names, forbidden))({"a": 1}, table=table)
    assert store.patch_config({"b": 2}) == {"a": 1, "b": 2}
    assert store.create_new_version() == 3
    store.patch_config_version(3, {"c": 3})
    assert store.restore_version(3) == {"a": 1, "b": 2, "c": 3}


def test_concurrent_patches_lose_nothing(make_store):
    store, barrier = make_store({"seed": 0}), threading.Barrier(16)

    def work(i):
        barrier.wait()
        return store.patch_config({f"k{i}": i})

    with ThreadPoolExecutor(16) as pool:
        list(pool.map(work, range(16)))
    assert store.get_config(refresh=True) == {"seed": 0, **{f"k{i}": i for i in range(16)}}
    assert [row["version"] for row in store.get_version_history()] == list(range(17, 0, -1))


def test_stores_of_one_process_share_the_write_lock(make_store):
    # Four stores on one table and configuration, two threads each: every acknowledged write is a
    # version of its own holding exactly what it was acknowledged with.
    stores, barrier = [make_store({"seed": 0}) for _ in range(4)], threading.Barrier(8)
    stores[0].get_version()

    def work(worker):
        barrier.wait()
        store = stores[worker % 4]
        return [store.patch_config({f"w{worker}_{i}": i}) for i in range(10)]

    with ThreadPoolExecutor(8) as pool:
        acknowledged = [config for configs in pool.map(work, range(8)) for config in configs]
    versions = [row["version"] for row in stores[2].get_version_history()]
    assert versions == list(range(81, 0, -1))
    stored = [stores[1].get_version_detail(v)["payload"] for v in range(2, 82)]
    assert sorted(map(json.dumps, stored)) == sorted(map(json.dumps, acknowledged))
    assert stores[3].get_config(refresh=True) == {
        "seed": 0,
        **{f"w{w}_{i}": i for w in range(8) for i in range(10)},
    }


# ---- configurations handed out --------------------------------------------------------------


def test_handed_out_configs_are_dicts(make_store):
    store = make_store({"a": 1, "b": {"c": [1]}})
    for config in (store.get_config(), store.patch_config({}), store.restore_version(1)):
        assert isinstance(config, StoredConfig) and isinstance(config, dict)
        assert config == {"a": 1, "b": {"c": [1]}}
        assert json.dumps(config) == '{"a": 1, "b": {"c": [1]}}'
        assert type(copy.copy(config)) is StoredConfig and copy.copy(config) == config
        assert type(config.copy()) is dict and type(dict(config)) is dict
        for twin in (copy.deepcopy(config), pickle.loads(pickle.dumps(config))):
            assert type(twin) is StoredConfig and twin == config


OTHER_WRITES = {
    "merge": lambda store: store.patch_config({"a": 9, "other": 3}),
    "replace": lambda store: store.update_config({"a": 9, "other": 3}),
}


@pytest.mark.parametrize(
    "other, edit, expected",
    [
        ("merge", lambda c: c.pop("b"), {"a": 9, "other": 3}),
        ("merge", lambda c: c.update(b=5), {"a": 9, "b": 5, "other": 3}),
        ("merge", lambda c: c.update(a=5), {"a": 5, "b": 2, "other": 3}),
        ("merge", lambda c: c.update(a=True), {"a": True, "b": 2, "other": 3}),
        (
            "merge",
            lambda c: c.update(n={"x": None}),
            {"a": 9, "b": 2, "other": 3, "n": {"x": None}},
        ),
        ("merge", lambda c: c.update(b=2), {"a": 9, "b": 2, "other": 3}),
        ("merge", lambda c: c.clear(), {"other": 3}),
        # A key the other write removed stays removed unless this write changed it.
        ("replace", lambda c: c.pop("a"), {"other": 3}),
        ("replace", lambda c: c.update(b=7), {"a": 9, "other": 3, "b": 7}),
    ],
)
def test_stale_config_applies_only_its_changes(make_store, other, edit, expected):
    store, writer = make_store({"a": 1, "b": 2}), make_store()
    config = store.get_config()
    OTHER_WRITES[other](writer)
    edited = copy.copy(config)
    edit(edited)
    store.update_config(edited)
    assert store.get_config(refresh=True) == expected
    assert [store.get_version_detail(v)["payload"] for v in (2, 3)] == [
        {"a": 9, "other": 3} if other == "replace" else {"a": 9, "b": 2, "other": 3},
        expected,
    ]


def test_plain_dict_replaces(make_store):
    store, writer = make_store({"a": 1, "b": 2}), make_store()
    config = store.get_config()
    writer.patch_config({"other": 3})
    config.pop("b")
    store.update_config(dict(config))
    assert store.get_config(refresh=True) == {"a": 1}
    # So does a configuration handed out for another configuration name.
    elsewhere = make_store({"x": 1}, config_name="elsewhere").get_config()
    writer.patch_config({"other": 4})
    store.update_config(elsewhere)
    assert store.get_config(refresh=True) == {"x": 1}


def test_current_config_is_written_as_given(make_store):
    store = make_store({"a": 1, "b": 2})
    config = store.get_config()
    config.pop("a")
    config["z"] = 1
    config["a"] = 2
    store.update_config(config)
    assert list(store.get_config(refresh=True).items()) == [("b", 2), ("z", 1), ("a", 2)]
    # Read again after an in-place edit of the latest version, it is current again.
    store.update_config_version(2, {"c": 1})
    config = store.get_config()
    config["d"] = 2
    store.update_config(config)
    assert store.get_config(refresh=True) == {"c": 1, "d": 2}


ROUNDS = 30


def test_section_delete_beside_put_loses_nothing(make_store):
    # The router's DELETE reads the held configuration, copies it, pops the section and stores
    # the rest, while PUTs of other sections run on other threads of the pool.
    store = make_store({f"victim_{i}": i for i in range(ROUNDS)}, config_name="svc")
    app = FastAPI()
    app.include_router(create_config_router(store))

    async def rounds():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as http:
            answers = []
            for i in range(ROUNDS):
                put, delete = await asyncio.gather(
                    http.put(f"/config/new_{i}", json={"round": i}),
                    http.delete(f"/config/victim_{i}"),
                )
                answers.append((i, put, delete))
            return answers, await http.get("/config/")

    answers, final = asyncio.run(rounds())
    for i, put, delete in answers:
        assert (put.status_code, delete.status_code) == (200, 200), (put.text, delete.text)
        assert put.json()[f"new_{i}"] == {"round": i}
        assert f"victim_{i}" not in delete.json()
    assert final.json() == {f"new_{i}": {"round": i} for i in range(ROUNDS)}
    assert store.get_version() == 2 * ROUNDS + 1


# ---- revisions ------------------------------------------------------------------------------


def test_superseded_payloads_stay_readable(any_store):
    start = datetime.now(UTC) - timedelta(seconds=1)
    store = any_store({"v": 1})
    for v in range(2, 13):
        store.update_config({"v": v})
    store.patch_config({"important": True})
    assert store.restore_version(1) == {"v": 1}
    assert store.get_version() == 13
    assert not any("important" in store.get_version_detail(v)["payload"] for v in range(1, 14))
    # Version 13 was written twice: revision 13 made it, revision 14 overwrote it.
    important = {"v": 12, "important": True}
    history = store.get_revision_history(13)
    assert [(r["version"], r["revision"], r["payload"]) for r in history] == [
        (13, 14, {"v": 1}),
        (13, 13, important),
    ]
    assert store.get_revision(13) == history[1]
    end = datetime.now(UTC) + timedelta(seconds=1)
    assert all(start <= r["updated_at"] <= end for r in history)
    assert set(history[0]) == {
        "config_name",
        "environment",
        "version",
        "revision",
        "updated_at",
        "payload",
    }

    store.update_config_version(2, {"x": 1})
    store.patch_config_version(2, {"y": 2})
    assert [(r["revision"], r["payload"]) for r in store.get_revision_history(2)] == [
        (16, {"x": 1, "y": 2}),
        (15, {"x": 1}),
        (2, {"v": 2}),
    ]
    everything = store.get_revision_history()
    assert [r["revision"] for r in everything] == list(range(16, 0, -1))
    assert [r["version"] for r in everything[:4]] == [2, 2, 13, 13]
    assert store.get_revision(17) is None


@pytest.mark.parametrize("version", [0, -1, 99, 2**32])
def test_revisions_of_a_missing_version(make_store, version):
    assert make_store({"a": 1}).get_revision_history(version) == []


@pytest.mark.parametrize("revision", [0, -1, 2**64])
def test_missing_revision(make_store, revision):
    assert make_store({"a": 1}).get_revision(revision) is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.get_revision("1"), "revision must be an int, not str"),
        (lambda s: s.get_revision(True), "revision must be an int, not bool"),
        (lambda s: s.get_revision_history(1.0), "version must be an int, not float"),
    ],
)
def test_revision_argument_errors(make_store, call, message):
    with pytest.raises(TypeError) as e:
        call(make_store())
    assert str(e.value) == message


OLD_LAYOUT = (
    "CREATE TABLE {table} (config_name String, environment String, version UInt32,"
    " payload String, updated_at DateTime, revision UInt64)"
    " ENGINE = ReplacingMergeTree(revision) ORDER BY (config_name, environment, version)"
)


@pytest.mark.parametrize("layout", ["new", "old"])
def test_table_layouts_after_merges(any_client, layout):
    client, database = any_client
    table = f"{database}.kelvora_config"
    if layout == "old":
        client.execute(OLD_LAYOUT.format(table=table))
        # A row the earlier store wrote, its revision taken from the wall clock.
        client.execute(
            f"INSERT INTO {table} VALUES ('default', 'default', 1, '{{\"v\": 1}}',"
            " '2024-01-02 03:04:05', 1704164645000000000)"
        )
    store = ConfigStore({"v": 1}, client=client, table=table)
    store.patch_config({"w": 2})
    store.update_config_version(2, {"w": 3})
    store.restore_version(1)
    client.execute(f"OPTIMIZE TABLE {table} FINAL")
    assert store.get_config(refresh=True) == {"v": 1}
    assert [store.get_version_detail(v)["payload"] for v in (1, 2)] == [{"v": 1}, {"v": 1}]
    payloads = [r["payload"] for r in store.get_revision_history(2)]
    # The earlier layout's merges keep only the newest revision of each version.
    assert payloads == ([{"v": 1}, {"w": 3}, {"v": 1, "w": 2}] if layout == "new" else [{"v": 1}])
    # Revisions go on from the highest stored one, whatever it is.
    first = store.get_revision_history(1)[-1]["revision"]
    assert store.get_revision_history(2)[0]["revision"] == first + 3
