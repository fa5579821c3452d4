"""Clusters of Debian's clickhouse-server 18.16 on loopback, without ZooKeeper.

`one_server_cluster`: one server whose cluster has two shards on itself, the local tables in its
databases s1 and s2 (each shard's default database). `two_node_cluster`: two servers, each a
shard (127.0.0.1 and 127.0.0.2, the same ports), their local tables in the database `shard`;
a test may kill a node and start it again. Both skip the test when the server is not installed.
"""

import uuid

import pytest
from cluster_servers import ClusterNode, find_server_binary, remote_servers, shared_ports


def _require_server():
    if find_server_binary() is None:
        pytest.skip("clickhouse-server is not installed")


@pytest.fixture(scope="session")
def one_server_cluster():
    _require_server()
    http_port, tcp_port = shared_ports(["127.0.0.1"])
    shards = [("127.0.0.1", "s1"), ("127.0.0.1", "s2")]
    node = ClusterNode("127.0.0.1", http_port, tcp_port, remote_servers(shards, tcp_port))
    node.start()
    try:
        for database in ("s1", "s2", "app"):
            node.query(f"CREATE DATABASE {database}")
        yield node
    finally:
        node.stop()


@pytest.fixture
def two_node_cluster():
    _require_server()
    hosts = ["127.0.0.1", "127.0.0.2"]
    http_port, tcp_port = shared_ports(hosts)
    cluster = remote_servers([(host, "shard") for host in hosts], tcp_port)
    nodes = [ClusterNode(host, http_port, tcp_port, cluster) for host in hosts]
    try:
        for node in nodes:
            node.start()
            node.query("CREATE DATABASE shard")
        yield nodes
    finally:
        for node in nodes:
            node.stop()


@pytest.fixture
def table_name():
    """A table name for this test alone (the shards' databases are shared by the session)."""
    return f"items{uuid.uuid4().hex[:12]}"
