"""The CRUD router against the framework's floor and against the same handlers in plain Python.

One app, one in-process ASGI client (httpx over ASGITransport, one asyncio loop), one fake client
answering precomputed tuple rows (10 columns) at once, so the figures are the request path's own
cost: FastAPI, the worker-thread hops, composing SQL, turning rows into records, validating and
serialising the answer. Three routes are served side by side:

- kelvora: `create_crud_router` (its client dependency is awaited on the event loop);
- floor: bare `async def` endpoints making the same `execute` calls through `run_in_threadpool`,
  building records with dict(zip(...)) and returning them under the same `response_model`, with
  no other work: the least the framework lets the same answer cost;
- plain: the same handlers written in Python, as the behaviour describes them (their
  `client_dependency` a plain function, which FastAPI runs on a worker thread).

Rounds of the three are interleaved (their order rotating); each figure is the median of 21
rounds, which other work on the machine disturbs less than the best round.
Run: python bench/rowplane.py (on a busy machine pinned to one core: taskset -c 1 python ...)
"""

import asyncio
import statistics
import time
from typing import Any, Dict, List

import httpx
from fastapi import APIRouter, Depends, FastAPI, HTTPException, Query
from fastapi.concurrency import run_in_threadpool

from kelvora.rowplane import GenericListResponse, create_crud_router

COLUMNS = [(f"col{i}", "String") for i in range(10)]
ROWS = [tuple(f"v{r}_{c}" if c else r for c in range(10)) for r in range(1000)]
ROUNDS = 21


class FakeClient:
    def execute(self, query, params=None):
        if query.startswith("DESCRIBE"):
            return COLUMNS
        if query.startswith("SELECT count()"):
            return [(len(ROWS),)]
        if "limit" in params:
            return ROWS[params["offset"] : params["offset"] + params["limit"]]
        return ROWS[:1]


class Backend:
    def __init__(self, client):
        self.client = client


def floor_router(client: FakeClient) -> APIRouter:
    router = APIRouter(prefix="/floor")

    @router.get("/", response_model=GenericListResponse)
    async def list_floor(limit: int = Query(100, ge=1, le=1000), offset: int = Query(0, ge=0)):
        count = await run_in_threadpool(client.execute, "SELECT count() FROM t ", {})
        params = {"limit": limit, "offset": offset}
        rows = await run_in_threadpool(client.execute, "SELECT * FROM t", params)
        columns = [
            row[0] for row in await run_in_threadpool(client.execute, "DESCRIBE TABLE t", {})
        ]
        items = [dict(zip(columns, row, strict=False)) for row in rows]
        return {"total": count[0][0], "items": items, "limit": limit, "offset": offset}

    @router.get("/{id}", response_model=Dict)
    async def get_floor(id: str):
        rows = await run_in_threadpool(client.execute, "SELECT * FROM t LIMIT 1", {"id": id})
        columns = [
            row[0] for row in await run_in_threadpool(client.execute, "DESCRIBE TABLE t", {})
        ]
        return dict(zip(columns, rows[0], strict=False))

    return router


