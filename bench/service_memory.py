"""The service's resident memory under load: RSS after a warm-up, then after every further
round of requests, until --requests more were answered.

Starts `kelvora serve` on the embedded engine (temporary data directory, demo table of 100 rows),
loads a list of 100 rows, a get by key and GET /config/ in turn with wrk (8 connections, --stretch
seconds each), and reads the service's VmRSS from /proc after each round of the three, once the
worker threads the round started have ended (or 15 s passed).

Run: python bench/service_memory.py [--warmup 20000] [--requests 100000] [--stretch 10]
"""

import argparse
import re
import subprocess
import sys
import tempfile
import time

from against_handwritten import running
from service import free_port

PATHS = ["/products/?limit=100", "/products/42", "/config/"]


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1)) / 1024


def threads(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"Threads:\s+(\d+)", status.read()).group(1))


def settled_rss_mib(pid, idle_threads):
    """RSS once the framework's worker threads that the load started have ended (anyio ends a
    worker after 10 s idle): each live thread holds a stack and an allocator arena of its own,
    so readings compare the same threads."""
    for _ in range(15):
        if threads(pid) <= idle_threads:
            break
        time.sleep(1)
    return rss_mib(pid)


def answered(url, seconds):
    done = subprocess.run(
        ["wrk", "-t2", "-c8", f"-d{seconds}s", url], capture_output=True, text=True, check=True
    )
    return int(re.search(r"(\d+) requests in", done.stdout).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmup", type=int, default=20_000)
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--stretch", type=int, default=10, help="seconds per wrk run")
    args = parser.parse_args()
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory() as data_dir:
        command = [sys.executable, "-m", "kelvora", "serve", "--port", str(port)]
        command += ["--data-dir", data_dir, "--log-level", "warning"]
        with running(command, base + "/healthz") as process:
            import httpx

            with httpx.Client(base_url=base) as http:
                for key in range(1, 101):
                    item = {"id": key, "name": f"item {key}", "category": "bench", "price": 1.0}
                    assert http.post("/products/", json=item).status_code in (200, 409)
            # RSS is read after whole rounds of the three routes only: the list's answers lift
            # it for a while, so readings after different routes are not comparable.
            idle_threads = threads(process.pid)
            total, after_warmup = 0, None
            while True:
                for path in PATHS:
                    total += answered(base + path, args.stretch)
                if after_warmup is None and total >= args.warmup:
                    after_warmup = (total, settled_rss_mib(process.pid, idle_threads))
                    print(f"after {total} requests (warm-up): RSS {after_warmup[1]:.1f} MiB")
                elif after_warmup is not None:
                    rss = settled_rss_mib(process.pid, idle_threads)
                    grown = rss - after_warmup[1]
                    print(f"after {total} requests: RSS {rss:.1f} MiB ({grown:+.1f} since warm-up)")
                    if total - after_warmup[0] >= args.requests:
                        break


if __name__ == "__main__":
    main()
