"""The running service over real HTTP: requests/s and p50/p99 latency.

Starts `kelvora serve` on the embedded engine (a temporary data directory, loopback only), fills
the demo table to 100 rows, then drives list (100 rows), get-by-key and GET /config with 1, 8 and
64 concurrent clients for a bounded time each. Run: python bench/service.py
"""

import asyncio
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import httpx

SECONDS = 4.0
ROUTES = [
    ("list (100 rows)", "/products/?limit=100"),
    ("get by key", "/products/42"),
    ("GET /config", "/config/"),
]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


async def drive(base, path, clients):
    latencies = []
    deadline = time.perf_counter() + SECONDS
    limits = httpx.Limits(max_connections=clients, max_keepalive_connections=clients)
    async with httpx.AsyncClient(base_url=base, limits=limits, timeout=60) as http:

        async def worker():
            while time.perf_counter() < deadline:
                started = time.perf_counter()
                response = await http.get(path)
                latencies.append(time.perf_counter() - started)
                assert response.status_code == 200, response.text

        started = time.perf_counter()
        await asyncio.gather(*(worker() for _ in range(clients)))
        elapsed = time.perf_counter() - started
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    return len(latencies) / elapsed, statistics.median(latencies), p99


def main():
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory() as data_dir:
        command = [sys.executable, "-m", "kelvora", "serve", "--port", str(port)]
        command += ["--data-dir", data_dir, "--log-level", "warning"]
        process = subprocess.Popen(command, start_new_session=True)
        try:
            for _ in range(600):
                try:
                    if httpx.get(base + "/docs").status_code == 200:
                        break
                except httpx.TransportError:
                    time.sleep(0.2)
            with httpx.Client(base_url=base) as http:
                for key in range(6, 101):
                    item = {"id": key, "name": f"item {key}", "category": "bench", "price": 1.0}
                    assert http.post("/products/", json=item).status_code == 200
            print(f"{'route':18} {'clients':>7} {'req/s':>9} {'p50 ms':>8} {'p99 ms':>8}")
            for name, path in ROUTES:
                for clients in (1, 8, 64):
                    rate, p50, p99 = asyncio.run(drive(base, path, clients))
                    print(f"{name:18} {clients:7} {rate:9.0f} {p50 * 1e3:8.2f} {p99 * 1e3:8.2f}")
        finally:
            os.killpg(process.pid, signal.SIGINT)
            process.wait(timeout=60)


if __name__ == "__main__":
    main()
