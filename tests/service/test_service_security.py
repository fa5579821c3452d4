"""Who may call the service, against it as a real process: API keys (full and read-only) on
every data route, CORS origins, and 500 answers that keep the engine's internals in the log."""

import re

import pytest
from test_service import Service, prepare
from test_service_operations import stop_and_read

FULL, READ_ONLY = "full-key-0123", "read-key-4567"
REQUIRED = (401, {"detail": "An API key is required (X-API-Key or Authorization: Bearer)"})
INVALID = (401, {"detail": "The API key is not valid"})
READS_ONLY = (403, {"detail": "This API key may only read"})

ROUTES = [
    ("GET", "/config/"),
    ("PUT", "/config/limits"),
    ("GET", "/config/versions"),
    ("POST", "/config/versions"),
    ("GET", "/products/"),
    ("GET", "/products/1"),
    ("POST", "/products/"),
    ("DELETE", "/products/5"),
    ("GET", "/cache/products/1"),
    ("POST", "/cache/products/refresh"),
    ("GET", "/metrics"),
]
BODIES = {("PUT", "/config/limits"): {"page_size": 10}, ("POST", "/products/"): {"id": 1}}


@pytest.fixture(scope="module")
def http(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("security")
    args = ["--data-dir", str(tmp_path / "d"), "--api-key", FULL, "--cors-origin", "https://a.test"]
    service = Service(*args, cwd=tmp_path)
    with pytest.MonkeyPatch.context() as environment:
        # The read-only key comes from the service's environment, the full one from a flag.
        environment.setenv("KELVORA_READ_ONLY_API_KEYS", f'["{READ_ONLY}"]')
        service.__enter__()
    try:
        yield service.http
    finally:
        service.__exit__(None, None, None)


def call(http, method, path, headers):
    answer = http.request(method, path, headers=headers, json=BODIES.get((method, path)))
    return answer.status_code, answer.json() if answer.status_code in (401, 403) else None


@pytest.mark.parametrize("method, path", ROUTES)
@pytest.mark.parametrize(
    "headers, refused",
    [({}, REQUIRED), ({"X-API-Key": "wrong"}, INVALID), ({"Authorization": "Bearer wrong"},
     INVALID), ({"Authorization": f"Basic {FULL}"}, REQUIRED)],
    ids=["none", "wrong key", "wrong bearer", "not bearer"],
)  # fmt: skip
def test_every_data_route_needs_a_key(http, method, path, headers, refused):
    assert call(http, method, path, headers) == refused
    answer = http.request(method, path, headers=headers)
    if refused[0] == 401:
        assert answer.headers["WWW-Authenticate"] == "Bearer"


@pytest.mark.parametrize("method, path", ROUTES)
@pytest.mark.parametrize(
    "headers", [{"X-API-Key": FULL}, {"Authorization": f"Bearer {FULL}"}], ids=["header", "bearer"]
)
def test_a_full_key_passes(http, method, path, headers):
    status, _ = call(http, method, path, headers)
    assert status not in (401, 403)


@pytest.mark.parametrize("method, path", ROUTES)
def test_a_read_only_key_reads_only(http, method, path):
    status, body = call(http, method, path, {"X-API-Key": READ_ONLY})
    if method == "GET":
        assert status == 200
    else:
        assert (status, body) == READS_ONLY


@pytest.mark.parametrize("path", ["/healthz", "/readyz", "/docs", "/openapi.json"])
def test_probes_and_documentation_stay_open(http, path):
    assert http.get(path).status_code == 200


def test_the_document_declares_both_ways_of_sending_a_key(http):
    document = http.get("/openapi.json").json()
    assert document["components"]["securitySchemes"] == {
        "APIKeyHeader": {"type": "apiKey", "in": "header", "name": "X-API-Key"},
        "HTTPBearer": {"type": "http", "scheme": "bearer"},
    }
    assert document["paths"]["/products/{id}"]["get"]["security"] == [
        {"APIKeyHeader": []},
        {"HTTPBearer": []},
    ]
    assert "security" not in document["paths"]["/healthz"]["get"]


@pytest.mark.parametrize(
    "origin, allowed", [("https://a.test", "https://a.test"), ("https://b.test", None)]
)
def test_cors_origins(http, origin, allowed):
    preflight = http.options(
        "/products/1",
        headers={"Origin": origin, "Access-Control-Request-Method": "DELETE"},
    )
    assert preflight.headers.get("Access-Control-Allow-Origin") == allowed
    assert "X-Request-ID" in preflight.headers
    answer = http.get("/products/1", headers={"Origin": origin, "X-API-Key": FULL})
    assert answer.headers.get("Access-Control-Allow-Origin") == allowed
    if allowed:
        assert answer.headers["Access-Control-Expose-Headers"] == "X-Request-ID"


def test_without_keys_nothing_is_asked(tmp_path):
    with Service("--data-dir", str(tmp_path / "d"), cwd=tmp_path) as service:
        assert service.http.get("/products/1").status_code == 200
        assert service.http.get("/metrics").status_code == 200
        assert service.stop() == 0


GUARDED = (
    "CREATE TABLE default.guarded (id UInt64, price Float64, CONSTRAINT positive CHECK price > 0) "
    "ENGINE = MergeTree ORDER BY id"
)


@pytest.mark.parametrize("show", [False, True], ids=["hidden", "shown"])
def test_a_500_answer_keeps_the_engine_error_in_the_log(tmp_path, show):
    data_dir = tmp_path / "d"
    prepare(data_dir, GUARDED)
    args = ["--data-dir", str(data_dir), "--table", "guarded"]
    with Service(*args, *(["--show-error-details"] if show else []), cwd=tmp_path) as service:
        answer = service.http.post(
            "/guarded/", json={"id": 1, "price": -1.0}, headers={"X-Request-ID": "fail-1"}
        )
        exposition = service.http.get("/metrics").text
        output = stop_and_read(service)
    assert (answer.status_code, answer.headers["X-Request-ID"]) == (500, "fail-1")
    # The failed INSERT and the 500 answer are counted as errors.
    for line in [
        'kelvora_errors_total{source="engine"} 1.0',
        'kelvora_errors_total{source="http"} 1.0',
        'kelvora_http_requests_total{method="POST",route="/guarded/",status="500"} 1.0',
    ]:
        assert line in exposition.splitlines()
    if show:
        detail = answer.json()["detail"]
        assert detail.startswith("Failed to create record: ") and "positive" in detail
    else:
        assert answer.json() == {"detail": "Failed to create record", "request_id": "fail-1"}
    # The log has the whole error, under the request's id.
    logged = [line for line in output.splitlines() if "[fail-1]" in line]
    assert any(
        re.search(r" ERROR \S+ \[fail-1\] Error creating record in guarded: .*positive", line)
        for line in logged
    ), output
