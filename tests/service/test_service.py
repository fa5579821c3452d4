"""The ready-made service, started as a real process and driven over HTTP."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import httpx
import pytest


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Service:
    def __init__(self, *args, cwd):
        self.port = free_port()
        self.command = [sys.executable, "-m", "kelvora", "serve", "--port", str(self.port), *args]
        self.cwd = cwd
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            self.command,
            cwd=self.cwd,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        self.http = httpx.Client(base_url=f"http://127.0.0.1:{self.port}", timeout=30)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("the service ended: " + self.process.stdout.read())
            try:
                if self.http.get("/docs").status_code == 200:
                    return self
            except httpx.TransportError:
                time.sleep(0.2)
        raise AssertionError("the service did not answer /docs in time")

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        code = self.process.wait(timeout=60)
        self.http.close()
        self.process.stdout.close()
        return code

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            self.http.close()
            self.process.stdout.close()


def prepare(data_dir, *statements):
    """Runs statements on the embedded engine of a data directory, in a process of their own
    (the engine's files are in the data directory's `clickhouse` folder)."""
    script = textwrap.dedent(f"""
        from kelvora.clickhouse import connect
        client = connect("chdb:{data_dir / "clickhouse"}")
        for statement in {list(statements)!r}:
            client.execute(statement)
    """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)


@pytest.fixture
def data_dir(tmp_path):
    return tmp_path / "kelvora-data"


def test_service_lifecycle(tmp_path, data_dir):
    with Service("--data-dir", str(data_dir), cwd=tmp_path) as service:
        http = service.http
        # Configuration: read, replace a section, merge, versions, restore.
        config = http.get("/config/").json()
        assert config["service"]["name"] == "kelvora"
        assert http.put("/config/limits", json={"page_size": 50}).status_code == 200
        patched = http.patch("/config/", json={"features": {"history": False}})
        assert patched.status_code == 200, patched.text
        assert patched.json()["limits"] == {"page_size": 50}
        versions = http.get("/config/versions").json()
        assert versions["total_versions"] == 3
        restored = http.post("/config/versions/1/restore")
        assert restored.status_code == 200, restored.text
        assert http.get("/config/").json()["limits"] == {"page_size": 100}

        # The demo table through its CRUD router.
        listing = http.get("/products/", params={"category": "office"}).json()
        assert listing["total"] == 2
        assert [item["name"] for item in listing["items"]] == ["Desk lamp", "Notebook"]
        created = http.post(
            "/products/", json={"id": 6, "name": "Mug", "category": "kitchen", "price": 7.5}
        )
        assert created.status_code == 200, created.text
        again = {"id": 6, "name": "again", "category": "kitchen", "price": 1.0}
        assert http.post("/products/", json=again).status_code == 409
        assert http.get("/products/6").json()["name"] == "Mug"
        updated = http.put("/products/6", json={"price": 8.0})
        assert updated.status_code == 200, updated.text
        assert http.get("/products/6").json()["price"] == 8.0
        history = http.get("/products/1/history").json()
        assert history["total"] == 1
        deleted = http.delete("/products/5")
        assert deleted.json()["message"] == "Record deleted successfully from products"
        assert http.get("/products/5").status_code == 404

        # The table's query routes beside its CRUD routes.
        queried = http.get("/products/query/", params={"category": "in.(office,kitchen)"})
        assert queried.status_code == 200, queried.text
        assert [item["id"] for item in queried.json()["items"]] == [1, 2, 3, 4, 6]
        unknown = http.get("/products/query/", params={"colour": "eq.red"})
        assert unknown.status_code == 422, unknown.text

        # Cached reads, and the OpenAPI document.
        cached = http.get("/cache/products/", params={"category": "office"}).json()
        assert cached == http.get("/products/", params={"category": "office"}).json()
        assert http.get("/cache/products/3").json()["name"] == "Notebook"
        assert http.get("/cache/products/99").status_code == 404
        assert http.get("/cache/products/info").json()["backend"] == "duckdb"
        document = http.get("/openapi.json").json()
        from openapi_spec_validator import validate

        validate(document)
        assert {"/config/", "/products/", "/products/{id}", "/cache/products/"} <= set(
            document["paths"]
        )
        assert service.stop() == 0

    # A restart on the same data directory sees the same data.
    with Service("--data-dir", str(data_dir), cwd=tmp_path) as service:
        assert service.http.get("/products/6").json()["price"] == 8.0
        assert service.http.get("/config/versions").json()["total_versions"] == 3
        assert service.stop() == 0


@pytest.mark.parametrize(
    "args, line",
    [
        (["--dsn", "ftp://nowhere"], "kelvora: Unsupported ClickHouse DSN 'ftp://nowhere': "),
        (["--table", "nosuch"], "kelvora: table 'nosuch' cannot be served: "),
        (["--table", "products:sku"], "kelvora: table 'products' has no key column 'sku'"),
        (
            ["--table", "bad name"],
            "kelvora: --table bad name: table name 'bad name' is not a ClickHouse identifier",
        ),
    ],
    ids=["bad dsn", "missing table", "missing key column", "bad table name"],
)
def test_bad_startup_input(tmp_path, data_dir, args, line):
    if args[:2] == ["--table", "products:sku"]:
        # The demo table exists once the service has started with defaults.
        with Service("--data-dir", str(data_dir), cwd=tmp_path) as service:
            service.stop()
    done = subprocess.run(
        [sys.executable, "-m", "kelvora", "serve", "--data-dir", str(data_dir), *args],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 2
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(line), done.stderr


def test_busy_data_directory(tmp_path, data_dir):
    with Service("--data-dir", str(data_dir), cwd=tmp_path) as service:
        done = subprocess.run(
            [sys.executable, "-m", "kelvora", "serve", "--data-dir", str(data_dir)],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert done.returncode == 2
        assert done.stderr.strip() == (
            f"kelvora: The data directory '{data_dir / 'clickhouse'}' is in use by another process"
        )
        # The running service is unharmed.
        assert service.http.get("/products/1").status_code == 200
        assert service.stop() == 0


def serve_from_checkout(root, port):
    """Runs the README's serve command in `root` until /docs answers, then stops it."""
    process = subprocess.Popen(
        ["./run", "serve", "--port", str(port)],
        cwd=root,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline:
            assert process.poll() is None, "./run serve ended"
            try:
                if httpx.get(f"http://127.0.0.1:{port}/docs").status_code == 200:
                    return
            except httpx.TransportError:
                time.sleep(0.2)
        raise AssertionError("./run serve did not answer /docs within 10 minutes")
    finally:
        os.killpg(process.pid, signal.SIGINT)
        process.wait(timeout=60)


@pytest.mark.skipif(not os.environ.get("KELVORA_README_CHECK"), reason="run by ./run test")
def test_readme_serve_command_answers_docs_and_a_second_start_installs_nothing():
    # The README's serve command, as written, in a checkout: it sets up and answers /docs; run
    # again with nothing changed it goes straight to the service.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    stamp = os.path.join(root, ".venv", ".kelvora-serve-installed")
    serve_from_checkout(root, free_port())
    installed = os.stat(stamp).st_mtime_ns
    serve_from_checkout(root, free_port())
    assert os.stat(stamp).st_mtime_ns == installed
