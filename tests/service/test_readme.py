"""The README's Python examples, run as written in a fresh directory: the app served by uvicorn
as a real process and driven over HTTP as the README says, then the backends example on the
table the app made."""

import os
import re
import subprocess
import sys
import time

import httpx
from test_service import free_port

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def python_examples():
    with open(README, encoding="utf-8") as handle:
        return re.findall(r"```python\n(.*?)```", handle.read(), re.S)


def serve(directory, port):
    process = subprocess.Popen(
        [sys.executable, "-m", "uvicorn", "app:app", "--port", str(port)],
        cwd=directory,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    http = httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=60)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AssertionError("the app ended: " + process.stdout.read())
        try:
            http.get("/openapi.json")
            return process, http
        except httpx.TransportError:
            time.sleep(0.2)
    process.kill()
    raise AssertionError("the app did not answer in time")


def test_the_examples_run_as_written(tmp_path):
    app, backends = python_examples()
    (tmp_path / "app.py").write_text(app)
    (tmp_path / "backends.py").write_text(backends)
    process, http = serve(tmp_path, free_port())
    try:
        created = http.post("/events/", json={"id": 1, "status": "new"})
        assert created.status_code == 200, created.text
        record = http.get("/events/1").json()
        assert (record["id"], record["status"]) == (1, "new")
        assert not record["created_at"].startswith("1970")
        assert http.post("/events/", json={"id": 1, "status": "new"}).status_code == 409
        assert http.put("/events/1", json={"status": "done"}).status_code == 200
        listed = http.get("/events/", params={"status": "done"}).json()
        assert (listed["total"], [item["id"] for item in listed["items"]]) == (1, [1])
        assert http.get("/events/1/history").json()["total"] == 1
        assert http.get("/config/").json() == {"features": {}}
        assert http.delete("/events/1").status_code == 200
        assert http.get("/events/1").status_code == 404
    finally:
        process.terminate()
        process.wait(timeout=60)
        http.close()
        process.stdout.close()
    # The embedded engine is one process's at a time: the backends example runs after the app.
    done = subprocess.run(
        [sys.executable, "backends.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
