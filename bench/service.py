"""The running service over real HTTP, loaded by wrk from another process: requests/s and
p50/p99 latency at 1, 8 and 64 connections.

Starts `kelvora serve` (the embedded engine in a temporary data directory, or a server with
--dsn), fills the demo table to 100 rows, then runs wrk (Debian's `wrk` package) against a list of
100 rows and a get by key, each on the engine (the CRUD routes) and on the cached copy, and GET
/config, for a bounded time per cell. Every answer must be a 200:
wrk's count of non-2xx answers and socket errors is printed beside each figure, and each cached
route's requests/s against its engine route's at the same connections, measured in the same run.

Run: python bench/service.py [--seconds 5] [--dsn http://user:pw@host:8123/db]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import httpx

ROUTES = [
    ("list (100 rows)", "/products/?limit=100"),
    ("cached list (100 rows)", "/cache/products/?limit=100"),
    ("get by key", "/products/42"),
    ("cached get by key", "/cache/products/42"),
    ("GET /config", "/config/"),
]
# The engine route each cached route is measured against.
AGAINST = {"cached list (100 rows)": "list (100 rows)", "cached get by key": "get by key"}
CONNECTIONS = (1, 8, 64)
_UNITS = {"us": 1e-3, "ms": 1.0, "s": 1e3}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def milliseconds(text):
    number, unit = re.fullmatch(r"([\d.]+)(us|ms|s)", text).groups()
    return float(number) * _UNITS[unit]


def load(url, connections, seconds):
    """wrk's requests/s, p50 and p99 in ms, and its count of failed answers."""
    done = subprocess.run(
        ["wrk", "--latency", f"-t{min(connections, 2)}", f"-c{connections}", f"-d{seconds}s", url],
        capture_output=True,
        text=True,
        check=True,
    )
    out = done.stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = milliseconds(re.search(r"\s50%\s+(\S+)", out).group(1))
    p99 = milliseconds(re.search(r"\s99%\s+(\S+)", out).group(1))
    failed = sum(int(n) for n in re.findall(r"Non-2xx or 3xx responses: (\d+)", out))
    failed += sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", out))
    return rate, p50, p99, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=5, help="per cell (default 5)")
    parser.add_argument("--dsn", help="serve a ClickHouse server's products table instead")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wrk is missing: apt-get install wrk")
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory() as data_dir:
        command = [sys.executable, "-m", "kelvora", "serve", "--port", str(port)]
        command += ["--data-dir", data_dir, "--log-level", "warning"]
        if args.dsn:
            command += ["--dsn", args.dsn, "--table", "products", "--cache", "products"]
        process = subprocess.Popen(command, start_new_session=True)
        try:
            for _ in range(600):
                try:
                    if httpx.get(base + "/healthz").status_code == 200:
                        break
                except httpx.TransportError:
                    time.sleep(0.2)
            with httpx.Client(base_url=base) as http:
                for key in range(1, 101):
                    item = {"id": key, "name": f"item {key}", "category": "bench", "price": 1.0}
                    assert http.post("/products/", json=item).status_code in (200, 409)
                assert http.post("/cache/products/refresh").status_code == 200
            print("| route | connections | req/s | p50 ms | p99 ms | failed | against the engine |")
            print("|---|---|---|---|---|---|---|")
            rates = {}
            for name, path in ROUTES:
                for connections in CONNECTIONS:
                    rate, p50, p99, failed = load(base + path, connections, args.seconds)
                    rates[name, connections] = rate
                    against = AGAINST.get(name)
                    ratio = f"{rate / rates[against, connections]:.1f}×" if against else ""
                    cells = f"{rate:.0f} | {p50:.2f} | {p99:.2f} | {failed} | {ratio}"
                    print(f"| {name} | {connections} | {cells} |")
        finally:
            os.killpg(process.pid, signal.SIGINT)
            process.wait(timeout=60)


if __name__ == "__main__":
    main()
