"""The service's middleware on plain ASGI apps: the request id and the counting around any app,
and the refusal of a path with a control character."""

import asyncio
import threading
import uuid

import pytest

from kelvora.service.observability import Metrics, Observe, current_request_id, engine_unavailable
from kelvora.service.security import RefuseControlCharacters


def http_scope(path="/x", headers=()):
    return {"type": "http", "method": "GET", "path": path, "headers": list(headers)}


def run(app, scope):
    """The messages `app` sends for `scope`."""
    sent = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        sent.append(message)

    asyncio.run(app(scope, receive, send))
    return sent


def answering(status=200, headers=(), seen=None):
    async def app(scope, receive, send):
        if seen is not None:
            seen.append((current_request_id(), engine_unavailable(), scope["kelvora.request_id"]))
        await send({"type": "http.response.start", "status": status, "headers": list(headers)})
        await send({"type": "http.response.body", "body": b"ok"})

    return app


class Counted(Observe):
    def __init__(self, app):
        super().__init__(app, Metrics())
        self.counted = []

    def _count(self, scope, status, seconds):
        assert seconds >= 0
        self.counted.append(status)


def test_made_ids_are_distinct_random_uuids_on_every_thread():
    # More than one read of randomness on each thread.
    made = []

    def make():
        observe = Counted(answering())
        for _ in range(300):
            made.append(
                uuid.UUID(
                    hex=dict(run(observe, http_scope())[0]["headers"])[b"x-request-id"].decode()
                )
            )

    threads = [threading.Thread(target=make) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(set(made)) == len(made) == 600
    assert {(made_id.version, made_id.variant) for made_id in made} == {(4, uuid.RFC_4122)}


@pytest.mark.parametrize(
    ("sent", "kept"),
    [
        (b"a.b:c_d-1", True),
        (b"x" * 128, True),
        (b"x" * 129, False),
        (b"-leading", False),
        ("caf\u00e9".encode("latin-1"), False),
    ],
)
def test_the_request_id_is_the_requests_own_when_sane(sent, kept):
    seen = []
    observe = Counted(answering(seen=seen))
    start = run(observe, http_scope(headers=[(b"x-request-id", sent)]))[0]
    answered = dict(start["headers"])[b"x-request-id"]
    if kept:
        assert answered == sent
    else:
        assert answered != sent and uuid.UUID(hex=answered.decode()).version == 4
    assert seen == [(answered.decode(), None, answered.decode())]


def test_the_answer_carries_one_id_and_the_apps_other_headers():
    app_headers = [(b"content-type", b"text/plain"), (b"X-Request-ID", b"app's"), (b"a", b"1")]
    observe = Counted(answering(201, app_headers))
    start, body = run(observe, http_scope(headers=[(b"x-request-id", b"mine")]))
    assert start["headers"] == [
        (b"content-type", b"text/plain"),
        (b"a", b"1"),
        (b"x-request-id", b"mine"),
    ]
    assert body == {"type": "http.response.body", "body": b"ok"}
    assert observe.counted == [201]


def test_an_app_that_fails_is_counted_and_its_error_goes_on():
    async def failing(scope, receive, send):
        raise LookupError("gone")

    observe = Counted(failing)
    with pytest.raises(LookupError, match="gone"):
        run(observe, http_scope())
    assert observe.counted == [500]


def test_other_scopes_pass_untouched():
    got = []

    async def app(scope, receive, send):
        got.append(scope)

    observe = Counted(app)
    run(observe, {"type": "lifespan"})
    assert got == [{"type": "lifespan"}] and observe.counted == []


@pytest.mark.parametrize("path", ["/config/\n", "/a\x00b", "/\x7f"])
def test_a_path_with_a_control_character_is_refused(path):
    start, body = run(RefuseControlCharacters(answering()), http_scope(path))
    assert start["status"] == 400
    assert body["body"] == b'{"detail":"The path holds a control character"}'


def test_a_websocket_to_such_a_path_is_closed():
    sent = run(RefuseControlCharacters(answering()), {"type": "websocket", "path": "/w\n"})
    assert sent == [{"type": "websocket.close", "code": 1008}]


@pytest.mark.parametrize("path", ["/config/", "/caf\u00e9/\u2028"])
def test_any_other_path_reaches_the_app(path):
    assert run(RefuseControlCharacters(answering(204)), http_scope(path))[0]["status"] == 204


def test_requests_through_both_leave_nothing_behind():
    import leaks

    async def failing(scope, receive, send):
        raise LookupError("gone")

    observed = Counted(RefuseControlCharacters(answering(headers=[(b"x-request-id", b"a")])))
    failing_app = Counted(failing)
    scopes = [
        http_scope(headers=[(b"x-request-id", b"sent-1")]),
        http_scope("/refused\n"),
        http_scope(headers=[(b"x-request-id", b"not sane;")]),
    ]

    async def receive():
        return {"type": "http.request"}

    async def send(message):
        pass

    def run_many(count):
        async def many():
            for n in range(count):
                await observed(scopes[n % len(scopes)], receive, send)
                try:
                    await failing_app(http_scope(), receive, send)
                except LookupError:
                    pass
                else:
                    raise AssertionError("the app's error was lost")
                observed.counted.clear()
                failing_app.counted.clear()

        # One loop for every window: a new one leaves caches of its own the first time.
        loop.run_until_complete(many())

    loop = asyncio.new_event_loop()
    loops = 3000 // leaks.SCALE
    leaks.assert_no_growth(
        run_many,
        warmup=loops // 5,
        repeats=loops,
        traced=loops // 5,
        traced_warmup=loops // 10,
        watched=[observed, failing_app, *scopes],
        counters=leaks.native_objects,
    )
    loop.close()
