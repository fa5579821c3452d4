"""Shared fakes for the storage-backend tests: a ClickHouse client and a DuckDB cache manager."""

import pandas as pd
import pytest

NO_PARAMS = "no params"
_ABSENT = object()

# Statement kinds by the start of the statement text (leading line breaks and spaces ignored).
_KINDS = (
    ("SELECT count()", "count"),
    ("SELECT engine", "engine"),
    ("SELECT *", "select"),
    ("DESCRIBE TABLE", "describe"),
    ("INSERT INTO", "insert"),
    ("ALTER TABLE", "alter"),
)


def statement_kind(query):
    text = query.lstrip()
    for prefix, kind in _KINDS:
        if text.startswith(prefix):
            return kind
    raise AssertionError(f"unexpected statement {query!r}")


class FakeClient:
    """A ClickHouse client that records every statement and answers from a script.

    `answers` maps a statement kind (select, describe, count, engine, insert, alter) to the
    result; `failures` maps a kind to the exception that statement raises.
    """

    def __init__(self, answers=None, failures=None, record=True):
        self.answers = dict(answers or {})
        self.failures = dict(failures or {})
        self.record = record
        self.calls = []

    def execute(self, query, params=_ABSENT):
        if self.record:
            self.calls.append((query, NO_PARAMS if params is _ABSENT else params))
        kind = statement_kind(query)
        if kind in self.failures:
            # A fresh traceback each time, so that raising the same error again keeps nothing.
            raise self.failures[kind].with_traceback(None)
        return self.answers.get(kind, [])


class FakeCache:
    """A DuckDB cache manager that records each call with its keyword arguments.

    It evaluates nothing: `query` answers the preset table object whatever the condition.
    """

    def __init__(
        self, frame=None, info=None, last_updated=None, exists=True, failures=None, record=True
    ):
        self.record = record
        self.frame = pd.DataFrame({"id": [], "name": []}) if frame is None else frame
        self.info = {"row_count": 0} if info is None else info
        self.last_updated = last_updated
        self.exists_answer = exists
        self.failures = dict(failures or {})
        self.calls = []

    def _answer(self, method, kwargs, value):
        if self.record:
            self.calls.append((method, kwargs))
        if method in self.failures:
            raise self.failures[method].with_traceback(None)
        return value

    def query(self, **kwargs):
        return self._answer("query", kwargs, self.frame)

    def get_table_info(self, **kwargs):
        return self._answer("get_table_info", kwargs, self.info)

    def get_last_updated(self, **kwargs):
        return self._answer("get_last_updated", kwargs, self.last_updated)

    def exists(self, **kwargs):
        return self._answer("exists", kwargs, self.exists_answer)


class SpyFrame:
    """A table object that logs which trimming operations were applied to it."""

    def __init__(self, records, log=None, to_dict_answer=_ABSENT):
        self.records = records
        self.log = [] if log is None else log
        self.to_dict_answer = to_dict_answer

    @property
    def iloc(self):
        frame = self

        class Positions:
            def __getitem__(self, key):
                frame.log.append(("iloc", key))
                return SpyFrame(frame.records[key], frame.log, frame.to_dict_answer)

        return Positions()

    def head(self, n):
        self.log.append(("head", n))
        return SpyFrame(self.records[:n], self.log, self.to_dict_answer)

    def to_dict(self, orient):
        self.log.append(("to_dict", orient))
        if self.to_dict_answer is not _ABSENT:
            return self.to_dict_answer
        return [dict(r) for r in self.records]


def numbered_frame(count):
    """A data frame of `count` rows, id 0 .. count-1 in order."""
    return pd.DataFrame({"id": list(range(count)), "name": [f"n{i}" for i in range(count)]})


@pytest.fixture
def make_client():
    return FakeClient


@pytest.fixture
def make_cache():
    return FakeCache


@pytest.fixture
def spy_frame():
    return SpyFrame


@pytest.fixture
def make_frame():
    return numbered_frame


@pytest.fixture
def client():
    return FakeClient()


@pytest.fixture
def cache():
    return FakeCache()
