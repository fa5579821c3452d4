"""The config router on the real ConfigStore over the embedded engine."""

import asyncio

import pytest

WRITERS = 32


def test_flows(real_store, serve):
    client = serve(real_store)

    def ok(method, path, body=None):
        response = client.request(method, "/config" + path, json=body)
        assert response.status_code == 200, response.text
        return response.json()

    assert ok("GET", "/") == {"service": {"port": 80}}
    assert ok("PUT", "/", {"service": {"port": 81}, "debug": False}) == {
        "service": {"port": 81},
        "debug": False,
    }
    assert ok("PATCH", "/", {"debug": True}) == {"service": {"port": 81}, "debug": True}
    assert ok("PUT", "/cache", {"ttl": 5})["cache"] == {"ttl": 5}
    assert ok("GET", "/cache") == {"ttl": 5}
    assert ok("DELETE", "/debug") == {"service": {"port": 81}, "cache": {"ttl": 5}}
    listing = ok("GET", "/versions")
    assert [v["version"] for v in listing["versions"]] == [5, 4, 3, 2, 1]
    assert listing["total_versions"] == 5
    assert {v["updated_at"][-6:] for v in listing["versions"]} == {"+00:00"}
    assert ok("GET", "/versions/1")["config"] == {"service": {"port": 80}}
    assert ok("POST", "/versions")["new_version"] == 6
    assert ok("PATCH", "/versions/2", {"extra": 1})["message"] == "Version 2 patched"
    assert ok("PUT", "/versions/6", {"only": 6})["message"] == "Version 6 updated"
    restored = ok("POST", "/versions/2/restore")
    assert (restored["current_version"], restored["config"]) == (
        6,
        {"service": {"port": 81}, "debug": False, "extra": 1},
    )
    assert ok("GET", "/database/current")["version"] == 6
    assert ok("POST", "/reload")["config"] == restored["config"]
    missing = client.request("POST", "/config/versions/99/restore")
    assert (missing.status_code, missing.json()) == (404, {"detail": "Version 99 does not exist"})
    refused = client.request("PUT", "/config/versions/99", json={})
    assert refused.json() == {"detail": "Failed to update version: Version 99 does not exist"}


def test_concurrent_writers_lose_nothing(real_store, serve):
    client = serve(real_store)

    async def write_all():
        requests = [client.http.put(f"/config/w{i}", json={"writer": i}) for i in range(WRITERS)]
        return await asyncio.gather(*requests)

    assert {r.status_code for r in client.run(write_all())} == {200}
    config = client.request("GET", "/config/").json()
    assert {k: v for k, v in config.items() if k != "service"} == {
        f"w{i}": {"writer": i} for i in range(WRITERS)
    }
    assert client.request("GET", "/config/versions").json()["total_versions"] == WRITERS + 1


@pytest.mark.parametrize(
    ("method", "path", "body", "where"),
    [
        ("put", "/config/", b'{"s": {"v": "\\ud800"}}', "s.v"),
        ("patch", "/config/", b'{"s": ["ok", "\\udfff"]}', "s[1]"),
        ("put", "/config/s", b'{"v": "\\ud800"}', "v"),
        ("put", "/config/versions/1", b'{"\\ud800": 1}', "'\\ud800'"),
        ("patch", "/config/versions/1", b'{"a": {"\\udc80b": 1}}', "a.'\\udc80b'"),
    ],
)
def test_text_without_utf8_form_is_refused_and_nothing_is_stored(
    real_store, serve, method, path, body, where
):
    client = serve(real_store)
    before = client.request("get", "/config/versions").json()
    refused = client.request(
        method, path, content=body, headers={"content-type": "application/json"}
    )
    assert (refused.status_code, refused.json()) == (
        422,
        {"detail": f"Text that cannot be encoded as UTF-8 at {where}"},
    )
    assert client.request("get", "/config/versions").json() == before
    assert client.request("get", "/config/").json() == {"service": {"port": 80}}
