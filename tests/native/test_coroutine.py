import asyncio
import collections.abc
import gc
import inspect
import threading
import traceback
import types
import warnings

import anyio
import anyio.lowlevel
import native_test_ext as ext
import pytest


async def py_await_all(awaitables, text=None):
    results = []
    for awaitable in awaitables:
        results.append(await awaitable)
    return results


async def py_await_guarded(awaitable, text=None):
    try:
        return await awaitable
    except Exception as e:  # noqa: BLE001
        return "caught: " + str(e)


async def py_raise_after(awaitable, text=None):
    await awaitable
    raise ValueError(text)


# Each native coroutine function, the Python coroutine function it behaves like, and how to call
# either with fresh awaitables.
VARIANTS = {
    "await_all": (ext.await_all, py_await_all, lambda make: ([make(), make()],)),
    "await_guarded": (ext.await_guarded, py_await_guarded, lambda make: (make(),)),
    "raise_after": (ext.raise_after, py_raise_after, lambda make: (make(), "after")),
}


class Probe:
    """Yields twice, returns what it was sent last, recovers from ValueError, records events."""

    def __init__(self, events):
        self.events = events

    def __await__(self):
        received = None
        try:
            for tick in range(2):
                received = yield f"tick{tick}"
                self.events.append(("sent", received))
        except GeneratorExit:
            self.events.append("closed")
            raise
        except ValueError as e:
            self.events.append(("thrown", str(e)))
            return "recovered"
        return received


class Plain:
    """Awaits through an iterator that has neither send, throw nor close."""

    def __init__(self, events):
        pass

    def __await__(self):
        return iter(["tick"])


def drive(coro, steps, close=True):
    outcomes = []
    for step, value in steps:
        try:
            if step == "send":
                outcomes.append(("yield", coro.send(value)))
            elif step == "throw":
                outcomes.append(("yield", coro.throw(value("thrown"))))
            else:
                outcomes.append(("closed", coro.close()))
        except StopIteration as e:
            outcomes.append(("return", e.value))
        except BaseException as e:  # noqa: BLE001
            outcomes.append(("raise", type(e).__name__, str(e)))
    if close:
        coro.close()
    return outcomes


START = ("send", None)
SCENARIOS = {
    "complete": [START, ("send", 1), ("send", 2), ("send", 3), ("send", 4)],
    "non-None first": [("send", 1), START, ("send", 2)],
    "throw recovered": [START, ("throw", ValueError), ("send", 5), ("send", 6)],
    "throw propagated": [START, ("throw", KeyError), ("send", None)],
    "throw StopIteration": [START, ("throw", StopIteration)],
    "throw GeneratorExit": [START, ("throw", GeneratorExit), ("send", None)],
    "throw before start": [("throw", KeyError), START],
    "close suspended": [START, ("close", None), ("send", None)],
    "close before start": [("close", None), START, ("close", None)],
}


@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("awaitable", [Probe, Plain])
@pytest.mark.parametrize("variant", VARIANTS)
def test_driven_like_python_coroutine(variant, awaitable, scenario):
    native, python, arguments = VARIANTS[variant]
    native_events, python_events = [], []
    native_outcomes = drive(
        native(*arguments(lambda: awaitable(native_events))), SCENARIOS[scenario]
    )
    python_outcomes = drive(
        python(*arguments(lambda: awaitable(python_events))), SCENARIOS[scenario]
    )
    assert native_outcomes == python_outcomes
    assert native_events == python_events


@pytest.mark.parametrize(
    ("steps", "error", "text"),
    [
        ([("send", 1)], TypeError, "can't send non-None value to a just-started coroutine"),
        ([START, START], RuntimeError, "cannot reuse already awaited coroutine"),
        ([("close", None), START], RuntimeError, "cannot reuse already awaited coroutine"),
        ([START, ("throw", KeyError)], RuntimeError, "cannot reuse already awaited coroutine"),
        ([("throw", KeyError)], KeyError, "'thrown'"),
    ],
    ids=["send before start", "send after end", "send after close", "throw after end", "throw"],
)
def test_driving_error_texts(steps, error, text):
    assert drive(ext.await_all([]), steps)[-1] == ("raise", error.__name__, text)


@pytest.mark.parametrize(
    "arguments",
    [(), (ValueError, "v", None, 4), (5,), (ValueError("x"), "y"), (ValueError, ("a", "b"))],
    ids=["none", "four", "not an exception", "instance and value", "class and arguments"],
)
def test_throw_arguments_like_python_coroutine(arguments):
    def outcome(coro):
        try:
            coro.throw(*arguments)
        except BaseException as e:  # noqa: BLE001
            return type(e), e.args
        finally:
            coro.close()

    assert outcome(ext.await_all([])) == outcome(py_await_all([]))


@types.coroutine
def _marked_generator():
    yield
    return "marked"


def _plain_generator():
    yield


class _AwaitReturns:
    def __await__(self):
        return 1


