"""Paths with control characters are refused with 400 before routing, against the service as a
real process: `PUT /config/%0A` must not reach `PUT /config/` and replace the configuration."""

import pytest
from test_service import Service

REFUSED = {"detail": "The path holds a control character"}


@pytest.fixture(scope="module")
def http(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("paths")
    with Service("--data-dir", str(tmp_path / "kelvora-data"), cwd=tmp_path) as service:
        yield service.http


@pytest.mark.parametrize(
    "method, path",
    [
        ("PUT", "/config/%0A"),
        ("PUT", "/config/%0D%0A"),
        ("PUT", "/config/limits%0A"),
        ("DELETE", "/config/features%0A"),
        ("PATCH", "/config/%00"),
        ("GET", "/products/1%0A"),
        ("DELETE", "/products/1%09"),
        ("GET", "/cache/products/1%7F"),
        ("GET", "/%1Fdocs"),
    ],
)
def test_a_path_with_a_control_character_is_refused(http, method, path):
    before = http.get("/config/").json()
    answer = http.request(method, path, json={"replaced": True})
    assert (answer.status_code, answer.json()) == (400, REFUSED)
    assert http.get("/config/").json() == before
    assert http.get("/products/1").status_code == 200


def test_other_escaped_characters_still_route(http):
    assert http.put("/config/a%20b", json={"v": 1}).status_code == 200
    assert http.get("/config/a%20b").json() == {"v": 1}
    assert http.get("/products/%31").json()["id"] == 1
