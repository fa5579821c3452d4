"""The service and the hand-written app (bench/handwritten_app.py) in one process, on one client
of one embedded engine, their requests in turns: what each costs a request in CPU, without the
drift between two processes and two moments that a run over HTTP has on a shared machine.

For each route, rounds of 200 requests (1000 for GET /config/) from 8 concurrent tasks through
each app's ASGI interface (httpx's ASGI transport, whose client side runs on the same event loop
and counts in both), the apps in turns, and each side's median round. The event loop's thread
time is where the service's throughput is decided; the process's time adds the worker threads
and the engine's. Beside them, the route's statements alone (each on the thread pool, as both
apps run them): the least any app can spend on the route with this engine and client.

Run: python bench/same_process.py [--rounds 10]
"""

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time

import httpx

import kelvora.clickhouse

HERE = os.path.dirname(os.path.abspath(__file__))
CONCURRENCY = 8
COUNT = "SELECT count() FROM products"
PAGE = "SELECT * FROM products ORDER BY id LIMIT %(limit)s OFFSET %(offset)s"
GET = "SELECT * FROM products WHERE id = %(id)s ORDER BY id LIMIT 1"
# Each route, its requests a round, and its statements with their parameters.
ROUTES = [
    ("/products/?limit=100", 200, [(COUNT, None), (PAGE, {"limit": 100, "offset": 0})]),
    ("/products/?limit=1000", 200, [(COUNT, None), (PAGE, {"limit": 1000, "offset": 0})]),
    ("/products/1", 200, [(GET, {"id": 1})]),
    ("/config/", 1000, []),
]


def process_seconds():
    """CPU time of every thread of this process."""
    ticks = 0
    for thread in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{thread}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def both_apps(data_dir):
    """The service on `data_dir` and the hand-written app on the service's own client."""
    sys.path.insert(0, HERE)
    import handwritten_app

    from kelvora.service import create_app, load_settings

    handwritten_app.seed("chdb:" + os.path.join(data_dir, "clickhouse"))
    made = []
    connect = kelvora.clickhouse.connect

    def recorded(*args, **options):
        made.append(connect(*args, **options))
        return made[-1]

    kelvora.clickhouse.connect = recorded
    try:
        service = create_app(load_settings(["--data-dir", data_dir]))
    finally:
        kelvora.clickhouse.connect = connect
    handwritten_app.connect = lambda dsn: made[0]
    return service, handwritten_app.create_app("the service's client"), made[0]


async def cost(operation, requests, rounds_of):
    """Median (event loop thread, process) CPU microseconds a request over the rounds."""

    async def share():
        for _ in range(requests // CONCURRENCY):
            await operation()

    loop_times, process_times = [], []
    for _ in range(rounds_of):
        loop, process = time.thread_time(), process_seconds()
        await asyncio.gather(*(share() for _ in range(CONCURRENCY)))
        loop_times.append((time.thread_time() - loop) / requests * 1e6)
        process_times.append((process_seconds() - process) / requests * 1e6)
    return statistics.median(loop_times), statistics.median(process_times)


async def compare(service, handwritten, client, rounds):
    from fastapi.concurrency import run_in_threadpool

    print(
        "| route | kelvora loop | hand-written loop | kelvora process | hand-written process |"
        " statements alone (process) |"
    )
    print("|---|---|---|---|---|---|")
    transports = [httpx.ASGITransport(app=app) for app in (service, handwritten)]
    async with (
        httpx.AsyncClient(transport=transports[0], base_url="http://bench") as ours,
        httpx.AsyncClient(transport=transports[1], base_url="http://bench") as theirs,
    ):
        for path, requests, statements in ROUTES:
            answers = [await side.get(path) for side in (ours, theirs)]
            assert answers[0].content == answers[1].content, path

            def asking(side, path=path):
                async def ask():
                    answer = await side.get(path)
                    assert answer.status_code == 200, answer.text

                return ask

            async def statements_alone(statements=statements):
                for query, params in statements:
                    await run_in_threadpool(client.execute, query, params)

            for side in (ours, theirs):  # warm-up
                await cost(asking(side), requests, 1)
            costs = ([], [])
            for _ in range(rounds):
                for index, side in enumerate((ours, theirs)):
                    costs[index].append(await cost(asking(side), requests, 1))
            (ours_loop, ours_process), (theirs_loop, theirs_process) = (
                (statistics.median(c[0] for c in side), statistics.median(c[1] for c in side))
                for side in costs
            )
            alone = (await cost(statements_alone, requests, rounds))[1] if statements else 0
            print(
                f"| GET {path} | {ours_loop:.0f} | {theirs_loop:.0f} | {ours_process:.0f} |"
                f" {theirs_process:.0f} | {alone:.0f} |"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="per route and app (default 10)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        service, handwritten, client = both_apps(os.path.join(scratch, "data"))

        async def run():
            async with service.router.lifespan_context(service):
                await compare(service, handwritten, client, args.rounds)

        asyncio.run(run())


if __name__ == "__main__":
    main()
