"""The module kelvora.backends as Python sees it: attributes, classes, signatures, docs, loading."""

import inspect
import logging
import os
import subprocess
import sys
import typing

import pytest

import kelvora.backends as backends
from kelvora.backends import ClickHouseBackend, DuckDbBackend, StorageBackend

OPERATIONS = ["query", "create", "update", "delete", "get_by_id", "get_info"]
CLASSES = [StorageBackend, ClickHouseBackend, DuckDbBackend]

OPERATION_SIGNATURES = {
    "query": "(self, table: 'str', filters: 'Dict[str, Any]', limit: 'int', offset: 'int')"
    " -> 'List[Dict]'",
    "create": "(self, table: 'str', data: 'Dict[str, Any]') -> 'Dict'",
    "update": "(self, table: 'str', id_value: 'Any', data: 'Dict[str, Any]') -> 'Dict'",
    "delete": "(self, table: 'str', id_value: 'Any') -> 'bool'",
    "get_by_id": "(self, table: 'str', id_value: 'Any') -> 'Dict'",
    "get_info": "(self, table: 'str') -> 'Dict'",
}

OPERATION_ANNOTATIONS = {
    "query": [
        ("table", "str"),
        ("filters", "Dict[str, Any]"),
        ("limit", "int"),
        ("offset", "int"),
        ("return", "List[Dict]"),
    ],
    "create": [("table", "str"), ("data", "Dict[str, Any]"), ("return", "Dict")],
    "update": [
        ("table", "str"),
        ("id_value", "Any"),
        ("data", "Dict[str, Any]"),
        ("return", "Dict"),
    ],
    "delete": [("table", "str"), ("id_value", "Any"), ("return", "bool")],
    "get_by_id": [("table", "str"), ("id_value", "Any"), ("return", "Dict")],
    "get_info": [("table", "str"), ("return", "Dict")],
}


def run_python(code):
    """Runs `code` in a fresh interpreter with this process's environment; answers its stdout."""
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ)
    )
    assert done.returncode == 0, done.stderr
    return done


