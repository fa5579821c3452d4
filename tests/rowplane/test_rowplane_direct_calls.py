"""Handlers called directly, as a host's own code or tests may call them."""

import asyncio
import gc
import subprocess
import sys

import pytest
from fastapi import HTTPException

from kelvora.rowplane import create_crud_router


class CollectingKey(str):
    """A key whose destruction runs the garbage collector, which then sees every live object."""

    def __del__(self):
        gc.collect()


@pytest.mark.parametrize("async_mode", [False, True])
def test_key_freed_with_the_frame_while_the_collector_runs(make_client, handlers, async_mode):
    client = make_client(failures={"select": RuntimeError("engine down")}, record=False)
    router = create_crud_router("items", client, async_mode=async_mode)
    get_record = handlers(router)["get_record"]

    async def calls():
        for _ in range(300):
            with pytest.raises(HTTPException) as refused:
                await get_record(client=client, id=CollectingKey("42"))
            assert (refused.value.status_code, refused.value.detail) == (
                500,
                "Failed to get record: engine down",
            )

    asyncio.run(calls())


REENTERING = """
import asyncio, gc, warnings
from kelvora.rowplane import create_crud_router

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
            print(type(e).__name__, e)

get_record = {r.name: r.endpoint for r in create_crud_router("items", Client()).routes}[
    "get_record"
]
"""


@pytest.mark.parametrize(
    ("ending", "printed"),
    [
        ("coroutine.close()", "RuntimeError cannot reuse already awaited coroutine\n"),
        (
            "try:\n    coroutine.throw(ValueError)\nexcept ValueError:\n    print('thrown')",
            "RuntimeError cannot reuse already awaited coroutine\nthrown\n",
        ),
        (
            "try:\n    asyncio.run(coroutine)\nexcept Exception as e:\n    print('ended', e)",
            "ended 404: Record with id=1 not found in items\n"
            "RuntimeError cannot reuse already awaited coroutine\n",
        ),
        # Nothing can name the coroutine once it is being deallocated; the collection must not
        # reach its frame.
        ("del coroutine", "NameError name 'coroutine' is not defined\n"),
    ],
    ids=["close", "throw-before-start", "finish", "never-awaited"],
)
def test_frame_is_let_go_before_it_is_destroyed(ending, printed):
    # The parameter's finaliser runs while the coroutine's frame is being destroyed: the
    # coroutine has let go of its frame by then, and refuses to run again.
    code = REENTERING + "coroutine = get_record(client=Reentering(), id='1')\n" + ending
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=False
    )
    assert (done.returncode, done.stdout) == (0, printed), done.stderr
