"""Every operation, on success and on each error path, run many times: nothing may accumulate.

Growth is measured (by the leak harness) between the end of a warm-up window and the end of the
loop: the number of objects the garbage collector tracks and the reference counts of the objects
handed in, then, on a shorter traced run, the memory tracemalloc traces.
"""

import datetime
from collections import OrderedDict
from types import SimpleNamespace

import leaks
import pytest

from kelvora.backends import ClickHouseBackend, DuckDbBackend, StorageBackend

LOOPS = 100_000 // leaks.SCALE
WARMUP = LOOPS // 10
TRACED = min(LOOPS, 10_000)
# Long enough for bounded caches of the interpreter to turn over once while traced.
TRACED_WARMUP = max(1_000, TRACED // 10)
OBJECT_TOLERANCE = 50
# Room for bounded interpreter caches (some tens of KiB on a debug build); a leak of one small
# object on every call of the traced run exceeds it.
MEMORY_TOLERANCE = max(64 * 1024, 8 * TRACED)

ROWS = [(1, "open", 3), (2, "shut", 4)]
DESCRIBE = [("id", "UInt64"), ("status", "String"), ("region", "UInt8")]


class Abort(BaseException):
    pass


class Seven(int):
    def __str__(self):
        return "seven"


class LightFrame:
    """A table object without pandas: slicing and records on a plain list."""

    def __init__(self, records, to_dict_answer=None):
        self.records = records
        self.to_dict_answer = to_dict_answer

    @property
    def iloc(self):
        return self

    def __getitem__(self, key):
        return LightFrame(self.records[key], self.to_dict_answer)

    def head(self, n):
        return LightFrame(self.records[:n], self.to_dict_answer)

    def to_dict(self, orient):
        if self.to_dict_answer is not None:
            return self.to_dict_answer
        return [dict(r) for r in self.records]


def fresh(text):
    """A str object of its own, so that its reference count is this test's alone."""
    return "".join(list(text))


class Recorded(ClickHouseBackend):
    def query(self, table, filters, limit, offset):
        return [("not", "a", "record")]


def build_cases(make_client, make_cache):
    answers = {
        "select": ROWS,
        "describe": DESCRIBE,
        "count": [(2,)],
        "engine": [("MergeTree", "MergeTree ORDER BY id")],
    }
    client = make_client(answers=answers, record=False)
    failing = make_client(
        answers=answers, failures={"describe": RuntimeError("down")}, record=False
    )
    no_engine = make_client(answers=answers, failures={"engine": RuntimeError("no")}, record=False)
    interrupted = make_client(answers=answers, failures={"engine": Abort()}, record=False)
    ch_empty = ClickHouseBackend(make_client(record=False))
    ch, ch_failing, ch_interrupted = (
        ClickHouseBackend(client),
        ClickHouseBackend(failing, fresh("uid")),
        ClickHouseBackend(interrupted),
    )
    frame = LightFrame([{"id": i, "name": str(i)} for i in range(12)])
    cache = make_cache(
        frame=frame,
        info={"rows": 12, "backend": "x"},
        last_updated=datetime.datetime(2024, 1, 2),
        record=False,
    )
    empty = make_cache(frame=LightFrame([]), record=False)
    odd = make_cache(frame=LightFrame([], to_dict_answer=(1,)), record=False)
    no_info = make_cache(record=False)
    no_info.info = None
    duck, duck_empty, duck_odd, duck_no_info = (
        DuckDbBackend(cache, fresh("db")),
        DuckDbBackend(empty, "db"),
        DuckDbBackend(odd, "db"),
        DuckDbBackend(no_info, "db"),
    )
    table = fresh("events")
    filters = {fresh("status"): fresh("open"), fresh("region"): 3}
    mixed = {
        "name": fresh("O'Brien"),
        "qty": Seven(7),
        "ratio": float("nan"),
        "closed": None,
        "day": datetime.date(2024, 1, 2),
    }
    data = {fresh("name"): fresh("n"), "id_val": 5}
    key = object()
    query = vars(ClickHouseBackend)["query"]

    def metadata():
        return [
            getattr(query, name)
            for name in ("__signature__", "__annotations__", "__name__", "__doc__", "__module__")
        ] + [query.__get__(ch, ClickHouseBackend)]

    ok = None
    return {
        # ClickHouseBackend
        "ch-init": (lambda: ClickHouseBackend(client, primary_key="uid"), ok, [client]),
        "ch-init-type": (lambda: ClickHouseBackend(client, None), TypeError, [client]),
        "ch-init-count": (lambda: ClickHouseBackend(), TypeError, []),
        "ch-query": (lambda: ch.query(table, filters, 10, 20), ok, [ch, table, filters, client]),
        "ch-query-convert": (lambda: ch.query(table, {}, 2.9, True), ok, [table]),
        "ch-query-count": (lambda: ch.query(table), TypeError, [ch, table]),
        "ch-query-keyword": (lambda: ch.query(table, {}, 1, 0, x=1), TypeError, [table]),
        "ch-query-repeat": (lambda: ch.query(table, {}, 1, 0, table=table), TypeError, [table]),
        "ch-query-limit": (lambda: ch.query(table, filters, "5", 0), TypeError, [filters]),
        "ch-query-filters": (lambda: ch.query(table, OrderedDict(), 1, 0), TypeError, [table]),
        "ch-query-client-error": (
            lambda: ch_failing.query(table, filters, 1, 0),
            RuntimeError,
            [filters],
        ),
        "ch-create": (lambda: ch.create(table, data), ok, [table, data]),
        "ch-create-key": (lambda: ch.create(table, {1: 2}), TypeError, [table]),
        "ch-update": (lambda: ch.update(table, key, data), ok, [table, key, data]),
        "ch-update-type": (lambda: ch.update(table, key, None), TypeError, [key]),
        "ch-delete": (lambda: ch.delete(table, key), ok, [table, key]),
        "ch-get-by-id": (lambda: ch.get_by_id(table, key), ok, [table, key]),
        "ch-get-by-id-client-error": (
            lambda: ch_failing.get_by_id(table, key),
            RuntimeError,
            [key],
        ),
        "ch-get-by-id-not-found": (
            lambda: ch_empty.get_by_id(table, key),
            ValueError,
            [key, table],
        ),
        "ch-get-by-id-not-record": (
            lambda: Recorded(client).get_by_id(table, 1),
            TypeError,
            [table],
        ),
        "ch-get-info": (lambda: ch.get_info(table), ok, [table, ch]),
        "ch-get-info-describe-error": (lambda: ch_failing.get_info(table), RuntimeError, [table]),
        "ch-get-info-engine-error": (
            lambda: ClickHouseBackend(no_engine).get_info(table),
            ok,
            [table, no_engine],
        ),
        "ch-get-info-interrupt": (lambda: ch_interrupted.get_info(table), Abort, [table]),
        "metadata": (metadata, ok, [query]),
        # DuckDbBackend
        "duck-init": (lambda: DuckDbBackend(cache, table, "uid"), ok, [cache, table]),
        "duck-init-type": (lambda: DuckDbBackend(cache, None), TypeError, [cache]),
        "duck-init-count": (lambda: DuckDbBackend(cache, "a", "b", "c"), TypeError, [cache]),
        "duck-query": (lambda: duck.query(table, mixed, 10, 20), ok, [duck, table, mixed, frame]),
        "duck-query-all": (lambda: duck.query(table, {}, 0, 0), ok, [table]),
        "duck-query-not-list": (lambda: duck_odd.query(table, {}, 1, 1), TypeError, [table]),
        "duck-query-offset": (lambda: duck.query(table, {}, 1, None), TypeError, [table]),
        "duck-create": (lambda: duck.create(table, data), NotImplementedError, [table, data]),
        "duck-update": (lambda: duck.update(table, key, data), NotImplementedError, [key, data]),
        "duck-delete": (lambda: duck.delete(table, key), NotImplementedError, [key]),
        "duck-get-by-id": (lambda: duck.get_by_id(table, 5), ok, [table]),
        "duck-get-by-id-not-found": (lambda: duck_empty.get_by_id(table, key), ValueError, [key]),
        "duck-get-info": (lambda: duck.get_info(table), ok, [table, cache]),
        "duck-get-info-no-info": (lambda: duck_no_info.get_info(table), TypeError, [table]),
        # StorageBackend
        "protocol-query": (lambda: StorageBackend.query(key, table, filters, 1, 0), ok, [key]),
        "protocol-query-type": (
            lambda: StorageBackend.query(key, table, None, 1, 0),
            TypeError,
            [key],
        ),
        "protocol-get-info-count": (lambda: StorageBackend.get_info(key), TypeError, [key]),
    }


CASE_NAMES = list(build_cases(lambda **k: SimpleNamespace(), lambda **k: SimpleNamespace()))


def repeat(call, expected):
    def run(times):
        for _ in range(times):
            if expected is None:
                call()
                continue
            try:
                call()
            except expected:
                pass
            else:
                raise AssertionError("no error raised")

    return run


@pytest.mark.parametrize("name", CASE_NAMES)
def test_nothing_accumulates(name, make_client, make_cache):
    call, expected, watched = build_cases(make_client, make_cache)[name]
    # Tracing is slow: memory is watched over a shorter run, long enough for a leak to show.
    leaks.assert_no_growth(
        repeat(call, expected),
        warmup=WARMUP,
        repeats=LOOPS - WARMUP,
        traced_warmup=TRACED_WARMUP,
        traced=TRACED,
        watched=watched,
        objects=OBJECT_TOLERANCE,
        memory=MEMORY_TOLERANCE,
    )
