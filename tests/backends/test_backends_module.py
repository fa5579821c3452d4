"""The module kelvora.backends as Python sees it: attributes, classes, signatures, docs, loading."""

import inspect
import logging
import os
import subprocess
import sys
import typing

import pytest

from kelvora import backends
from kelvora.backends import ClickHouseBackend, DuckDbBackend, StorageBackend

OPERATIONS = ["query", "create", "update", "delete", "get_by_id", "get_info"]
CLASSES = [StorageBackend, ClickHouseBackend, DuckDbBackend]

SIGNATURES = {
    "query": "(self, table: 'str', filters: 'Dict[str, Any]', limit: 'int', offset: 'int')"
    " -> 'List[Dict]'",
    "create": "(self, table: 'str', data: 'Dict[str, Any]') -> 'Dict'",
    "update": "(self, table: 'str', id_value: 'Any', data: 'Dict[str, Any]') -> 'Dict'",
    "delete": "(self, table: 'str', id_value: 'Any') -> 'bool'",
    "get_by_id": "(self, table: 'str', id_value: 'Any') -> 'Dict'",
    "get_info": "(self, table: 'str') -> 'Dict'",
    "ClickHouseBackend.__init__": "(self, client, primary_key: 'str' = 'id')",
    "DuckDbBackend.__init__": "(self, cache_manager, database: 'str', primary_key: 'str' = 'id')",
}


def run_python(code):
    """Runs `code` in a fresh interpreter with this process's environment."""
    done = subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, text=True, env=os.environ
    )
    assert done.returncode == 0, done.stderr
    return done


def test_module_attributes_in_order():
    names = [n for n in vars(backends) if not (n.startswith("__") and n.endswith("__"))]
    typing_names = ["Any", "Dict", "List", "Protocol", "runtime_checkable"]
    assert names == [*typing_names, "logging", "logger", *(c.__name__ for c in CLASSES)]
    for name in typing_names:
        assert getattr(backends, name) is getattr(typing, name)
    assert backends.logging is logging
    assert backends.logger is logging.getLogger("kelvora.backends")


def test_module_doc():
    doc = inspect.cleandoc(backends.__doc__)
    assert doc.startswith("Storage Backend Adapters\n")
    for pair in [
        (
            "Provides adapters for different storage backends (ClickHouse, DuckDB, etc.)\n"
            "to work with the generic CRUD API.\n"
        ),
        (
            "This enables the same CRUD API to work with multiple storage backends\n"
            "using the Strategy/Adapter pattern."
        ),
    ]:
        assert pair in doc


def test_classes():
    for cls in CLASSES:
        assert (cls.__module__, cls.__qualname__) == ("kelvora.backends", cls.__name__)
    assert StorageBackend.__bases__ == (typing.Protocol,)
    assert StorageBackend._is_protocol and StorageBackend._is_runtime_protocol
    assert ClickHouseBackend.__bases__ == DuckDbBackend.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES)
def test_methods_in_order(cls):
    # The protocol's __init__ is the typing module's own, not a declared method.
    expected = OPERATIONS if cls is StorageBackend else ["__init__", *OPERATIONS]
    assert [n for n in vars(cls) if n in expected] == expected
    if cls is not StorageBackend:
        assert [n for n in vars(cls) if not n.startswith("_")] == OPERATIONS


@pytest.mark.parametrize(
    "cls, name",
    [(c, n) for c in CLASSES for n in OPERATIONS] + [(c, "__init__") for c in CLASSES[1:]],
)
def test_method_metadata(cls, name):
    function = vars(cls)[name]
    assert function.__name__ == name
    assert function.__qualname__ == f"{cls.__name__}.{name}"
    assert function.__module__ == "kelvora.backends"
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES.get(f"{cls.__name__}.{name}", SIGNATURES.get(name))
    # The annotations are the texts of the signature, in parameter order, then the return.
    annotations = [(p.name, p.annotation) for p in signature.parameters.values()]
    annotations.append(("return", signature.return_annotation))
    expected = [(n, a) for n, a in annotations if a is not inspect.Parameter.empty]
    assert list(function.__annotations__.items()) == expected
    assert not inspect.iscoroutinefunction(function)


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


CH_UPDATE_NOTE = (
    "Note: ClickHouse updates are eventually consistent and may take time to apply.\n"
    "For ReplacingMergeTree, consider inserting a new version instead."
)
DUCK_NOTE = (
    "Note: DuckDB cache is typically read-only. Write operations (create/update/delete)\n"
    "will raise NotImplementedError. Use cache.store() to populate data instead."
)
PROTOCOL_USE = (
    "Any backend that implements these methods can be used with\n"
    "create_crud_router() to provide a REST API."
)
IMPLEMENTS = "Implements the StorageBackend protocol to work with generic CRUD API."


