"""ConfigStore on a cluster of two 18.16 servers: its table is on the node its client talks to,
which is all it needs (the other node's loss leaves it working), and a copy of that table on
another node carries the configuration on when the first node is lost."""

from kelvora.backend import ConfigStore
from kelvora.clickhouse import connect


def tables(node):
    text = node.query("SELECT name FROM system.tables WHERE database = 'default' FORMAT TSV")
    return sorted(text.split())


def test_the_store_keeps_its_table_on_its_node_and_needs_no_other(two_node_cluster):
    first, second = two_node_cluster
    client = connect(first.dsn())
    store = ConfigStore({"service": {"port": 1}}, client=client)
    store.patch_config({"limits": {"page": 10}})
    assert tables(first) == ["kelvora_config"]
    assert tables(second) == []
    second.kill()
    store.patch_config({"features": {"cache": True}})
    assert store.get_config(refresh=True) == {
        "service": {"port": 1},
        "limits": {"page": 10},
        "features": {"cache": True},
    }
    assert store.get_version() == 3
    client.close()


def test_a_copy_on_another_node_carries_the_configuration_on(two_node_cluster):
    first, second = two_node_cluster
    client = connect(first.dsn())
    store = ConfigStore({"service": {"port": 1}}, client=client)
    store.patch_config({"limits": {"page": 10}})
    store.update_config_version(1, {"service": {"port": 2}})
    # The copy the README describes: the table's own definition, then its rows.
    definition = first.query("SHOW CREATE TABLE default.kelvora_config FORMAT TSVRaw")
    second.query(definition)
    # Carried by the test (remote() on the second node would take 127.0.0.1 with its own port
    # for itself).
    rows = first.query_bytes("SELECT * FROM default.kelvora_config FORMAT Native")
    second.query_bytes(b"INSERT INTO default.kelvora_config FORMAT Native\n" + rows)
    first.kill()
    client.close()

    standby_client = connect(second.dsn())
    standby = ConfigStore({"unused": True}, client=standby_client)
    assert standby.get_config() == {"service": {"port": 1}, "limits": {"page": 10}}
    assert standby.get_version_detail(1)["payload"] == {"service": {"port": 2}}
    # Every revision came along, the in-place edit's replaced payload too.
    assert [entry["revision"] for entry in standby.get_revision_history()] == [3, 2, 1]
    standby.patch_config({"features": {"cache": True}})
    assert (standby.get_version(), standby.get_state()["revision"]) == (3, 4)
    standby_client.close()
