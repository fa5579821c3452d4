"""The table-query router against the engine and client doing the same work without it.

A uvicorn server in a child process serves the router over an embedded engine holding the
tables (in memory); this process talks HTTP to it and reads the answers as they come. Figures:

- export: rows/s of GET /export/ (NDJSON, read chunk by chunk by http.client and dropped; by
  httpx as well, for reference) against the engine's
  own `SELECT ... FORMAT JSONEachRow` streamed into /dev/null by chDB in this process (the best
  of rounds taken in turns, so that both meet the same load of a shared machine);
- bulk: rows/s of POST /bulk/ (a JSON array, every row checked) against the client inserting the
  same rows in one statement (`INSERT ... VALUES` with every value a bound parameter), on the
  server's own engine through a route of the bench app;
- keyset: the latency of the page after row 1,000,000 of an orders table (13 columns of the
  usual kinds) by cursor against the same page by `order=id&offset=1000000`, and against the
  best OFFSET statement (the keys of the page found by OFFSET, then their rows) through the
  client on a route of the bench app (medians). Each page is asked for in blocks of a few
  requests in a row, as a client paging asks, the blocks of the three taken in turns: a lone
  cursor page right after the OFFSET page's scan of 140 MB meets caches that scan filled. The
  pages are read by http.client, as the export is, and by httpx (whose own work adds about
  0.45 ms to each request here); beside them, how long the engine took over each page's
  statement in the server, timed by the client the router runs it through;
- RSS: the server process's resident memory sampled while a 10M-row export streams.

Run: python bench/rowquery.py (needs uvicorn and httpx)
"""

import base64
import json
import multiprocessing
import os
import socket
import statistics
import sys
import time
from http.client import HTTPConnection

import httpx

EXPORT_ROWS = 2_000_000
BULK_ROWS = 100_000
DEEP_ROWS = 2_000_000
RSS_ROWS = 10_000_000
ROUNDS = 8
BLOCK = 5
EXPORT_ROUNDS = 7

TABLE = "CREATE TABLE {t} (id UInt64, name String, price Float64) ENGINE = MergeTree ORDER BY id"
# The table of the deep page: what an orders table holds.
ORDERS = (
    "CREATE TABLE b.deep (id UInt64, created_at DateTime, customer_id UInt32, "
    "status LowCardinality(String), country LowCardinality(String), "
    "currency LowCardinality(String), amount Decimal(12, 2), quantity UInt16, discount Float32, "
    "email String, note String, tags Array(String), updated_at DateTime64(3)) "
    "ENGINE = MergeTree ORDER BY id"
)
ORDERS_FILL = (
    "INSERT INTO b.deep SELECT number, toDateTime('2026-01-01 00:00:00') + number * 7, "
    "number % 50021, ['new', 'paid', 'shipped', 'done', 'cancelled'][number % 5 + 1], "
    "['DE', 'FR', 'US', 'JP', 'BR', 'IN'][number % 6 + 1], ['EUR', 'USD', 'JPY'][number % 3 + 1], "
    "toDecimal64(number % 100000, 2) / 7, number % 17 + 1, (number % 30) / 100, "
    "concat('customer', toString(number % 50021), '@example.com'), "
    "concat('order ', toString(number), ', left at the door'), "
    "arrayMap(x -> concat('tag', toString(x)), range(number % 4)), "
    "toDateTime64('2026-01-01 00:00:00', 3) + number * 7 FROM numbers({n})"
)
FILL = (
    "INSERT INTO {t} SELECT number, concat('name-', toString(number)), number / 8 FROM numbers({n})"
)


def bulk_rows():
    return [{"id": i, "name": f"name-{i}", "price": i / 8} for i in range(BULK_ROWS)]


class TimedClient:
    """The engine's client, keeping how long each of its statements took."""

    def __init__(self, engine):
        self.engine, self.seconds = engine, []

    def execute(self, query, params=None):
        start = time.perf_counter()
        try:
            return self.engine.execute(query, params)
        finally:
            self.seconds.append(time.perf_counter() - start)


