"""Code run in a fresh interpreter, for what only a new process can show: a crash reported as a
failed test, a first import, a module's execution."""

import os
import subprocess
import sys
import textwrap

import kelvora

# Where the test-only extension module is: beside its tests, or where the sanitizer build puts it.
TEST_MODULE_DIR = os.environ.get(
    "KELVORA_TEST_MODULE_DIR", os.path.join(os.path.dirname(__file__), "native")
)


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `code` (dedented) in a new interpreter that finds the package and the test module."""
    path = [
        TEST_MODULE_DIR,
        os.path.dirname(os.path.dirname(kelvora.__file__)),
        os.environ.get("PYTHONPATH", ""),
    ]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
