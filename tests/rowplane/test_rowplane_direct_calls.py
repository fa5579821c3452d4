"""Handlers called directly, as a host's own code or tests may call them."""

import subprocess
import sys

import pytest

REENTERING = """
import asyncio, gc, warnings
from kelvora.rowplane import create_crud_router

# Lines are kept whole and printed at the end: a collection may run the finaliser in the middle of
# a print, between its text and its newline.
said = []
def say(*words):
    said.append(" ".join(map(str, words)))

warnings.simplefilter("ignore", RuntimeWarning)  # the coroutine that is never awaited

class Client:
    def execute(self, query, params):
        return []

class Reentering(Client):
    # Dropped with the coroutine's frame: collects, then drives the coroutine again.
    def __del__(self):
        gc.collect()
        try:
            coroutine.send(None)
        except BaseException as e:
            say(type(e).__name__, e)

get_record = {r.name: r.endpoint for r in create_crud_router("items", Client()).routes}[
    "get_record"
]
"""


# What the finaliser may print when it drives the coroutine again: it is finished, or (when the
# frame goes while the coroutine is still being driven) running.
REFUSALS = {
    "RuntimeError cannot reuse already awaited coroutine",
    "ValueError coroutine already executing",
}


@pytest.mark.parametrize(
    ("ending", "printed"),
    [
        ("coroutine.close()", []),
        (
            "try:\n    coroutine.throw(ValueError)\nexcept ValueError:\n    say('thrown')",
            ["thrown"],
        ),
        (
            "try:\n    asyncio.run(coroutine)\nexcept Exception as e:\n    say('ended', e)",
            ["ended 404: Record with id=1 not found in items"],
        ),
        # Nothing can name the coroutine once it is being deallocated; the collection must not
        # reach its frame.
        ("del coroutine", ["NameError name 'coroutine' is not defined"]),
    ],
    ids=["close", "throw-before-start", "finish", "never-awaited"],
)
def test_frame_is_let_go_before_it_is_destroyed(ending, printed):
    # The parameter's finaliser runs while the coroutine's frame is being destroyed: the
    # coroutine has let go of its frame by then, and refuses to run again.
    code = (
        REENTERING
        + "coroutine = get_record(client=Reentering(), id='1')\n"
        + ending
        + "\nfor line in said:\n    print(line)"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=False
    )
    assert done.returncode == 0, done.stderr
    assert [line for line in done.stdout.splitlines() if line not in REFUSALS] == printed
