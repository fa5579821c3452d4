"""Handlers called directly, as a host's own code or tests may call them."""

import asyncio
import gc

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
