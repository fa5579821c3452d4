"""The binder per kind of value: kelvora's native binder against clickhouse-driver's substitution.

Each statement has ten placeholders of one kind (ints, wide ints, floats, texts, naive and aware
datetimes, Decimals, UUIDs, lists), and one mixes kinds as bench/clickhouse.py's does. Both
binders run side by side in one run, in alternating rounds; each figure is the best round.
clickhouse-driver writes wide ints and long Decimals bare and aware datetimes in the server's
zone, which kelvora does not (they would not keep their value), so those rows compare different
literals of the same values.

Run: python bench/binder.py [rounds]
"""

import datetime
import sys
import timeit
import uuid
from decimal import Decimal
from types import SimpleNamespace
from zoneinfo import ZoneInfo

from clickhouse_driver import Client as DriverClient

from kelvora import _clickhouse

BERLIN = ZoneInfo("Europe/Berlin")
KINDS = {
    "int": [12345 * i for i in range(10)],
    "wide int": [2**64 + i for i in range(10)],
    "float": [i / 7 for i in range(10)],
    "str": [f"O'Brien \\ co {i}" for i in range(10)],
    "naive datetime": [datetime.datetime(2024, 1, 2, 3, 4, i) for i in range(10)],
    "naive datetime, microseconds": [
        datetime.datetime(2024, 1, 2, 3, 4, 5, 1000 * i + 1) for i in range(10)
    ],
    "aware datetime": [datetime.datetime(2024, 1, 2, 3, 4, i, tzinfo=BERLIN) for i in range(10)],
    "decimal": [Decimal(f"{i}.25") for i in range(10)],
    "decimal, 20 digits": [Decimal(f"12345678901234567.{i}01") for i in range(10)],
    "UUID": [uuid.UUID(int=i) for i in range(10)],
    "list of 3 ints": [[i, i + 1, i + 2] for i in range(10)],
}
MIXED = {
    "id": 12345,
    "name": "O'Brien \\ co",
    "ratio": 0.25,
    "missing": None,
    "created": datetime.datetime(2024, 1, 2, 3, 4, 5),
    "day": datetime.date(2024, 1, 2),
    "tags": ["a", "b", "c"],
    "key": uuid.UUID(int=7),
    "flag": True,
    "note": "line\nbreak",
}


def statement(params):
    return "INSERT INTO t VALUES (" + ", ".join(f"%({name})s" for name in params) + ")"


def compare(label, params, rounds, driver, context):
    query = statement(params)
    ours = theirs = float("inf")
    for _ in range(rounds):
        ours = min(ours, timeit.timeit(lambda: _clickhouse.bind(query, params), number=4000) / 4000)
        theirs = min(
            theirs,
            timeit.timeit(lambda: driver.substitute_params(query, params, context), number=400)
            / 400,
        )
    print(
        f"| {label} | {ours * 1e6:.2f} µs | {theirs * 1e6:.2f} µs | {theirs / ours:.1f}× |",
        flush=True,
    )


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    driver = DriverClient("localhost")
    context = SimpleNamespace(server_info=SimpleNamespace(get_timezone=lambda: "UTC"))
    print("| 10 parameters of | kelvora | clickhouse-driver | ratio |")
    print("|---|---|---|---|")
    for label, values in KINDS.items():
        compare(label, {f"p{i}": v for i, v in enumerate(values)}, rounds, driver, context)
    compare("mixed (bench/clickhouse.py)", MIXED, rounds, driver, context)


if __name__ == "__main__":
    main()