@pytest.mark.parametrize(
    "obj, first, contained",
    [
        (StorageBackend, "Protocol/Interface for storage backends.", [PROTOCOL_USE, "(future)"]),
        (
            StorageBackend.query,
            "Query data from backend with filters.",
            ["Args:", "Table name", "Maximum number of rows to return", "Number of rows to skip"]
            + ["Returns:", "List of dicts (rows)"],
        ),
        (
            StorageBackend.create,
            "Create new record in backend.",
            ["Table name", "Dict of column_name -> value", "Created record dict"],
        ),
        (
            StorageBackend.update,
            "Update existing record in backend.",
            ["Primary key value", "Dict of column_name -> value to update", "Updated record dict"],
        ),
        (StorageBackend.delete, "Delete record from backend.", ["Returns:", "True if successful"]),
        (
            StorageBackend.get_by_id,
            "Get single record by ID.",
            ["Record dict", "Raises:", "ValueError", "If record not found"],
        ),
        (
            StorageBackend.get_info,
            "Get table metadata (row count, columns, etc.).",
            ["Args:", "Table name", "Returns:", "Dict with metadata"],
        ),
        (
            ClickHouseBackend,
            "ClickHouse storage backend adapter.",
            ["ClickHouseClient", IMPLEMENTS, "ClickHouseBackend(client, primary_key=", "router"],
        ),
        (
            ClickHouseBackend.__init__,
            "Args:",
            ["ClickHouseClient instance", "primary_key: Name of primary key column"],
        ),
        (
            ClickHouseBackend.update,
            "Update record in ClickHouse using ALTER TABLE UPDATE.",
            [CH_UPDATE_NOTE],
        ),
        (
            ClickHouseBackend.delete,
            "Delete record from ClickHouse using ALTER TABLE DELETE.",
            ["Note: ClickHouse deletes are eventually consistent and may take time to apply."],
        ),
        (
            DuckDbBackend,
            "DuckDB cache storage backend adapter.",
            ["DuckDbCacheManager", IMPLEMENTS, DUCK_NOTE, "store(database=", "DuckDbBackend("],
        ),
        (
            DuckDbBackend.__init__,
            "Args:",
            ["DuckDbCacheManager instance", "database: Database name in cache ("]
            + ["primary_key: Name of primary key column"],
        ),
        (
            DuckDbBackend.create,
            "Create is not supported for DuckDB cache (read-only).",
            ["Cache is populated via cache.store() with full DataFrame."],
        ),
    ],
)
def test_multi_line_docs(obj, first, contained):
    # Written in the indented style of a class body: the raw text starts with a line break.
    assert obj.__doc__.startswith("\n")
    doc = inspect.cleandoc(obj.__doc__)
    assert doc.splitlines()[0] == first
    for text in contained:
        assert text in doc


def test_protocol_doc_lists_four_uses():
    lines = inspect.cleandoc(StorageBackend.__doc__).splitlines()
    uses = [line for line in lines[lines.index("This enables:") + 1 :] if line.strip()]
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
        "import logging\n"
        "records = []\n"
        "handler = logging.Handler()\n"
        "handler.emit = records.append\n"
        "logging.getLogger().addHandler(handler)\n"
        "logging.getLogger().setLevel(logging.DEBUG)\n"
        "import kelvora.backends\n"
        "print(len(records))\n"
    )
    assert run_python(code).stdout == "0\n"


def test_package_import_loads_no_submodule():
    done = run_python("import sys, kelvora; print([m for m in sys.modules if 'kelvora.' in m])")
    assert done.stdout == "[]\n"


@pytest.mark.parametrize(
    "code, message",
    [
        (
            (
                "import sys, kelvora.backends\n"
                "del sys.modules['kelvora.backends']\n"
                "try:\n"
                "    import kelvora.backends\n"
                "except ImportError as e:\n"
                "    print(e)\n"
            ),
            "Module 'backends' has already been imported. Re-initialisation is not supported.",
        ),
        (
            (
                "import kelvora.backends, _xxsubinterpreters as interpreters\n"
                "try:\n"
                "    interpreters.run_string(interpreters.create(), 'import kelvora.backends')\n"
                "except interpreters.RunFailedError as e:\n"
                "    print(e)\n"
            ),
            (
                "<class 'ImportError'>: Interpreter change detected - this module can only be "
                "loaded into one interpreter per process."
            ),
        ),
    ],
    ids=["second-initialisation", "second-interpreter"],
)
def test_loading_once(code, message):
    assert run_python(code).stdout == message + "\n"


def test_operations_log_nothing(caplog, make_client, make_cache):
    ch = ClickHouseBackend(make_client(answers={"select": [(1,)], "describe": [("id", "x")]}))
    duck = DuckDbBackend(make_cache(), "db")
    with caplog.at_level(logging.DEBUG):
        for backend in (ch, duck):
            backend.query("t", {"a": 1}, 5, 0)
            backend.get_info("t")
            with pytest.raises(TypeError):
                backend.query(None, {}, 1, 0)
        ch.create("t", {"a": 1})
        with pytest.raises(ValueError):
            duck.get_by_id("t", 1)
        with pytest.raises(NotImplementedError):
            duck.delete("t", 1)
    assert caplog.records == []
