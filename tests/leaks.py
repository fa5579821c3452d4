"""The leak harness of every test folder: repeat an operation many times, nothing may accumulate.

`assert_no_growth(run, ...)` calls `run(count)`, which performs the operation `count` times, in
windows:

1. a warm-up, so that the caches of the interpreter, the framework and the modules settle (and
   anyio's worker threads are started);
2. a counted run: afterwards the reference counts of the watched objects and the values of the
   given counters (live native objects) are what they were before it, and the objects the garbage
   collector tracks grew by fewer than `objects`;
3. a traced run under tracemalloc, after a warm-up of its own (`traced_warmup`): the traced
   memory grew by less than `memory`. Tracing is slow, so this run is usually the shorter one;
   with `traced=None` the counted run itself is traced instead.

Every measurement follows a `gc.collect()`. `SCALE` divides the repeat counts on the sanitizer
build, where everything runs far slower.
"""

import gc
import os
import sys
import tracemalloc
from collections import Counter
from collections.abc import Callable, Iterable

SANITIZED = bool(os.environ.get("KELVORA_SANITIZED"))
SCALE = 50 if SANITIZED else 1  # AddressSanitizer is far slower


def repeat(operation: Callable[[], object]) -> Callable[[int], None]:
    """run(count) for an operation that is one call."""

    def run(count):
        for _ in range(count):
            operation()

    return run


def native_objects():
    """How many native functions and native coroutines are alive (by their type names)."""
    kinds = Counter(type(o).__name__ for o in gc.get_objects())
    return kinds["native_function"], kinds["native_coroutine"]


def _counted(watched, counters):
    gc.collect()
    return (
        len(gc.get_objects()),
        [sys.getrefcount(o) for o in watched],
        counters() if counters else None,
    )


def _traced_memory():
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def assert_no_growth(
    run: Callable[[int], object],
    *,
    warmup: int,
    repeats: int,
    traced: int | None = None,
    traced_warmup: int = 0,
    watched: Iterable[object] = (),
    counters: Callable[[], object] | None = None,
    objects: int = 50,
    memory: int = 64 * 1024,
):
    """Runs the windows above and asserts that nothing accumulated."""
    watched = list(watched)
    run(warmup)
    if counters:
        # Its first call may fill caches of the interpreter's own (isinstance checks against
        # abstract classes), which are not the operation's.
        counters()
    tracked, refcounts, counted = _counted(watched, counters)
    if traced is None:
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            run(repeats)
            grown = _traced_memory() - start
        finally:
            tracemalloc.stop()
    else:
        run(repeats)
    tracked_after, refcounts_after, counted_after = _counted(watched, counters)
    assert counted_after == counted, f"counters changed: {counted} -> {counted_after}"
    assert refcounts_after == refcounts, (
        f"reference counts changed: {refcounts} -> {refcounts_after}"
    )
    assert tracked_after - tracked < objects, (
        f"objects tracked by the collector grew by {tracked_after - tracked} (limit {objects})"
    )
    if traced is not None:
        tracemalloc.start()
        try:
            run(traced_warmup)
            start = _traced_memory()
            run(traced)
            grown = _traced_memory() - start
        finally:
            tracemalloc.stop()
    assert grown < memory, f"traced memory grew by {grown} bytes (limit {memory})"
