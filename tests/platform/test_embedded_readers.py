"""Reads on the embedded engine run side by side on connections of their own, while writes and
statements that set the connection's state keep one connection, one at a time. Each case runs in
a process of its own: the engine is one per process, and once a statement sets the connection's
state the client keeps to one connection for good."""

import os
import textwrap

import pytest
from processes import run_python

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("KELVORA_SANITIZED")),
    reason="the embedded engine cannot run under AddressSanitizer",
)

PRELUDE = """
import threading
from kelvora.clickhouse import connect
client = connect("chdb:")
"""


def run(code):
    done = run_python(PRELUDE + textwrap.dedent(code), timeout=180)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_a_read_is_answered_while_another_still_runs():
    out = run("""
    order = []
    slow = threading.Thread(
        target=lambda: order.append(client.execute("SELECT sleep(2)") and "slow")
    )
    slow.start()
    running = "SELECT count() FROM system.processes WHERE query LIKE 'SELECT sleep%'"
    while slow.is_alive() and not client.execute(running)[0][0]:
        pass
    order.append(client.execute("SELECT 'quick'")[0][0])
    slow.join()
    print(*order)
    """)
    assert out == ["quick", "slow"]


def test_concurrent_writers_and_readers_see_every_acknowledged_row():
    out = run("""
    client.execute("CREATE TABLE t (n UInt64, by UInt8) ENGINE = MergeTree ORDER BY n")
    failures, seen = [], []

    def write(by):
        for n in range(40):
            client.execute("INSERT INTO t VALUES (%(n)s, %(by)s)", {"n": n, "by": by})
            # A read right after the write, perhaps on another connection, sees it.
            mine = client.execute("SELECT count() FROM t WHERE by = %(by)s", {"by": by})[0][0]
            if mine != n + 1:
                failures.append((by, n, mine))

    def read():
        for _ in range(80):
            seen.append(client.execute("SELECT count() FROM t")[0][0])

    threads = [threading.Thread(target=write, args=(by,)) for by in range(3)]
    threads += [threading.Thread(target=read) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(len(failures), client.execute("SELECT count() FROM t")[0][0], len(seen))
    """)
    assert out == ["0", "120", "240"]


@pytest.mark.parametrize(
    "statement, read, expected",
    [
        ("SET max_threads = 3", "SELECT getSetting('max_threads')", "3"),
        (" -- a comment\n set max_threads = 3", "SELECT getSetting('max_threads')", "3"),
        ("CREATE TEMPORARY TABLE tmp (x UInt8)", "SELECT count() FROM tmp", "0"),
        ("USE system", "SELECT count() > 0 FROM one", "1"),
    ],
    ids=["set", "set after a comment", "temporary table", "use"],
)
def test_what_a_statement_sets_on_the_connection_every_later_read_sees(statement, read, expected):
    out = run(f"""
    client.execute("SELECT 1")
    client.execute({statement!r})
    answers = []
    threads = [
        threading.Thread(target=lambda: answers.append(str(client.execute({read!r})[0][0])))
        for _ in range(6)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(*answers)
    """)
    assert out == [expected] * 6


def test_reads_waiting_for_a_connection_when_the_engine_closes_are_refused_not_held():
    out = run("""
    import os
    import time
    from kelvora.clickhouse import ClickHouseError
    transport = client._transport
    errors = []

    def read(statement):
        try:
            transport.run(statement)
        except ClickHouseError as error:
            errors.append(str(error))

    slow = [threading.Thread(target=read, args=("SELECT sleep(2)",)) for _ in range(os.cpu_count())]
    for thread in slow:
        thread.start()
    time.sleep(0.5)  # every reader connection busy, so the next read waits for one
    waiting = threading.Thread(target=read, args=("SELECT 1",))
    waiting.start()
    transport.close()
    for thread in slow + [waiting]:
        thread.join(timeout=30)
    read("SELECT 1")
    print(sum(thread.is_alive() for thread in slow + [waiting]), errors[-1])
    """)
    assert out[0] == "0" and " ".join(out[1:]) == "The embedded engine on ':memory:' is closed"
