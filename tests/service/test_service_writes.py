"""Concurrent writes against the service as a real process: every acknowledged write is stored,
stored once, and where it was aimed."""

import concurrent.futures
import subprocess
import sys
import textwrap
import urllib.parse

import pytest
from test_service import Service

KEYS = ["%", "%%", "50%", "%(k)s", "a'b\\"]


@pytest.fixture
def codes_service(tmp_path):
    """The service on a data directory holding a table `codes` with a text key, one row per key
    (the engine's files are in the data directory's `clickhouse` folder)."""
    data_dir = tmp_path / "kelvora-data"
    prepare = textwrap.dedent(f"""
        from kelvora.clickhouse import connect
        client = connect("chdb:{data_dir / "clickhouse"}")
        client.execute(
            "CREATE TABLE default.codes (code String, note String, created_at DateTime) "
            "ENGINE = MergeTree ORDER BY code"
        )
        for key in {KEYS!r}:
            client.execute("INSERT INTO default.codes (code) VALUES (%(k)s)", {{"k": key}})
    """)
    subprocess.run([sys.executable, "-c", prepare], check=True, timeout=120)
    with Service("--data-dir", str(data_dir), "--table", "codes:code", cwd=tmp_path) as service:
        yield service


def stored_codes(http):
    return sorted(item["code"] for item in http.get("/codes/?limit=1000").json()["items"])


def test_percent_keys_delete_exactly_their_row(codes_service):
    http = codes_service.http
    remaining = sorted(KEYS)
    for key in KEYS:
        done = http.delete("/codes/" + urllib.parse.quote(key, safe=""))
        assert done.status_code == 200, done.text
        remaining.remove(key)
        assert stored_codes(http) == remaining


def test_concurrent_creates_of_one_key_store_one_row(codes_service):
    http = codes_service.http
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        for round_ in range(10):
            bodies = [{"code": f"new{round_}", "note": "x"}] * 16
            answers = list(pool.map(lambda body: http.post("/codes/", json=body), bodies))
            assert sorted(a.status_code for a in answers) == [200] + [409] * 15
    assert stored_codes(http) == sorted(KEYS + [f"new{i}" for i in range(10)])


def test_section_writes_beside_section_deletes_are_all_kept(tmp_path):
    with Service("--data-dir", str(tmp_path / "kelvora-data"), cwd=tmp_path) as service:
        http = service.http
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for round_ in range(30):
                assert http.put(f"/config/victim_{round_}", json={"v": 1}).status_code == 200
                put = pool.submit(http.put, f"/config/new_{round_}", json={"v": round_})
                deleted = pool.submit(http.delete, f"/config/victim_{round_}")
                assert (put.result().status_code, deleted.result().status_code) == (200, 200)
        config = http.get("/config/").json()
        assert [key for key in config if key.startswith("victim_")] == []
        assert {key: config[key] for key in config if key.startswith("new_")} == {
            f"new_{i}": {"v": i} for i in range(30)
        }