def test_module_attributes_in_order():
    names = [n for n in vars(backends) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [
        "Any",
        "Dict",
        "List",
        "Protocol",
        "runtime_checkable",
        "logging",
        "logger",
        "StorageBackend",
        "ClickHouseBackend",
        "DuckDbBackend",
    ]
    for name in ["Any", "Dict", "List", "Protocol", "runtime_checkable"]:
        assert getattr(backends, name) is getattr(typing, name)
    assert backends.logging is logging
    assert backends.logger is logging.getLogger("kelvora.backends")


def test_module_doc():
    doc = inspect.cleandoc(backends.__doc__)
    assert doc.startswith("Storage Backend Adapters\n")
    assert (
        "Provides adapters for different storage backends (ClickHouse, DuckDB, etc.)\n"
        "to work with the generic CRUD API.\n" in doc
    )
    assert (
        "This enables the same CRUD API to work with multiple storage backends\n"
        "using the Strategy/Adapter pattern." in doc
    )


@pytest.mark.parametrize("cls", CLASSES)
def test_class_identity(cls):
    assert cls.__module__ == "kelvora.backends"
    assert cls.__qualname__ == cls.__name__
    assert getattr(backends, cls.__name__) is cls


def test_bases():
    assert StorageBackend.__bases__ == (typing.Protocol,)
    assert StorageBackend._is_protocol and StorageBackend._is_runtime_protocol
    assert ClickHouseBackend.__bases__ == (object,)
    assert DuckDbBackend.__bases__ == (object,)


@pytest.mark.parametrize(
    "cls, expected",
    [
        (StorageBackend, OPERATIONS),
        (ClickHouseBackend, ["__init__", *OPERATIONS]),
        (DuckDbBackend, ["__init__", *OPERATIONS]),
    ],
)
def test_method_order(cls, expected):
    # The protocol machinery adds its own __init__ and hooks; only the declared methods count.
    own = [n for n, v in vars(cls).items() if n in expected and callable(v)]
    assert own == expected
    if cls is not StorageBackend:
        assert [n for n in vars(cls) if not n.startswith("__") or n == "__init__"] == expected


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_metadata(cls, name):
    function = vars(cls)[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"{cls.__name__}.{name}"
    assert function.__module__ == "kelvora.backends"
    assert str(inspect.signature(function)) == OPERATION_SIGNATURES[name]
    assert list(function.__annotations__.items()) == OPERATION_ANNOTATIONS[name]
    assert not inspect.iscoroutinefunction(function)
    # Every parameter is positional-or-keyword and required.
    parameters = inspect.signature(function).parameters.values()
    assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in parameters)


@pytest.mark.parametrize(
    "cls, signature, annotations",
    [
        (ClickHouseBackend, "(self, client, primary_key: 'str' = 'id')", [("primary_key", "str")]),
        (
            DuckDbBackend,
            "(self, cache_manager, database: 'str', primary_key: 'str' = 'id')",
            [("database", "str"), ("primary_key", "str")],
        ),
    ],
)
def test_constructor_metadata(cls, signature, annotations):
    init = vars(cls)["__init__"]
    assert init.__qualname__ == f"{cls.__name__}.__init__"
    assert init.__module__ == "kelvora.backends"
    assert str(inspect.signature(init)) == signature
    assert list(init.__annotations__.items()) == annotations
    assert str(inspect.signature(cls)) == signature.replace("self, ", "")


@pytest.mark.parametrize(
    "function, doc",
    [
        (ClickHouseBackend.query, "Query ClickHouse table with SQL WHERE."),
        (ClickHouseBackend.create, "Insert new record into ClickHouse."),
        (ClickHouseBackend.get_by_id, "Get single record by ID."),
        (ClickHouseBackend.get_info, "Get ClickHouse table metadata."),
        (DuckDbBackend.query, "Query DuckDB cache with SQL WHERE."),
        (DuckDbBackend.update, "Update not supported for DuckDB cache (read-only)."),
        (DuckDbBackend.delete, "Delete not supported for DuckDB cache (read-only)."),
        (DuckDbBackend.get_by_id, "Get single record by ID."),
        (DuckDbBackend.get_info, "Get DuckDB cache table metadata."),
    ],
)
def test_one_line_docs(function, doc):
    assert function.__doc__ == doc


@pytest.mark.parametrize(
    "obj, first, contained",
    [
        (
            StorageBackend,
            "Protocol/Interface for storage backends.",
            [
                "Any backend that implements these methods can be used with\n"
                "create_crud_router() to provide a REST API.",
                "This enables:",
                "(future)",
            ],
        ),
        (
            StorageBackend.query,
            "Query data from backend with filters.",
            [
                "Args:",
                "Table name",
                "Maximum number of rows to return",
                "Number of rows to skip",
                "Returns:",
                "List of dicts (rows)",
            ],
        ),
        (
            StorageBackend.create,
            "Create new record in backend.",
            [
                "Args:",
                "Table name",
                "Dict of column_name -> value",
                "Returns:",
                "Created record dict",
            ],
        ),
        (
            StorageBackend.update,
            "Update existing record in backend.",
            [
                "Table name",
                "Primary key value",
                "Dict of column_name -> value to update",
                "Updated record dict",
            ],
        ),
        (
            StorageBackend.delete,
            "Delete record from backend.",
            ["Table name", "Primary key value", "Returns:", "True if successful"],
        ),
        (
            StorageBackend.get_by_id,
            "Get single record by ID.",
            ["Args:", "Returns:", "Record dict", "Raises:", "ValueError", "If record not found"],
        ),
        (
            StorageBackend.get_info,
            "Get table metadata (row count, columns, etc.).",
            ["Args:", "Table name", "Returns:", "Dict with metadata"],
        ),
        (
            ClickHouseBackend,
            "ClickHouse storage backend adapter.",
            [
                "ClickHouseClient",
                "Implements the StorageBackend protocol to work with generic CRUD API.",
                "ClickHouseBackend(client, primary_key=",
                "create_crud_router(",
            ],
        ),
        (
            ClickHouseBackend.__init__,
            "Args:",
            ["client: ", "ClickHouseClient instance", "primary_key: Name of primary key column"],
        ),
        (
            ClickHouseBackend.update,
            "Update record in ClickHouse using ALTER TABLE UPDATE.",
            [
                "Note: ClickHouse updates are eventually consistent and may take time to apply.\n"
                "For ReplacingMergeTree, consider inserting a new version instead."
            ],
        ),
        (
            ClickHouseBackend.delete,
            "Delete record from ClickHouse using ALTER TABLE DELETE.",
            ["Note: ClickHouse deletes are eventually consistent and may take time to apply."],
        ),
        (
            DuckDbBackend,
            "DuckDB cache storage backend adapter.",
            [
                "DuckDbCacheManager",
                "Implements the StorageBackend protocol to work with generic CRUD API.",
                "Note: DuckDB cache is typically read-only. Write operations (create/update/delete)"
                "\nwill raise NotImplementedError. Use cache.store() to populate data instead.",
                "store(database=",
                "DuckDbBackend(cache, database=",
            ],
        ),
        (
            DuckDbBackend.__init__,
            "Args:",
            [
                "cache_manager: ",
                "DuckDbCacheManager instance",
                "database: Database name in cache (",
                "primary_key: Name of primary key column",
            ],
        ),
        (
            DuckDbBackend.create,
            "Create is not supported for DuckDB cache (read-only).",
            ["Cache is populated via cache.store() with full DataFrame."],
        ),
    ],
)
def test_multi_line_docs(obj, first, contained):
    doc = inspect.cleandoc(obj.__doc__)
    assert doc.splitlines()[0] == first
    for text in contained:
        assert text in doc
    # Written in the indented style of a class body: the raw text starts with a line break.
    assert obj.__doc__.startswith("\n")


def test_protocol_doc_lists_four_uses():
    lines = inspect.cleandoc(StorageBackend.__doc__).splitlines()
    start = lines.index("This enables:") + 1
    uses = [line for line in lines[start:] if line.strip()]
    assert len(uses) == 4
    assert uses[2].endswith("(future)")


def test_import_needs_only_typing_and_logging():
    listing = "print(*sorted(sys.modules), sep=chr(10))"
    baseline = run_python("import sys, typing, logging; " + listing).stdout.split()
    done = run_python("import sys, kelvora.backends; " + listing)
    assert set(done.stdout.split()) == set(baseline) | {"kelvora", "kelvora.backends"}
    assert done.stderr == ""


def test_import_logs_nothing():
    code = (
        "import logging, sys\n"
        "records = []\n"
        "class Keep(logging.Handler):\n"
        "    def emit(self, record):\n"
        "        records.append(record)\n"
        "logging.getLogger().addHandler(Keep())\n"
        "logging.getLogger().setLevel(logging.DEBUG)\n"
        "import kelvora.backends\n"
        "print(len(records))\n"
    )
    done = run_python(code)
    assert done.stdout == "0\n"
    assert done.stderr == ""


def test_package_import_loads_no_submodule():
    done = run_python(
        "import sys, kelvora; print([m for m in sys.modules if m.startswith('kelvora.')])"
    )
    assert done.stdout == "[]\n"


def test_second_initialisation_refused():
    code = (
        "import importlib.util, kelvora.backends as m\n"
        "spec = importlib.util.spec_from_file_location('kelvora.backends', m.__file__)\n"
        "try:\n"
        "    spec.loader.exec_module(importlib.util.module_from_spec(spec))\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    assert run_python(code).stdout == (
        "Module 'backends' has already been imported. Re-initialisation is not supported.\n"
    )


def test_second_interpreter_refused():
    code = (
        "import kelvora.backends, _xxsubinterpreters as interpreters\n"
        "interpreter = interpreters.create()\n"
        "try:\n"
        "    interpreters.run_string(interpreter, 'import kelvora.backends')\n"
        "except interpreters.RunFailedError as e:\n"
        "    print(e)\n"
    )
    assert run_python(code).stdout == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.\n"
    )


def test_operations_log_nothing(caplog, make_client, make_cache):
    ch = ClickHouseBackend(make_client(answers={"select": [], "describe": []}))
    duck = DuckDbBackend(make_cache(), "db")
    with caplog.at_level(logging.DEBUG):
        for backend in (ch, duck):
            backend.query("t", {"a": 1}, 5, 0)
            backend.get_info("t")
            for call in (
                lambda: backend.get_by_id("t", 1),
                lambda: backend.create("t", {"a": 1}),
                lambda: backend.query(None, {}, 1, 0),
            ):
                try:
                    call()
                except (ValueError, NotImplementedError, TypeError):
                    pass
    assert caplog.records == []
