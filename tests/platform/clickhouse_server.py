"""A throwaway ClickHouse server on loopback, for tests that talk to a real server.

`ClickHouseServer` writes a small configuration into a temporary folder (free TCP and HTTP
ports, data and logs in that folder, the system's users file, no other services), starts
the Debian `clickhouse-server` binary in its own process group, waits until the HTTP
interface answers `/ping`, and on `stop()` ends the process group and removes the folder.

Only the standard library is used, so the helper needs nothing beyond the server itself.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
from xml.sax.saxutils import escape

BINARY_NAME = "clickhouse-server"
# Debian installs the server under /usr/sbin, which is not on every user's PATH.
_FALLBACK_DIRECTORIES = ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin")
USERS_CONFIG = "/etc/clickhouse-server/users.xml"

STARTUP_TIMEOUT = 30.0
STOP_TIMEOUT = 15.0
QUERY_TIMEOUT = 60.0
_START_ATTEMPTS = 3
_FOLDER_PREFIX = "kelvora-clickhouse-"
_OWNER_FILE = "owner.pid"
_LOG_TAIL_LINES = 40


class ClickHouseServerError(RuntimeError):
    """The server could not be started."""


class QueryError(RuntimeError):
    """A statement sent over HTTP failed; `status` and `body` are the server's answer."""

    def __init__(self, status: int, body: str, sql: str):
        self.status = status
        self.body = body
        self.sql = sql
        shown = sql if len(sql) <= 500 else sql[:500] + "..."
        super().__init__(f"HTTP {status} for {shown!r}: {body.strip()}")


