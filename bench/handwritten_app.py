"""The least a hand-written FastAPI app does to give the service's answers for the same routes:
the yardstick of bench/against_handwritten.py.

One uvicorn process, the same client (`kelvora.clickhouse.connect`), each route's statements on
the thread pool, the column names known in advance (no DESCRIBE), the answers FastAPI's own way:

- GET /products/?limit=&offset=: the count and the page, the page's rows paired with the
  columns, answered through a Pydantic model of the list's four keys;
- GET /products/{id}: the row by key, paired with the columns, answered as a dict;
- GET /config/: the configuration the store holds (a store call, so on the thread pool too),
  answered as a dict.

Run: python bench/handwritten_app.py <dsn> <port>; `python bench/handwritten_app.py seed <dsn>`
fills the products table with the rows both apps serve.
"""

import datetime
import sys
from typing import Any, Dict, List

import uvicorn
from fastapi import FastAPI, HTTPException
from fastapi.concurrency import run_in_threadpool
from pydantic import BaseModel

from kelvora.backend import ConfigStore
from kelvora.clickhouse import connect
from kelvora.service import _DEMO_SCHEMA, DEFAULT_CONFIG

COLUMNS = ("id", "name", "category", "price", "created_at")


class Page(BaseModel):
    total: int
    items: List[Dict[str, Any]]
    limit: int
    offset: int


def seed(dsn: str, rows: int = 1000) -> None:
    """The products table with `rows` rows made the same way each time."""
    client = connect(dsn)
    client.execute(_DEMO_SCHEMA)
    client.execute("TRUNCATE TABLE products")
    created = datetime.datetime(2024, 1, 1)
    values = ", ".join(
        f"({key}, 'item {key}', 'bench', {key * 0.5}, '{created:%Y-%m-%d %H:%M:%S}')"
        for key in range(1, rows + 1)
    )
    client.execute("INSERT INTO products (id, name, category, price, created_at) VALUES " + values)
    client.close()


def create_app(dsn: str) -> FastAPI:
    client = connect(dsn)
    store = ConfigStore(DEFAULT_CONFIG, client=client)
    store.get_config()
    app = FastAPI()

    @app.get("/products/", response_model=Page)
    async def list_products(limit: int = 100, offset: int = 0) -> Page:
        [(total,)] = await run_in_threadpool(client.execute, "SELECT count() FROM products")
        rows = await run_in_threadpool(
            client.execute,
            "SELECT * FROM products ORDER BY id LIMIT %(limit)s OFFSET %(offset)s",
            {"limit": limit, "offset": offset},
        )
        items = [dict(zip(COLUMNS, row, strict=True)) for row in rows]
        return Page(total=total, items=items, limit=limit, offset=offset)

    @app.get("/products/{id}")
    async def get_product(id: int) -> Dict[str, Any]:
        rows = await run_in_threadpool(
            client.execute,
            "SELECT * FROM products WHERE id = %(id)s ORDER BY id LIMIT 1",
            {"id": id},
        )
        if not rows:
            raise HTTPException(404, f"Record with id={id} not found in products")
        return dict(zip(COLUMNS, rows[0], strict=True))

    @app.get("/config/")
    async def get_config() -> Dict[str, Any]:
        config: Dict[str, Any] = await run_in_threadpool(store.get_config)
        return config

    return app


if __name__ == "__main__":
    if sys.argv[1] == "seed":
        seed(sys.argv[2])
        sys.exit()
    dsn, port = sys.argv[1], int(sys.argv[2])
    uvicorn.run(create_app(dsn), host="127.0.0.1", port=port, log_level="warning")
