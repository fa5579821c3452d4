"""Repeated operations must leave no native object, Python object, memory or reference behind."""

import asyncio
import gc
import logging
import types
import warnings
from decimal import Decimal

import anyio
import anyio.lowlevel
import leaks
import native_test_ext as ext
import pytest

CHEAP, DRIVEN = 100_000 // leaks.SCALE, 20_000 // leaks.SCALE
LOOPED = 20 // min(leaks.SCALE, 10)

# Objects of their own whose reference counts must come back.
A = "".join(["a", "b"])  # noqa: FLY002 - not the interned constant
N, V, NAN = 10**30, object(), float("nan")


def assert_no_growth(operation, repeats):
    # Caches (signatures, interned names, free lists) settle in the first few calls.
    leaks.assert_no_growth(
        leaks.repeat(operation),
        warmup=3,
        repeats=repeats,
        watched=(A, N, V, NAN),
        counters=ext.live_counts,
    )


def call(function, *args, raises=(), **kwargs):
    def operation():
        try:
            function(*args, **kwargs)
        except raises:
            return
        assert not raises, f"{function} did not raise"

    return operation


class Formatted:
    def __format__(self, spec):
        return V if spec == "" else "never"


CALLS = {
    "echo": call(ext.echo, A, N, k=V, extra=V),
    "echo defaults": call(ext.echo, a=A),
    "echo converted": call(ext.echo, A, Decimal("3.7")),
    "too many": call(ext.echo, A, N, V, raises=TypeError),
    "too few": call(ext.echo, n=N, raises=TypeError),
    "multiple values": call(ext.echo, A, a=V, raises=TypeError),
    "unexpected keyword": call(ext.sql_literal, A, other=V, raises=TypeError),
    "wrong type": call(ext.echo, V, N, raises=TypeError),
    "not an int": call(ext.echo, A, V, raises=TypeError),
    "conversion fails": call(ext.echo, A, NAN, raises=ValueError),
    "literals": call(lambda: (ext.clickhouse_literal(A), ext.sql_literal(A), ext.py_format(N))),
    "format fails": call(ext.py_format, Formatted(), raises=TypeError),
    "attributes": call(lambda: (ext.echo.__signature__, ext.echo.__code__, ext.echo.__dict__)),
}


@pytest.mark.parametrize("name", CALLS)
def test_calls(name):
    assert_no_growth(CALLS[name], CHEAP)


@pytest.mark.parametrize("level", [logging.INFO, logging.CRITICAL])
def test_logging(level):
    logger = logging.getLogger("kelvora.leaks")
    handler = logging.NullHandler()
    logger.setLevel(level)
    logger.addHandler(handler)
    logger.propagate = False
    try:
        assert_no_growth(call(ext.log_texts, "kelvora.leaks", A, KeyError(V)), CHEAP // 10)
    finally:
        logger.propagate = True
        logger.removeHandler(handler)


@types.coroutine
def suspend(value=None, error=None):
    yield
    if error:
        raise error
    return value


@types.coroutine
def ready(value):
    return value
    yield  # a generator that returns without suspending


def run(coro):
    while True:
        coro.send(None)


def started(coro):
    coro.send(None)
    return coro


def thrown(error):
    started(ext.await_guarded(suspend())).throw(error)


COROUTINES = {
    "completed": call(lambda: run(ext.await_all([suspend(V), ready(A)])), raises=StopIteration),
    "guarded": call(
        lambda: run(ext.await_guarded(suspend(error=KeyError(V)))), raises=StopIteration
    ),
    "not awaitable": call(lambda: run(ext.await_guarded(V)), raises=StopIteration),
    "raising": call(lambda: run(ext.raise_after(suspend(), A)), raises=ValueError),
    "awaited raises": call(
        lambda: run(ext.await_all([suspend(error=KeyError(V))])), raises=KeyError
    ),
    "thrown into": call(lambda: thrown(KeyError(V)), raises=StopIteration),
    "cancelled": call(lambda: thrown(asyncio.CancelledError()), raises=asyncio.CancelledError),
    "closed suspended": call(lambda: started(ext.await_all([suspend(V)])).close()),
    "closed unstarted": call(lambda: ext.await_all([V]).close()),
    "thrown before start": call(lambda: ext.await_all([V]).throw(KeyError), raises=KeyError),
    "dropped suspended": call(lambda: started(ext.raise_after(suspend(), A))),
    "never awaited": call(ext.await_all, [V, A]),
}


@pytest.mark.parametrize("name", COROUTINES)
def test_driven_coroutines(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # for the never-awaited ones
        assert_no_growth(COROUTINES[name], DRIVEN)


async def guarded_failure():
    await anyio.lowlevel.checkpoint()
    raise KeyError(V)


async def batch():
    for _ in range(50):
        assert await ext.await_all(
            [anyio.lowlevel.checkpoint(), ext.await_guarded(guarded_failure())]
        )
        with pytest.raises(ValueError):
            await ext.raise_after(anyio.lowlevel.checkpoint(), A)
        with anyio.move_on_after(0):
            await ext.await_guarded(anyio.sleep(1))
        async with anyio.create_task_group() as group:
            for _ in range(5):
                group.start_soon(ext.await_all, [anyio.lowlevel.checkpoint()])
            group.start_soon(ext.await_guarded, anyio.sleep(1))
            await anyio.lowlevel.checkpoint()
            group.cancel_scope.cancel()


@pytest.mark.parametrize("backend", ["asyncio", "trio"])
def test_under_event_loops(backend):
    assert_no_growth(lambda: anyio.run(batch, backend=backend), LOOPED)


def test_asyncio_tasks_cancelled_and_timed_out():
    async def main():
        for _ in range(50):
            task = asyncio.create_task(ext.await_all([asyncio.sleep(1)]))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(ext.await_guarded(asyncio.sleep(1)), 0.0001)
            await ext.await_all([asyncio.to_thread(len, A)])

    assert_no_growth(lambda: asyncio.run(main()), LOOPED)


class Holder:
    pass


@pytest.mark.parametrize(
    "make",
    [
        lambda holder: ext.raise_after(suspend(), holder),  # argument, never started
        lambda holder: started(ext.raise_after(suspend(), holder)),  # argument, suspended
    ],
    ids=["argument", "argument suspended"],
)
def test_reference_cycles_collected(make):
    # The collector sees a native coroutine's parameters; other locals of its frame it does not,
    # which is why bodies never hold a cycle through them across an await.
    gc.collect()
    counts = ext.live_counts()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        holder = Holder()
        holder.coro = make(holder)
        del holder
        gc.collect()
    assert ext.live_counts() == counts
