"""The server's errors that say it lost a shard are connection errors (the service answers 503
and a retry may succeed); its other errors stay the engine's refusals."""

import pytest

from kelvora.clickhouse import ClickHouseConnectionError, ClickHouseError
from kelvora.cluster import Cluster, ShardUnavailable


class RefusingServer:
    """A server that answers every statement with one error."""

    address = "127.0.0.1:8123"

    def __init__(self, text):
        self.text = text

    def rows(self, statement, zone, settings=None):
        raise ClickHouseError(self.text)


def cluster_refusing(text):
    return Cluster(RefusingServer(text), "default", 8123, {}, lambda host, port, database: None)


LOST = [
    # 18.16's texts; newer servers write "Code: 32. DB::Exception: ..." with the same words.
    "Code: 32, e.displayText() = DB::Exception: Attempt to read after eof: while receiving "
    "packet from 127.0.0.2:9000, e.what() = DB::Exception",
    "Code: 32. DB::Exception: Attempt to read after eof: while receiving packet from "
    "127.0.0.2:9000. (ATTEMPT_TO_READ_AFTER_EOF)",
    "Code: 209, e.displayText() = DB::NetException: Timeout exceeded while reading from socket "
    "(127.0.0.2:9000), e.what() = DB::NetException",
    "Code: 210, e.displayText() = DB::NetException: Connection reset by peer, while reading "
    "from socket (127.0.0.2:9000), e.what() = DB::NetException",
    "Code: 279, e.displayText() = DB::NetException: All connection tries failed.",
]


@pytest.mark.parametrize("text", LOST, ids=["eof", "eof, newer", "timeout", "reset", "tries"])
def test_a_lost_shard_is_a_connection_error(text):
    with pytest.raises(ShardUnavailable) as raised:
        cluster_refusing(text).run("INSERT INTO items VALUES (1, 'a')", None)
    assert isinstance(raised.value, ClickHouseConnectionError)
    assert str(raised.value) == (
        f"The ClickHouse server at 127.0.0.1:8123 cannot reach a shard: {text}"
    )


@pytest.mark.parametrize(
    "text",
    [
        # The end of a file, not of a shard's answer.
        "Code: 32, e.displayText() = DB::Exception: Attempt to read after eof, "
        "e.what() = DB::Exception",
        "Code: 60, e.displayText() = DB::Exception: Table default.items doesn't exist., "
        "e.what() = DB::Exception",
    ],
    ids=["eof of a file", "missing table"],
)
def test_other_errors_stay_refusals(text):
    with pytest.raises(ClickHouseError) as raised:
        cluster_refusing(text).run("SELECT * FROM items", None)
    assert not isinstance(raised.value, ClickHouseConnectionError)
    assert str(raised.value) == text