def find_server_binary() -> str | None:
    """The path of the `clickhouse-server` executable, or None when it is not installed."""
    found = shutil.which(BINARY_NAME)
    if found:
        return found
    for directory in _FALLBACK_DIRECTORIES:
        candidate = os.path.join(directory, BINARY_NAME)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now (the kernel's choice)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _free_ports(count: int) -> list[int]:
    # Hold every socket open until all are chosen, so the ports differ.
    sockets = []
    try:
        for _ in range(count):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sockets.append(sock)
            sock.bind(("127.0.0.1", 0))
        return [sock.getsockname()[1] for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


def _parent_death_hook():
    """A function for the child to run before exec: the kernel kills it when we die.

    Covers a test process killed outright, where neither `stop()` nor atexit runs.
    None where prctl is not to be had.
    """
    if not sys.platform.startswith("linux"):
        return None
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    pr_set_pdeathsig = 1

    def hook() -> None:
        prctl(pr_set_pdeathsig, int(signal.SIGKILL), 0, 0, 0)

    return hook


def _config_xml(folder: str, http_port: int, tcp_port: int, timezone: str) -> str:
    def path(*parts: str) -> str:
        return escape(os.path.join(folder, *parts))

    return f"""<?xml version="1.0"?>
<yandex>
    <logger>
        <level>information</level>
        <log>{path("server.log")}</log>
        <errorlog>{path("server.err.log")}</errorlog>
        <size>100M</size>
        <count>1</count>
    </logger>
    <listen_host>127.0.0.1</listen_host>
    <http_port>{http_port}</http_port>
    <tcp_port>{tcp_port}</tcp_port>
    <path>{path("data")}/</path>
    <tmp_path>{path("tmp")}/</tmp_path>
    <user_files_path>{path("user_files")}/</user_files_path>
    <format_schema_path>{path("format_schemas")}/</format_schema_path>
    <users_config>{escape(USERS_CONFIG)}</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <timezone>{escape(timezone)}</timezone>
    <mark_cache_size>268435456</mark_cache_size>
    <uncompressed_cache_size>268435456</uncompressed_cache_size>
    <max_concurrent_queries>100</max_concurrent_queries>
    <mlock_executable>false</mlock_executable>
</yandex>
"""


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_stale_folders(parent: str | None = None) -> None:
    """Remove the folders of earlier runs whose test process died without cleaning up.

    A folder is left behind only when that process was killed outright (its server died with
    it). Folders whose owner is still alive, or that name no owner, are kept.
    """
    parent = parent or tempfile.gettempdir()
    try:
        names = os.listdir(parent)
    except OSError:
        return
    for name in names:
        if not name.startswith(_FOLDER_PREFIX):
            continue
        folder = os.path.join(parent, name)
        try:
            with open(os.path.join(folder, _OWNER_FILE), encoding="ascii") as handle:
                owner = int(handle.read().strip())
        except (OSError, ValueError):
            continue
        if owner != os.getpid() and not _pid_alive(owner):
            shutil.rmtree(folder, ignore_errors=True)


class ClickHouseServer:
    """One `clickhouse-server` process with its own folder; use `start()` and `stop()`.

    `http_url`, `dsn(database)` and `query(sql)` are valid between the two. It is also a
    context manager. A server still running when the interpreter exits is stopped then.
    """

    def __init__(
        self,
        binary: str | None = None,
        *,
        startup_timeout: float = STARTUP_TIMEOUT,
        timezone: str = "UTC",
    ):
        self.binary = binary or find_server_binary()
        self.startup_timeout = startup_timeout
        self.timezone = timezone
        self.folder: str | None = None
        self.http_port: int | None = None
        self.tcp_port: int | None = None
        self.startup_seconds: float | None = None
        self._process: subprocess.Popen | None = None
        self._console = None

    # -- addresses -------------------------------------------------------------------------

    @property
    def host(self) -> str:
        return "127.0.0.1"

    @property
    def http_url(self) -> str:
        self._require_running()
        return f"http://{self.host}:{self.http_port}"

    def dsn(self, database: str = "default") -> str:
        """An HTTP address naming the default user (empty password) and a database."""
        self._require_running()
        return f"http://default:@{self.host}:{self.http_port}/{database}"

    @property
    def pid(self) -> int | None:
        return None if self._process is None else self._process.pid

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    # -- queries ---------------------------------------------------------------------------

    def query_bytes(
        self,
        sql: str | bytes,
        database: str | None = None,
        timeout: float = QUERY_TIMEOUT,
        **settings: object,
    ) -> bytes:
        """POST `sql` as the body; extra keywords go to the URL as settings. Raw answer."""
        self._require_running()
        params = {key: str(value) for key, value in settings.items()}
        if database is not None:
            params["database"] = database
        url = self.http_url + "/"
        if params:
            url += "?" + urllib.parse.urlencode(params)
        body = sql.encode("utf-8") if isinstance(sql, str) else sql
        request = urllib.request.Request(url, data=body, method="POST")
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return response.read()
        except urllib.error.HTTPError as error:
            with error:
                text = error.read().decode("utf-8", "replace")
            shown = sql if isinstance(sql, str) else sql.decode("utf-8", "replace")
            raise QueryError(error.code, text, shown) from None

    def query(
        self,
        sql: str | bytes,
        database: str | None = None,
        timeout: float = QUERY_TIMEOUT,
        **settings: object,
    ) -> str:
        """Like `query_bytes`, decoded as UTF-8 (bytes that are not UTF-8 are replaced)."""
        return self.query_bytes(sql, database, timeout, **settings).decode("utf-8", "replace")

    def ping(self, timeout: float = 1.0) -> bool:
        """Whether `/ping` answers "Ok.\\n" now."""
        if self.http_port is None:
            return False
        url = f"http://{self.host}:{self.http_port}/ping"
        try:
            with urllib.request.urlopen(url, timeout=timeout) as response:
                return response.status == 200 and response.read() == b"Ok.\n"
        except (OSError, ValueError):
            return False

    # -- life cycle ------------------------------------------------------------------------

    def start(self) -> ClickHouseServer:
        if self._process is not None:
            raise ClickHouseServerError("the server is already started")
        if self.binary is None:
            raise ClickHouseServerError(f"{BINARY_NAME} is not installed")
        remove_stale_folders()
        failure: ClickHouseServerError | None = None
        for _ in range(_START_ATTEMPTS):
            atexit.register(self.stop)
            try:
                self._start_once()
                return self
            except ClickHouseServerError as error:
                failure = error
                in_use = "Address already in use" in str(error)
                self.stop()
                if not in_use:
                    break
        assert failure is not None
        raise failure

    def _start_once(self) -> None:
        self.folder = tempfile.mkdtemp(prefix=_FOLDER_PREFIX)
        with open(os.path.join(self.folder, _OWNER_FILE), "w", encoding="ascii") as handle:
            handle.write(f"{os.getpid()}\n")
        for name in ("data", "tmp", "user_files", "format_schemas"):
            os.mkdir(os.path.join(self.folder, name))
        self.http_port, self.tcp_port = _free_ports(2)
        config = os.path.join(self.folder, "config.xml")
        with open(config, "w", encoding="utf-8") as handle:
            handle.write(_config_xml(self.folder, self.http_port, self.tcp_port, self.timezone))
        self._console = open(os.path.join(self.folder, "console.log"), "wb")
        began = time.monotonic()
        try:
            self._process = subprocess.Popen(
                [self.binary, f"--config-file={config}"],
                cwd=self.folder,
                stdin=subprocess.DEVNULL,
                stdout=self._console,
                stderr=subprocess.STDOUT,
                start_new_session=True,
                preexec_fn=_parent_death_hook(),
            )
        except OSError as error:
            raise ClickHouseServerError(f"cannot run {self.binary}: {error}") from error
        deadline = began + self.startup_timeout
        while True:
            if self.ping(timeout=0.5):
                self.startup_seconds = time.monotonic() - began
                return
            code = self._process.poll()
            if code is not None:
                raise ClickHouseServerError(
                    f"{BINARY_NAME} exited with status {code} while starting\n{self.log_tail()}"
                )
            if time.monotonic() > deadline:
                raise ClickHouseServerError(
                    f"{BINARY_NAME} did not answer /ping on port {self.http_port} within "
                    f"{self.startup_timeout:g} s\n{self.log_tail()}"
                )
            time.sleep(0.05)

    def log_tail(self, lines: int = _LOG_TAIL_LINES) -> str:
        """The last lines of the console output and of the server's logs, for error messages."""
        if self.folder is None:
            return "(no server folder)"
        parts = []
        for name in ("console.log", "server.err.log", "server.log"):
            file = os.path.join(self.folder, name)
            try:
                with open(file, "rb") as handle:
                    text = handle.read().decode("utf-8", "replace")
            except OSError:
                continue
            tail = "\n".join(text.splitlines()[-lines:])
            parts.append(f"--- {name} (last {lines} lines) ---\n{tail}")
        return "\n".join(parts) if parts else "(no server log)"

    def stop(self, timeout: float = STOP_TIMEOUT) -> None:
        """End the server's process group (TERM, then KILL after `timeout`); remove the folder."""
        process, self._process = self._process, None
        try:
            if process is not None:
                _end_process_group(process, timeout)
        finally:
            if self._console is not None:
                self._console.close()
                self._console = None
            if self.folder is not None:
                shutil.rmtree(self.folder, ignore_errors=True)
                self.folder = None
            atexit.unregister(self.stop)

    def __enter__(self) -> ClickHouseServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def _require_running(self) -> None:
        if self._process is None or self.http_port is None:
            raise ClickHouseServerError("the server is not started")


def _signal_group(pgid: int, signum: int) -> None:
    try:
        os.killpg(pgid, signum)
    except ProcessLookupError:
        pass


def _end_process_group(process: subprocess.Popen, timeout: float) -> None:
    # The server leads its own session, so its process group id is its pid.
    pgid = process.pid
    if process.poll() is None:
        _signal_group(pgid, signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            _signal_group(pgid, signal.SIGKILL)
            process.wait(timeout=timeout)
    # Anything else left in the group goes too.
    _signal_group(pgid, signal.SIGKILL)