def plain_router(table_name: str, backend: Any, primary_key: str = "id") -> APIRouter:
    """List and get of the CRUD router, written in Python."""
    router = APIRouter(prefix="/plain")
    pk_fields = [primary_key]
    filterable_fields: List[str] = []
    order_by = None
    response_model = None

    def client_dependency():
        return backend.client if hasattr(backend, "client") else backend

    async def _execute_query(client, query: str, params: dict):
        return await run_in_threadpool(client.execute, query, params)

    def _validate_pk_values(pk_values: dict):
        for field in pk_fields:
            if field not in pk_values or pk_values[field] is None:
                raise HTTPException(status_code=400, detail=f"Missing primary key field: {field}")

    def _build_where_clause(filters: dict) -> tuple:
        conditions, params = [], {}
        for key, value in filters.items():
            if value is not None and key in filterable_fields:
                conditions.append(f"{key} = %({key})s")
                params[key] = value
        return ("WHERE " + " AND ".join(conditions) if conditions else ""), params

    async def to_records(client, rows):
        if hasattr(rows[0], "keys"):
            return [dict(row) for row in rows]
        describe = await _execute_query(client, f"DESCRIBE TABLE {table_name}", {})
        columns = [row[0] for row in describe]
        return [dict(zip(columns, row, strict=False)) for row in rows]

    @router.get("/", response_model=GenericListResponse)
    async def list_records(
        limit: int = Query(100, ge=1, le=1000),
        offset: int = Query(0, ge=0),
        client=Depends(client_dependency),
    ):
        try:
            where_clause, where_params = _build_where_clause({})
            count_result = await _execute_query(
                client, f"SELECT count() FROM {table_name} {where_clause}", where_params
            )
            total = count_result[0][0] if count_result else 0
            order_clause = f"ORDER BY {order_by}" if order_by else ""
            query = f"""
                SELECT * FROM {table_name}
                {where_clause}
                {order_clause}
                LIMIT %(limit)s OFFSET %(offset)s
            """
            where_params["limit"] = limit
            where_params["offset"] = offset
            rows = await _execute_query(client, query, where_params)
            items = await to_records(client, rows) if rows else []
            return GenericListResponse(total=total, items=items, limit=limit, offset=offset)
        except HTTPException:
            raise
        except Exception as e:
            raise HTTPException(status_code=500, detail=f"Failed to list records: {e}") from None

    @router.get("/{id}", response_model=Dict)
    async def get_record(id: str, client=Depends(client_dependency)):
        pk_values = {"id": id}
        try:
            _validate_pk_values(pk_values)
            condition = " AND ".join(f"{f} = %({f})s" for f in pk_fields)
            order_clause = f"ORDER BY {order_by}" if order_by else ""
            query = f"""
                SELECT * FROM {table_name}
                WHERE {condition}
                {order_clause}
                LIMIT 1
            """
            result = await _execute_query(client, query, pk_values)
            if not result:
                listing = ", ".join(f"{k}={v}" for k, v in pk_values.items())
                raise HTTPException(404, f"Record with {listing} not found in {table_name}")
            record = (await to_records(client, result[:1]))[0]
            return response_model(**record) if response_model else record
        except HTTPException:
            raise
        except Exception as e:
            raise HTTPException(status_code=500, detail=f"Failed to get record: {e}") from None

    return router


def build_app() -> FastAPI:
    client = FakeClient()
    app = FastAPI()
    app.include_router(create_crud_router("t", Backend(client), router_prefix="/kelvora"))
    app.include_router(floor_router(client))
    app.include_router(plain_router("t", Backend(client)))
    return app


SCENARIOS = [
    ("GET / (100 rows)", "/?limit=100", 100),
    ("GET / (1000 rows)", "/?limit=1000", 20),
    ("GET /{id}", "/7", 300),
]
VARIANTS = ["kelvora", "floor", "plain"]


async def main():
    transport = httpx.ASGITransport(app=build_app())
    async with httpx.AsyncClient(transport=transport, base_url="http://bench") as http:
        for _, path, _ in SCENARIOS:
            answers = [(await http.get(f"/{v}{path}")).json() for v in VARIANTS]
            assert answers[0] == answers[1] == answers[2], path

        print(
            f"{'route':20} {'kelvora':>10} {'floor':>10} {'plain':>10} {'/floor':>8} {'/plain':>8}"
        )
        for name, path, count in SCENARIOS:
            rates = {variant: [] for variant in VARIANTS}
            for round_ in range(ROUNDS):
                for variant in VARIANTS[round_ % 3 :] + VARIANTS[: round_ % 3]:
                    url = f"/{variant}{path}"
                    start = time.perf_counter()
                    for _ in range(count):
                        await http.get(url)
                    rates[variant].append(count / (time.perf_counter() - start))
            rate = {v: statistics.median(rates[v]) for v in VARIANTS}
            print(
                f"{name:20} {rate['kelvora']:8.0f}/s {rate['floor']:8.0f}/s {rate['plain']:8.0f}/s"
                f" {rate['kelvora'] / rate['floor']:7.2f}x {rate['kelvora'] / rate['plain']:7.2f}x"
            )


if __name__ == "__main__":
    asyncio.run(main())