def serve(port: int) -> None:
    import uvicorn
    from fastapi import FastAPI

    from kelvora.clickhouse import connect
    from kelvora.rowquery import create_query_router

    client = connect("chdb:")
    client.execute("CREATE DATABASE b")
    for name, rows in (("export", EXPORT_ROWS), ("big", RSS_ROWS)):
        client.execute(TABLE.format(t=f"b.{name}"))
        client.execute(FILL.format(t=f"b.{name}", n=rows))
    client.execute(ORDERS)
    client.execute(ORDERS_FILL.format(n=DEEP_ROWS))
    columns = [row[0] for row in client.execute("DESCRIBE TABLE b.deep")]
    for name in ("bulk", "direct"):
        client.execute(TABLE.format(t=f"b.{name}"))
    app = FastAPI()
    timed = TimedClient(client)
    for name in ("export", "deep", "big", "bulk"):
        engine = timed if name == "deep" else client
        app.include_router(create_query_router(f"b.{name}", engine, router_prefix=f"/{name}"))

    @app.get("/timed/")
    def statement_seconds() -> list[float]:
        # The statements since the last call.
        taken, timed.seconds = timed.seconds, []
        return taken

    @app.post("/direct/")
    def direct(rows: list[dict]) -> dict:
        # The same rows through the client in one statement, every value a parameter.
        values, params = [], {}
        for n, row in enumerate(rows):
            values.append(f"(%(i{n})s, %(n{n})s, %(p{n})s)")
            params.update({f"i{n}": row["id"], f"n{n}": row["name"], f"p{n}": row["price"]})
        client.execute("INSERT INTO b.direct (id, name, price) VALUES " + ", ".join(values), params)
        return {"inserted": len(rows)}

    @app.get("/deferred/")
    def deferred(offset: int, limit: int) -> dict:
        # OFFSET at its best: it walks the key column alone, then reads the page's rows.
        rows = client.execute(
            "SELECT * FROM b.deep WHERE id IN (SELECT id FROM b.deep ORDER BY id "
            "LIMIT %(limit)s OFFSET %(offset)s) ORDER BY id",
            {"limit": limit, "offset": offset},
        )
        return {"items": [dict(zip(columns, row, strict=True)) for row in rows]}

    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def engine_export(stream_rounds: int):
    """The engine's own export in this process, a round at a time: one round of it runs
    between two of the router's, so both see the machine alike."""
    from chdb import session

    s = session.Session()
    statement = "SELECT id, name, price FROM b.export ORDER BY id"
    s.query("CREATE DATABASE b")
    s.query(TABLE.format(t="b.export"))
    s.query(FILL.format(t="b.export", n=EXPORT_ROWS))
    try:
        for _ in range(stream_rounds):
            start = time.perf_counter()
            with open(os.devnull, "wb") as sink:
                for chunk in s.send_query(statement, "JSONEachRow"):
                    sink.write(chunk.bytes())
            yield time.perf_counter() - start
    finally:
        s.close()


def router_export_seconds(port: int, url: str) -> float:
    """One export read as it comes by the standard library's HTTP client, which asks the socket
    for whole chunks: the client shares the machine's two cores with the server, and httpx's
    64 KB reads cost it twice the CPU."""
    start = time.perf_counter()
    connection = HTTPConnection("127.0.0.1", port)
    try:
        connection.request("GET", url)
        answer = connection.getresponse()
        while answer.read(1 << 20):
            pass
    finally:
        connection.close()
    return time.perf_counter() - start


def page_seconds(connection: HTTPConnection, url: str) -> float:
    start = time.perf_counter()
    connection.request("GET", url)
    answer = connection.getresponse()
    answer.read()
    assert answer.status == 200, answer.status
    return time.perf_counter() - start


def httpx_export_seconds(client: httpx.Client, url: str) -> float:
    start = time.perf_counter()
    with client.stream("GET", url) as r:
        for _chunk in r.iter_raw():
            pass
    return time.perf_counter() - start


