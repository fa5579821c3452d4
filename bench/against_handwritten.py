"""The service against the least a hand-written FastAPI app does for the same answers
(bench/handwritten_app.py), over real HTTP, loaded by wrk from another process.

Both apps run as their own uvicorn process on the same kind of engine and the same 1000 rows: on
the embedded engine each on a data directory of its own (one engine per process), on a server
(--server) both on one database of a clickhouse-server started on loopback for the run. Before
the load, every route's answer is checked to be the same bytes from both. Then each route is
loaded at 8 connections in rounds that take the two apps in turns, and each side's median round
counts.

Run: python bench/against_handwritten.py [--seconds 4] [--rounds 3] [--server]
"""

import argparse
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import httpx
from service import free_port, load

HERE = os.path.dirname(os.path.abspath(__file__))
ROUTES = [
    ("GET /products/?limit=100", "/products/?limit=100"),
    ("GET /products/?limit=1000", "/products/?limit=1000"),
    ("GET /products/1", "/products/1"),
    ("GET /config/", "/config/"),
]
CONNECTIONS = 8


@contextlib.contextmanager
def running(command, probe):
    process = subprocess.Popen(command, start_new_session=True)
    try:
        for _ in range(600):
            try:
                if httpx.get(probe).status_code == 200:
                    break
            except httpx.TransportError:
                time.sleep(0.2)
        yield process
    finally:
        os.killpg(process.pid, signal.SIGINT)
        process.wait(timeout=60)


def seed(dsn):
    subprocess.run(
        [sys.executable, os.path.join(HERE, "handwritten_app.py"), "seed", dsn], check=True
    )


@contextlib.contextmanager
def both_apps(service_dsn, handwritten_dsn, data_dir):
    service_port, handwritten_port = free_port(), free_port()
    service = [sys.executable, "-m", "kelvora", "serve", "--port", str(service_port)]
    service += ["--data-dir", data_dir, "--log-level", "warning"]
    if service_dsn.startswith("http"):
        service += ["--dsn", service_dsn, "--table", "products"]
    handwritten = [sys.executable, os.path.join(HERE, "handwritten_app.py")]
    handwritten += [handwritten_dsn, str(handwritten_port)]
    bases = (f"http://127.0.0.1:{service_port}", f"http://127.0.0.1:{handwritten_port}")
    with running(service, bases[0] + "/healthz"), running(handwritten, bases[1] + "/config/"):
        yield bases


def compare(bases, seconds, rounds):
    for _, path in ROUTES:
        answers = [httpx.get(base + path) for base in bases]
        assert answers[0].content == answers[1].content, (path, [a.text for a in answers])
    print("| route | kelvora req/s | hand-written req/s | ratio | failed |")
    print("|---|---|---|---|---|")
    for name, path in ROUTES:
        rates, failed = ([], []), 0
        for _ in range(rounds):
            for side, base in enumerate(bases):
                rate, _, _, failures = load(base + path, CONNECTIONS, seconds)
                rates[side].append(rate)
                failed += failures
        ours, theirs = (sorted(side)[len(side) // 2] for side in rates)
        print(f"| {name} | {ours:.0f} | {theirs:.0f} | {ours / theirs:.2f} | {failed} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=4, help="per round (default 4)")
    parser.add_argument("--rounds", type=int, default=3, help="per route and app (default 3)")
    parser.add_argument("--server", action="store_true", help="on a clickhouse-server")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wrk is missing: apt-get install wrk")
    with tempfile.TemporaryDirectory() as scratch:
        if not args.server:
            dsns = [f"chdb:{os.path.join(scratch, side, 'clickhouse')}" for side in ("a", "b")]
            for dsn in dsns:
                seed(dsn)
            with both_apps(dsns[0], dsns[1], os.path.join(scratch, "a")) as bases:
                compare(bases, args.seconds, args.rounds)
            return
        sys.path.insert(0, os.path.join(HERE, "..", "tests", "platform"))
        from clickhouse_server import ClickHouseServer

        with ClickHouseServer() as server:
            dsn = server.dsn("default")
            seed(dsn)
            with both_apps(dsn, dsn, os.path.join(scratch, "a")) as bases:
                compare(bases, args.seconds, args.rounds)


if __name__ == "__main__":
    main()
