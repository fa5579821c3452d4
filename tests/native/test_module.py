import importlib

import native_test_ext as ext
import pytest
from processes import run_python

from kelvora import backends

MODULES = [("native_test_ext", "native_test_ext"), ("kelvora.backends", "backends")]


def test_imported_once():
    assert importlib.import_module("native_test_ext") is ext
    assert importlib.import_module("kelvora.backends") is backends
    assert (ext.__name__, backends.__name__) == ("native_test_ext", "kelvora.backends")
    assert backends.__doc__.strip().startswith("Storage Backend Adapters")


@pytest.mark.parametrize(("name", "short_name"), MODULES)
def test_second_execution_refused(name, short_name):
    result = run_python(f"""
        import importlib.util
        import {name} as first
        spec = importlib.util.spec_from_file_location({name!r}, first.__file__)
        second = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(second)
        except ImportError as e:
            print(type(e).__name__, e)
        first.__spec__  # the first module is untouched
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        f"ImportError Module '{short_name}' has already been imported. "
        "Re-initialisation is not supported.\n"
    )


@pytest.mark.parametrize(("name", "short_name"), MODULES)
def test_second_interpreter_refused(name, short_name):
    result = run_python(f"""
        import _xxsubinterpreters as interpreters
        import sys
        import {name}
        try:
            interpreters.run_string(
                interpreters.create(), "import sys; sys.path[:0] = %r; import {name}" % sys.path
            )
        except interpreters.RunFailedError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    kind, _, text = result.stdout.partition(": ")
    assert "ImportError" in kind
    assert text == (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.\n"
    )


def test_first_import_in_subprocess_works():
    result = run_python("""
        import native_test_ext, kelvora.backends
        print(native_test_ext.echo("x"), native_test_ext.live_counts()[1])
    """)
    assert (result.returncode, result.stdout) == (0, "('x', 7, 'kw', {}) 0\n"), result.stderr
