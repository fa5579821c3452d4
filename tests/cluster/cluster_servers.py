"""ClickHouse clusters on loopback, for tests of Distributed tables.

`ClusterNode` is a `ClickHouseServer` whose configuration names a cluster (`remote_servers`), on
a loopback address of its own (127.0.0.1, 127.0.0.2, ...), so that every node of a cluster has
the same ports and a client reaches each shard's HTTP interface at its host with the DSN's port.
`kill()` ends a node the way a crash does and `start()` brings it back on its folder, its data
intact; `stop()` ends it for good and removes the folder.
"""

from __future__ import annotations

import atexit
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "platform"))
import clickhouse_server  # noqa: E402
from clickhouse_server import ClickHouseServer, find_server_binary  # noqa: E402, F401

CLUSTER = "two_shards"


def shared_ports(hosts, count=2):
    """Ports free on every one of `hosts` right now."""
    while True:
        ports = clickhouse_server._free_ports(count)
        if all(_free_on(host, port) for host in hosts for port in ports):
            return ports


def _free_on(host, port):
    with socket.socket() as probe:
        try:
            probe.bind((host, port))
        except OSError:
            return False
        return True


def remote_servers(shards, tcp_port):
    """The `remote_servers` section of a cluster of one replica a shard: (host, database)."""
    replicas = "".join(
        f"<shard><replica><host>{host}</host><port>{tcp_port}</port>"
        f"<default_database>{database}</default_database></replica></shard>"
        for host, database in shards
    )
    return f"<remote_servers><{CLUSTER}>{replicas}</{CLUSTER}></remote_servers>"


class ClusterNode(ClickHouseServer):
    def __init__(self, address, http_port, tcp_port, cluster_xml):
        super().__init__()
        self.address = address
        self.http_port, self.tcp_port = http_port, tcp_port
        self._cluster_xml = cluster_xml

    @property
    def host(self):
        return self.address

    def _start_once(self):
        if self.folder is None:
            self.folder = tempfile.mkdtemp(prefix=clickhouse_server._FOLDER_PREFIX)
            for name in ("data", "tmp", "user_files", "format_schemas"):
                os.mkdir(os.path.join(self.folder, name))
        with open(os.path.join(self.folder, "owner.pid"), "w", encoding="ascii") as handle:
            handle.write(f"{os.getpid()}\n")
        config = os.path.join(self.folder, "config.xml")
        text = clickhouse_server._config_xml(self.folder, self.http_port, self.tcp_port, "UTC")
        text = text.replace(
            "<listen_host>127.0.0.1</listen_host>", f"<listen_host>{self.address}</listen_host>"
        ).replace("</yandex>", f"    {self._cluster_xml}\n</yandex>")
        with open(config, "w", encoding="utf-8") as handle:
            handle.write(text)
        self._console = open(os.path.join(self.folder, "console.log"), "ab")
        self._process = subprocess.Popen(
            [self.binary, f"--config-file={config}"],
            cwd=self.folder,
            stdin=subprocess.DEVNULL,
            stdout=self._console,
            stderr=subprocess.STDOUT,
            start_new_session=True,
            preexec_fn=clickhouse_server._parent_death_hook(),
        )
        deadline = time.monotonic() + self.startup_timeout
        while not self.ping(timeout=0.5):
            if self._process.poll() is not None or time.monotonic() > deadline:
                raise clickhouse_server.ClickHouseServerError(
                    f"the node on {self.address} did not start\n{self.log_tail()}"
                )
            time.sleep(0.05)

    def start(self):
        # One attempt: the ports are the cluster's, not the node's to choose again.
        if self._process is not None:
            raise clickhouse_server.ClickHouseServerError("the node is already started")
        atexit.register(self.stop)
        try:
            self._start_once()
        except BaseException:
            self.stop()
            raise
        return self

    def kill(self):
        """Ends the node at once, as a crash would; its folder stays for `start()`."""
        process, self._process = self._process, None
        os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=30)
        self._console.close()
        self._console = None

    def stop(self, timeout=clickhouse_server.STOP_TIMEOUT):
        """Ends the node for good and removes its folder."""
        folder = self.folder
        super().stop(timeout)
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)