def main() -> None:
    port = free_port()
    server = multiprocessing.get_context("spawn").Process(target=serve, args=(port,))
    server.start()
    base = f"http://127.0.0.1:{port}"
    http = httpx.Client(base_url=base, timeout=600)
    deadline = time.monotonic() + 300
    while True:
        try:
            http.get("/export/query/?limit=1")
            break
        except httpx.TransportError:
            if time.monotonic() > deadline or not server.is_alive():
                sys.exit("the bench server did not start")
            time.sleep(0.5)
    try:
        engine_rounds, router_rounds, httpx_rounds = [], [], []
        for seconds in engine_export(EXPORT_ROUNDS):
            engine_rounds.append(seconds)
            router_rounds.append(router_export_seconds(port, "/export/export/"))
            httpx_rounds.append(httpx_export_seconds(http, "/export/export/"))
        engine, router, read_by_httpx = (
            min(rounds) for rounds in (engine_rounds, router_rounds, httpx_rounds)
        )
        print(
            f"export {EXPORT_ROWS} rows: router {EXPORT_ROWS / router:,.0f} rows/s, engine "
            f"JSONEachRow into /dev/null {EXPORT_ROWS / engine:,.0f} rows/s, "
            f"ratio {engine / router:.2f} (read by httpx: {EXPORT_ROWS / read_by_httpx:,.0f} "
            f"rows/s, {engine / read_by_httpx:.2f})"
        )

        rows = bulk_rows()
        body = json.dumps(rows).encode()
        bulk, direct = [], []
        for _ in range(3):
            http.delete("/bulk/rows/?id=gte.0")
            start = time.perf_counter()
            r = http.post("/bulk/bulk/", content=body, headers={"content-type": "application/json"})
            bulk.append(time.perf_counter() - start)
            assert r.status_code == 200, r.text
            start = time.perf_counter()
            r = http.post("/direct/", content=body, headers={"content-type": "application/json"})
            direct.append(time.perf_counter() - start)
            assert r.status_code == 200, r.text
        b, d = statistics.median(bulk), statistics.median(direct)
        print(
            f"bulk {BULK_ROWS} rows: router {BULK_ROWS / b:,.0f} rows/s, client one INSERT "
            f"{BULK_ROWS / d:,.0f} rows/s, ratio {d / b:.2f}"
        )

        cursor = base64.urlsafe_b64encode(b'["999999"]').decode().rstrip("=")
        keyset_url = f"/deep/query/?limit=100&cursor={cursor}"
        offset_url = "/deep/query/?limit=100&order=id&offset=1000000"
        deferred_url = "/deferred/?limit=100&offset=1000000"
        page = http.get(keyset_url).json()["items"]
        assert page == http.get(offset_url).json()["items"]
        assert [row["id"] for row in http.get(deferred_url).json()["items"]] == [
            row["id"] for row in page
        ]
        connection = HTTPConnection("127.0.0.1", port)
        pages = {"cursor": keyset_url, "offset": offset_url, "best": deferred_url}
        answered: dict[str, list[float]] = {name: [] for name in pages}
        by_httpx: dict[str, list[float]] = {name: [] for name in pages}
        engine: dict[str, list[float]] = {"cursor": [], "offset": []}
        http.get("/timed/")
        for _ in range(ROUNDS):
            for name, url in pages.items():
                for _ in range(BLOCK):
                    answered[name].append(page_seconds(connection, url))
                for _ in range(BLOCK):
                    start = time.perf_counter()
                    http.get(url)
                    by_httpx[name].append(time.perf_counter() - start)
                if name in engine:
                    engine[name] += http.get("/timed/").json()
        connection.close()
        k, o, b = (statistics.median(answered[name]) * 1000 for name in pages)
        hk, ho = (statistics.median(by_httpx[name]) * 1000 for name in ("cursor", "offset"))
        ek, eo = (statistics.median(engine[name]) * 1000 for name in ("cursor", "offset"))
        print(
            f"page after row 1M of {DEEP_ROWS} (13 columns): cursor {k:.1f} ms, offset "
            f"{o:.1f} ms ({o / k:.1f}x), the best OFFSET statement {b:.1f} ms ({b / k:.1f}x); "
            f"read by httpx: cursor {hk:.1f} ms, offset {ho:.1f} ms ({ho / hk:.1f}x); "
            f"the statements in the engine: cursor {ek:.1f} ms, offset {eo:.1f} ms "
            f"({eo / ek:.1f}x)"
        )

        samples, read, start = [rss_mb(server.pid)], 0, time.perf_counter()
        with http.stream("GET", "/big/export/") as r:
            for n, chunk in enumerate(r.iter_raw()):
                read += len(chunk)
                if n % 200 == 0:
                    samples.append(rss_mb(server.pid))
        samples.append(rss_mb(server.pid))
        print(
            f"RSS of the server during a {RSS_ROWS:,}-row export ({read / 1e6:,.0f} MB in "
            f"{time.perf_counter() - start:.1f} s): before {samples[0]:.0f} MB, during "
            f"{min(samples[1:-1]):.0f}-{max(samples[1:-1]):.0f} MB, after {samples[-1]:.0f} MB"
        )
    finally:
        http.close()
        server.terminate()
        server.join()


if __name__ == "__main__":
    main()
