"""Faults that once crashed the interpreter, each reached through the public API.

Each case runs in a fresh interpreter, so that a crash is reported as a failed test with what the
process printed, not as the end of the test run.
"""

import pytest
from processes import run_python


@pytest.mark.parametrize(
    "value",
    ["[[[object()]]]", "([(object(),)],)", "{'k': {'k': [object()]}}", "[{'k': (object(),)}]"],
)
def test_failing_nested_binds_leave_the_recursion_depth_alone(value):
    done = run_python(f"""
        import sys
        from kelvora import _clickhouse

        for _ in range(3000):
            try:
                _clickhouse.bind("SELECT %(x)s", {{"x": {value}}}, None)
            except TypeError:
                pass

        def depth(n):
            return n if n == 0 else depth(n - 1)

        # The full recursion limit is still there to use.
        print(depth(sys.getrecursionlimit() - 50))
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "0\n", "")


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__", "__module__"])
def test_function_names_without_utf8_form_give_a_code_object(attribute):
    done = run_python(f"""
        from kelvora.backends import ClickHouseBackend

        function = ClickHouseBackend.query
        setattr(function, {attribute!r}, "\\udc80")
        code = function.__code__
        print(ascii((code.co_name, code.co_qualname, code.co_filename)), repr(function) != "")
    """)
    expected = {
        "__name__": "('\\udc80', 'ClickHouseBackend.query', 'kelvora.backends')",
        "__qualname__": "('query', '\\udc80', 'kelvora.backends')",
        "__module__": "('query', 'ClickHouseBackend.query', '\\udc80')",
    }[attribute]
    assert (done.returncode, done.stdout, done.stderr) == (0, expected + " True\n", "")


def test_a_failed_execution_can_be_retried():
    # The framework import fails with an error that is no ImportError, so the module's execution
    # stops part-way; once the cause is gone, the import succeeds.
    done = run_python("""
        import sys, types

        broken = types.ModuleType("fastapi")
        def refuse(name):
            raise RuntimeError("fastapi is broken")
        broken.__getattr__ = refuse
        sys.modules["fastapi"] = broken
        try:
            import kelvora.setplane
        except RuntimeError as e:
            print("first:", e)
        del sys.modules["fastapi"]
        sys.modules.pop("kelvora.setplane", None)

        import kelvora.setplane
        print("second:", kelvora.setplane.FASTAPI_AVAILABLE)
    """)
    assert (done.returncode, done.stdout, done.stderr) == (
        0,
        "first: fastapi is broken\nsecond: True\n",
        "",
    )


def test_row_changed_while_its_columns_are_named():
    # Hashing a column name empties the row the client still holds: the record keeps the values
    # the row had when it was read.
    done = run_python("""
        from kelvora.backends import ClickHouseBackend

        row = [object() for _ in range(500)]
        values = list(row)

        class Name(str):
            __eq__ = str.__eq__
            def __hash__(self):
                row.clear()
                return str.__hash__(self)

        class Client:
            def execute(self, query, params=None):
                if query.startswith("DESCRIBE"):
                    return [(Name(f"c{i}"),) for i in range(500)]
                return [row]

        [record] = ClickHouseBackend(Client()).query("t", {}, 10, 0)
        print(list(record.values()) == values)
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")


@pytest.mark.parametrize("made", ["object()", "[1, 2]"])
@pytest.mark.parametrize("traceback", [False, True])
def test_throw_of_a_class_that_makes_no_exception(made, traceback):
    done = run_python(f"""
        import sys
        from kelvora.rowplane import create_crud_router

        class Client:
            def execute(self, query, params):
                return []

        router = create_crud_router("items", Client())
        get_record = {{r.name: r.endpoint for r in router.routes}}["get_record"]

        class Odd(Exception):
            def __new__(cls, *args):
                return {made}

        try:
            raise ValueError
        except ValueError:
            tb = sys.exc_info()[2]
        coroutine = get_record(client=None, id="1")
        try:
            coroutine.throw(*((Odd, None, tb) if {traceback} else (Odd,)))
        except TypeError as e:
            print(e)
        coroutine.close()
    """)
    kind = "object" if made == "object()" else "list"
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        f"calling <class '__main__.Odd'> should have returned an instance of BaseException, "
        f"not {kind}\n"
    )
