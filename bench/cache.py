"""The cache manager against DuckDB itself, on one 100k-row table of 10 columns.

Side by side in one run, each figure the median of interleaved rounds:
- a point lookup by key and a 100-row page, through `DuckDbCacheManager.query` (a DataFrame, what
  `DuckDbBackend` asks for) and `.page` (the total and the rows as Python values, what the
  service's cached routes ask for), against DuckDB answering the same rows into a DataFrame on
  the same connection (`execute(sql, params).df()`) and with `fetchall()`;
- a refresh of 1M rows (`store`) against DuckDB's own load of the same DataFrame, and the worst
  latency a reader sees while it runs.

Run: python bench/cache.py
"""

import statistics
import threading
import time

import duckdb
import numpy as np
import pandas as pd

from kelvora.cache import DuckDbCacheManager

ROWS = 100_000
ROUNDS = 15
CALLS = 200


def frame(rows):
    keys = np.arange(rows, dtype="int64")
    columns = {"id": pd.array(keys, dtype="Int64")}
    for at in range(4):
        columns[f"n{at}"] = pd.array(keys * (at + 2), dtype="Int64")
        columns[f"s{at}"] = pd.array([f"value {k} {at}" for k in keys], dtype="string")
    columns["price"] = pd.array(keys / 7, dtype="Float64")
    return pd.DataFrame(columns)


def per_call(function):
    started = time.perf_counter()
    for _ in range(CALLS):
        function()
    return (time.perf_counter() - started) / CALLS


def main():
    cache = DuckDbCacheManager()
    data = frame(ROWS)
    cache.store(database="bench", table="items", df=data)
    duck = duckdb.connect()
    duck.register("source", data)
    duck.execute("CREATE TABLE items AS SELECT * FROM source")
    duck.unregister("source")
    key = ROWS // 2
    point = "SELECT * FROM items WHERE id = ?"
    # The stored order, as DuckDB keeps it through LIMIT and OFFSET.
    page = "SELECT * FROM items LIMIT 100 OFFSET 5000"
    cases = {
        "point: manager.query (DataFrame)": lambda: cache.query(
            database="bench", table="items", sql_where=f"id = {key}", limit=1
        ),
        "point: manager.page (values)": lambda: cache.page(
            database="bench", table="items", equal={"id": key}, limit=1
        ),
        "point: manager.rows (values)": lambda: cache.rows(
            database="bench", table="items", equal={"id": key}, limit=1
        ),
        "point: DuckDB .df()": lambda: duck.execute(point, [key]).df(),
        "point: DuckDB fetchall": lambda: duck.execute(point, [key]).fetchall(),
        "page: manager.page (values)": lambda: cache.page(
            database="bench", table="items", limit=100, offset=5000
        ),
        "page: DuckDB .df()": lambda: duck.execute(page).df(),
        "page: DuckDB fetchall": lambda: duck.execute(page).fetchall(),
        # DuckDbBackend asks for limit + offset rows and slices the page off them.
        "5100 rows: manager.query (DataFrame)": lambda: cache.query(
            database="bench", table="items", limit=5100
        ),
        "5100 rows: DuckDB .df()": lambda: duck.execute("SELECT * FROM items LIMIT 5100").df(),
    }
    rounds = {name: [] for name in cases}
    for _ in range(ROUNDS):
        for name, function in cases.items():
            rounds[name].append(per_call(function))
    medians = {name: statistics.median(times) for name, times in rounds.items()}
    print("| operation | ms | against DuckDB .df() |")
    print("|---|---|---|")
    for name, seconds in medians.items():
        yardstick = medians[name.split(":")[0] + ": DuckDB .df()"]
        print(f"| {name} | {seconds * 1e3:.3f} | {seconds / yardstick:.2f}× |")

    big = frame(1_000_000)
    worst = [0.0]
    running = threading.Event()

    def reader():
        while running.is_set():
            started = time.perf_counter()
            cache.page(database="bench", table="items", equal={"id": key}, limit=1)
            worst[0] = max(worst[0], time.perf_counter() - started)

    before = per_call(lambda: cache.page(database="bench", table="items", equal={"id": key}))
    running.set()
    thread = threading.Thread(target=reader)
    thread.start()
    started = time.perf_counter()
    cache.store(database="bench", table="items", df=big)
    refresh = time.perf_counter() - started
    running.clear()
    thread.join()
    started = time.perf_counter()
    duck.register("source", big)
    duck.execute("CREATE OR REPLACE TABLE items AS SELECT * FROM source")
    duck.unregister("source")
    own = time.perf_counter() - started
    print()
    print(f"refresh of 1M rows: {refresh:.2f} s; DuckDB's own load {own:.2f} s")
    print(f"reader during the refresh: worst {worst[0] * 1e3:.1f} ms (alone {before * 1e3:.2f} ms)")


if __name__ == "__main__":
    main()
