import datetime
import logging
from decimal import Decimal

import native_test_ext as ext
import pytest


@pytest.mark.parametrize(
    ("text", "clickhouse", "sql"),
    [
        ("it's a \\ test", "'it\\'s a \\\\ test'", "'it''s a \\ test'"),
        ("O'Brien", "'O\\'Brien'", "'O''Brien'"),
        ("", "''", "''"),
        ("a\x00b\n\t\r", "'a\\0b\\n\\t\\r'", "'a\x00b\n\t\r'"),
        ("é'☃😀", "'é\\'☃😀'", "'é''☃😀'"),
    ],
)
def test_string_literals(text, clickhouse, sql):
    assert (ext.clickhouse_literal(text), ext.sql_literal(text)) == (clickhouse, sql)


def test_literal_keeps_text_without_utf8_form():
    text = "\ud800'"
    assert ext.clickhouse_literal(text) == "'\ud800\\''"
    assert ext.sql_literal(text) == "'\ud800'''"


class Shown(str):
    def __format__(self, spec):
        return "shown"


class BadFormat:
    def __format__(self, spec):
        return 5


@pytest.mark.parametrize(
    "value",
    ["é\x00", 7, -2.5, 1e100, True, None, Decimal("1.10"), datetime.date(2024, 2, 29), Shown()],
)
def test_py_format(value):
    assert ext.py_format(value) == format(value, "")


def test_py_format_error():
    with pytest.raises(TypeError) as e:
        ext.py_format(BadFormat())
    assert str(e.value) == "__format__ must return a str, not int"


def test_log_texts(caplog):
    error = KeyError("k")
    with caplog.at_level(logging.INFO, logger="kelvora.native.test"):
        ext.log_texts("kelvora.native.test", "héllo", error)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("kelvora.native.test", logging.INFO, "info: héllo"),
        ("kelvora.native.test", logging.WARNING, "warning: héllo"),
        ("kelvora.native.test", logging.ERROR, "error: héllo"),
    ]
    assert caplog.records[2].exc_info[:2] == (KeyError, error)
    assert caplog.records[0].exc_info is None


class Spy(logging.Logger):
    """Records the logging calls made on it; only the levels in `enabled` are enabled."""

    enabled = ()

    def isEnabledFor(self, level):
        return level in self.enabled

    def info(self, msg, **kwargs):
        self.calls.append((logging.INFO, msg, kwargs))

    def warning(self, msg, **kwargs):
        self.calls.append((logging.WARNING, msg, kwargs))

    def error(self, msg, **kwargs):
        self.calls.append((logging.ERROR, msg, kwargs))


@pytest.mark.parametrize("enabled", [(), (logging.WARNING,), (logging.INFO, logging.ERROR)])
def test_disabled_levels_make_no_call(enabled):
    spy, error = Spy("kelvora.native.spy"), ValueError("v")
    spy.enabled, spy.calls = enabled, []
    logging.Logger.manager.loggerDict[spy.name] = spy
    try:
        ext.log_texts(spy.name, "x", error)
    finally:
        del logging.Logger.manager.loggerDict[spy.name]
    expected = {
        logging.INFO: (logging.INFO, "info: x", {}),
        logging.WARNING: (logging.WARNING, "warning: x", {}),
        logging.ERROR: (logging.ERROR, "error: x", {"exc_info": error}),
    }
    assert spy.calls == [expected[level] for level in enabled]
