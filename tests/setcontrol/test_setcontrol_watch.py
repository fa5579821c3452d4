"""Watching the configuration: the long poll (index and wait) and the stream of server-sent change
events, fed by one shared poller per configuration."""

import asyncio
import time

import pytest
from setcontrol_app import INITIAL, build_app

from kelvora.backend import ConfigStore
from kelvora.config_feed import ConfigFeed


@pytest.fixture(autouse=True)
def quick_polls(monkeypatch):
    monkeypatch.setattr(ConfigFeed, "interval", 0.05)


def test_a_long_poll_behind_the_version_answers_at_once(http):
    response = http.get("/config/?index=0")
    assert response.status_code == 200, response.text
    assert response.json() == INITIAL
    assert (response.headers["etag"], response.headers["x-config-index"]) == ('"1.1"', "1")


def test_a_long_poll_at_the_version_answers_when_the_wait_ends(http):
    began = time.monotonic()
    response = http.get("/config/?index=1&wait=0.3")
    assert time.monotonic() - began >= 0.3
    assert (response.status_code, response.headers["x-config-index"]) == (200, "1")


def test_a_long_poll_answers_the_change_that_passes_its_index(http, store):
    async def write_soon():
        await asyncio.sleep(0.2)
        await asyncio.to_thread(store.patch_config, {"debug": True})

    async def poll():
        writer = asyncio.create_task(write_soon())
        response = await http.http.get("/config/?index=1&wait=30")
        await writer
        return response

    response = http._runner.run(poll())
    assert response.status_code == 200, response.text
    assert response.json() == {**INITIAL, "debug": True}
    assert (response.headers["etag"], response.headers["x-config-index"]) == ('"2.2"', "2")


@pytest.mark.parametrize(
    ("query", "detail"),
    [
        ("index=-1", "Input should be greater than or equal to 0"),
        ("index=1&wait=601", "Input should be less than or equal to 600"),
        ("index=x", "Input should be a valid integer, unable to parse string as an integer"),
    ],
)
def test_long_poll_parameters_are_checked(http, query, detail):
    response = http.get("/config/?" + query)
    assert response.status_code == 422, response.text
    assert response.json()["detail"][0]["msg"] == detail


async def read_stream(app, headers, events, while_reading=None):
    """The first `events` server-sent events of GET /config/ (ASGI called directly, since a
    buffering client would wait for the end of an endless stream), then a disconnect."""
    chunks, done = [], asyncio.Event()
    scope = {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.3"},
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": "/config/",
        "raw_path": b"/config/",
        "root_path": "",
        "query_string": b"",
        "headers": [(k.lower().encode(), v.encode()) for k, v in headers.items()],
        "client": ("t", 1),
        "server": ("t", 80),
    }
    start = {}

    async def receive():
        await done.wait()
        return {"type": "http.disconnect"}

    async def send(message):
        if message["type"] == "http.response.start":
            start.update(message)
        elif message.get("body"):
            chunks.append(message["body"].decode())
            if "".join(chunks).count("\n\n") >= events:
                done.set()

    serving = asyncio.create_task(app(scope, receive, send))
    if while_reading:
        await while_reading()
    await asyncio.wait_for(done.wait(), 10)
    await asyncio.wait_for(serving, 10)
    return start, "".join(chunks)


def test_the_event_stream_sends_each_change_with_its_changed_keys(store):
    app = build_app(store)

    async def write():
        await asyncio.sleep(0.2)
        await asyncio.to_thread(store.patch_config, {"debug": True})
        await asyncio.to_thread(store.update_config, {"service": {"port": 81}})
        await asyncio.to_thread(store.patch_config_version, 1, {"x": 1})

    start, text = asyncio.run(read_stream(app, {"Accept": "text/event-stream"}, 3, write))
    assert start["status"] == 200
    assert dict(start["headers"])[b"content-type"] == b"text/event-stream; charset=utf-8"
    assert dict(start["headers"])[b"cache-control"] == b"no-cache"
    assert text == (
        'id: 2\nevent: change\ndata: {"version":2,"revision":2,"changed":["debug"]}\n\n'
        'id: 3\nevent: change\ndata: {"version":3,"revision":3,"changed":["service","debug"]}\n\n'
        'id: 4\nevent: change\ndata: {"version":1,"revision":4,"changed":["x"]}\n\n'
    )


def test_a_resumed_stream_starts_after_its_last_event(store):
    app = build_app(store)

    async def scenario():
        async def two_writes():
            await asyncio.sleep(0.2)
            await asyncio.to_thread(store.patch_config, {"a": 1})
            await asyncio.to_thread(store.patch_config, {"b": 1})

        await read_stream(app, {"Accept": "text/event-stream"}, 2, two_writes)
        return await read_stream(app, {"Accept": "text/event-stream", "Last-Event-ID": "2"}, 1)

    _, text = asyncio.run(scenario())
    assert text == 'id: 3\nevent: change\ndata: {"version":3,"revision":3,"changed":["b"]}\n\n'


@pytest.mark.parametrize("last", ["x", "-1", "1.5", "", "1" * 21])
def test_a_last_event_id_that_is_no_revision_is_refused(http, last):
    headers = {"Accept": "text/event-stream", "Last-Event-ID": last}
    response = http.get("/config/", headers=headers)
    assert response.status_code == 400, response.text
    assert response.json() == {"detail": f"Last-Event-ID must be a revision number, not '{last}'"}


class CountingClient:
    def __init__(self, client):
        self.client, self.states = client, 0

    def execute(self, query, params=None):
        if query.startswith("SELECT max(version), argMax(revision, (version, revision))"):
            self.states += 1
        return self.client.execute(query, params)


def test_watchers_share_one_poller(engine, database):
    client = CountingClient(engine)
    store = ConfigStore(INITIAL, client=client, table=f"{database}.config")
    app = build_app(store)

    async def watch(watchers):
        import httpx

        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as http:
            before = client.states
            await asyncio.gather(*(http.get("/config/?index=1&wait=0.5") for _ in range(watchers)))
            return client.states - before

    one, many = asyncio.run(watch(1)), asyncio.run(watch(20))
    # Polls every 0.05 s for 0.5 s: about 10 statements, whatever the number of watchers.
    assert one <= 14 and many <= 14