@pytest.mark.parametrize(
    "make",
    [lambda: 5, _marked_generator, _plain_generator, _AwaitReturns],
    ids=["int", "marked generator", "generator", "__await__ returns no iterator"],
)
def test_awaitables_accepted_like_python(make):
    python_outcome = drive(py_await_guarded(make()), [START, START])
    assert drive(ext.await_guarded(make()), [START, START]) == python_outcome


def test_not_awaitable_text():
    assert drive(ext.await_guarded(5), [START]) == [
        ("return", "caught: object int can't be used in 'await' expression")
    ]
    assert drive(ext.await_all([5]), [START]) == [
        ("raise", "TypeError", "object int can't be used in 'await' expression")
    ]


def test_awaited_exception_is_the_same_object():
    error = LookupError("lost")

    async def failing():
        raise error

    with pytest.raises(LookupError) as e:
        asyncio.run(ext.await_all([failing()]))
    assert e.value is error
    assert "failing" in {frame.name for frame in traceback.extract_tb(e.tb)}


def test_reentrant_send_refused():
    class Reentering:
        def __await__(self):
            yield
            coro.send(None)

    coro = ext.await_all([Reentering()])
    assert drive(coro, [START, START])[1] == ("raise", "ValueError", "coroutine already executing")
    assert coro.cr_running is False


def test_coroutine_object():
    coro = ext.await_all([])
    assert (coro.__name__, coro.__qualname__, coro.cr_running) == ("await_all", "await_all", False)
    assert repr(coro) == f"<coroutine object await_all at {id(coro):#x}>"
    assert inspect.isawaitable(coro) and asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine) and coro.__await__() is coro
    coro.close()


def test_never_awaited_warns():
    coro = ext.await_all([])
    with pytest.warns(RuntimeWarning) as record:
        del coro  # the last reference: finalised right away
    assert [str(w.message) for w in record] == ["coroutine 'await_all' was never awaited"]


@pytest.mark.parametrize("finish", [[("close", None)], [("throw", KeyError)], [START]])
def test_no_warning_once_closed_thrown_or_started(finish):
    events = []
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = ext.await_all([Probe(events)])
        drive(coro, finish, close=False)
        del coro  # a suspended coroutine closes what it awaits
        gc.collect()
    assert events == (["closed"] if finish == [START] else [])


# Under event loops: asyncio and trio (through anyio).


@pytest.fixture(params=["asyncio", "trio"])
def anyio_backend(request):
    return request.param


async def _later(value):
    await anyio.sleep(0.001)
    return value


async def _failing():
    await anyio.lowlevel.checkpoint()
    raise KeyError("missing")


@pytest.mark.anyio
async def test_awaits_under_event_loop():
    caller = threading.get_ident()
    results = await ext.await_all(
        [
            anyio.lowlevel.checkpoint(),
            _later("later"),
            anyio.to_thread.run_sync(threading.get_ident),
        ]
    )
    assert results[:2] == [None, "later"] and results[2] != caller
    assert await ext.await_guarded(_failing()) == "caught: 'missing'"
    with pytest.raises(KeyError):
        await ext.await_all([_later(1), _failing()])
    with pytest.raises(ValueError, match="^after$"):
        await ext.raise_after(_later(1), "after")


@pytest.mark.anyio
@pytest.mark.parametrize("function", [ext.await_guarded, ext.raise_after])
async def test_cancellation_propagates(function):
    events = []

    async def slow():
        try:
            await anyio.sleep(10)
        finally:
            events.append("unwound")

    with anyio.move_on_after(0.01) as scope:
        await function(slow(), "never")
    assert scope.cancelled_caught and events == ["unwound"]


@pytest.mark.anyio
async def test_many_concurrent_tasks():
    results = {}

    async def one(i):
        results[i] = await ext.await_all([_later(i), anyio.lowlevel.checkpoint()])

    async with anyio.create_task_group() as group:
        for i in range(1000):
            group.start_soon(one, i)
        group.start_soon(ext.await_all, [anyio.lowlevel.checkpoint()])
    assert results == {i: [i, None] for i in range(1000)}


@pytest.mark.parametrize("backend", ["asyncio", "trio"])
def test_run_directly_by_event_loop(backend):
    assert anyio.run(ext.await_all, [_later(1), _later(2)], backend=backend) == [1, 2]


def test_asyncio_cancellation_timeout_and_gather():
    async def main():
        task = asyncio.create_task(ext.await_guarded(asyncio.sleep(10)))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(ext.await_guarded(asyncio.sleep(10)), 0.01)
        return await asyncio.gather(
            ext.await_all([asyncio.to_thread(threading.get_ident), _marked_generator()]),
            *(ext.await_all([asyncio.sleep(0.001, result=i)]) for i in range(1000)),
        )

    results = asyncio.run(main())
    assert results[0][0] != threading.get_ident() and results[0][1] == "marked"
    assert results[1:] == [[i] for i in range(1000)]
