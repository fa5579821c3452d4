"""Cached views: read-only copies of tables in DuckDB, served with the CRUD routes' paging bounds,
answer shape and key typing."""

from __future__ import annotations

import inspect
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from pydantic import BaseModel

from .cache_loads import as_json_text, cache_form, load_copy
from .column_types import column_annotation
from .settings import TableSettings
from .tables import Column

if TYPE_CHECKING:
    from fastapi import APIRouter

    from kelvora.cache import DuckDbCacheManager
    from kelvora.clickhouse import Client


_LARGEST_OFFSET = 2**63 - 1


class NotInCache(BaseModel):
    """The answer for a key that no row of the cached copy holds."""

    detail: str


def list_answer(total: int, items: List[Dict[str, Any]], limit: int, offset: int) -> bytes:
    """The bytes FastAPI writes for a page answered through `GenericListResponse`: the model
    takes items as they are (dicts of JSON values) and pydantic writes the whole in one pass,
    so writing the dict directly gives the same bytes without validating a copy first."""
    from pydantic_core import to_json

    page = {"total": total, "items": items, "limit": limit, "offset": offset}
    # The model writes infinities and NaN as null, as JSON has neither.
    return to_json(page, inf_nan_mode="null")


def _signature(
    function: Any, parameters: List[inspect.Parameter], returns: Any = inspect.Signature.empty
) -> Any:
    """`function` with the parameters FastAPI is to see."""
    function.__signature__ = inspect.Signature(parameters, return_annotation=returns)
    return function


def cache_router(
    table: TableSettings, columns: List[Column], client: Client, cache: DuckDbCacheManager
) -> APIRouter:
    """Read-only routes over the cached copy of one table: the CRUD routes' paging bounds,
    answer shape, key and filter types, with every column type answered as JSON."""
    from fastapi import APIRouter, HTTPException, Query
    from fastapi.concurrency import run_in_threadpool
    from fastapi.responses import JSONResponse, Response

    from kelvora.backends import DuckDbBackend
    from kelvora.rowplane import GenericListResponse

    database = "clickhouse"
    backend = DuckDbBackend(cache, database, table.key)
    router = APIRouter(prefix="/cache/" + table.name, tags=["cache: " + table.name])
    # What SELECT * answers: the columns the engine computes on reading are not in it.
    stored = [
        column for column in columns if column.insertable and column.default_kind != "EPHEMERAL"
    ]
    forms = {column.name: cache_form(column.type) for column in stored}
    as_json = [name for name, form in forms.items() if form == "json"]

    def load() -> int:
        return load_copy(client, cache, database, table.name, table.key, stored)

    def decoded(records: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
        import json

        for record in records:
            for name in as_json:
                if record[name] is not None:
                    record[name] = json.loads(record[name])
        return records

    def condition(column: str, value: Any) -> Any:
        return as_json_text(value) if forms[column] == "json" else value

    def page(filters: Dict[str, Any], limit: int, offset: int) -> Tuple[int, List[Dict[str, Any]]]:
        equal = {column: condition(column, v) for column, v in filters.items() if v is not None}
        # DuckDB's OFFSET is a BIGINT; no copy holds that many rows, so past it a page is empty.
        skipped = min(offset, _LARGEST_OFFSET)
        total, records = cache.page(
            database=database, table=table.name, equal=equal, limit=limit, offset=skipped
        )
        return total, decoded(records)

    annotations = {column.name: column_annotation(column.type) for column in stored}
    filterable = list(dict.fromkeys(table.filterable or []))
    named = inspect.Parameter.KEYWORD_ONLY

    def page_answer(chosen: Dict[str, Any], limit: int, offset: int) -> bytes:
        return list_answer(*page(chosen, limit, offset), limit, offset)

    # Coroutines answering bytes: FastAPI would otherwise run a plain function in a worker
    # thread, then validate its answer against the model in another, then write it.
    async def list_cached(limit: int, offset: int, **filters: Any) -> Response:
        """Rows of the cached copy in stored order, with equality filters, and their total."""
        chosen = {column: filters[f"filter_{at}"] for at, column in enumerate(filterable)}
        body = await run_in_threadpool(page_answer, chosen, limit, offset)
        return Response(body, media_type="application/json")

    list_parameters = [
        inspect.Parameter("limit", named, default=Query(100, ge=1, le=1000), annotation=int),
        inspect.Parameter("offset", named, default=Query(0, ge=0), annotation=int),
    ] + [
        inspect.Parameter(
            f"filter_{at}",
            named,
            default=Query(None, alias=column),
            annotation=Optional[annotations.get(column, str)],
        )
        for at, column in enumerate(filterable)
    ]
    router.get("/", response_model=GenericListResponse)(_signature(list_cached, list_parameters))

    @router.get("/info", response_model=None)
    def cached_info() -> Dict[str, Any]:
        """Metadata of the cached copy: columns, row count, last refresh."""
        return backend.get_info(table.name)

    @router.post("/refresh", response_model=None)
    def refresh_cache() -> Dict[str, Any]:
        """Reload the cached copy from ClickHouse."""
        return {"status": "success", "rows": load()}

    def record(key: Dict[str, Any]) -> List[Dict[str, Any]]:
        equal = {column: condition(column, v) for column, v in key.items()}
        return decoded(cache.rows(database=database, table=table.name, equal=equal, limit=1))

    async def get_cached(**key: Any) -> Response:
        """One row of the cached copy by its key."""
        records = await run_in_threadpool(record, key)
        if not records:
            value = key[table.key]
            raise HTTPException(
                status_code=404, detail=f"Record with {table.key}={value} not found in cache"
            )
        # A record holds JSON values only, which FastAPI's encoder would hand on unchanged.
        return JSONResponse(records[0])

    # Named as the column (a path parameter name, as the CRUD router requires), without a
    # default: FastAPI would take a default's field for the annotation's constraints.
    key_parameter = inspect.Parameter(table.key, named, annotation=annotations[table.key])
    router.get(
        "/{" + table.key + "}",
        response_model=None,
        responses={404: {"model": NotInCache, "description": "No row has this key"}},
    )(_signature(get_cached, [key_parameter]))

    load()
    return router
