"""What an operator watches, against the service as a real process: /healthz and /readyz, a
request id on every answer and in every log line (text or JSON), and Prometheus metrics."""

import json
import re
import signal

import pytest
from test_service import Service

HEX_ID = re.compile(r"[0-9a-f]{32}")


def stop_and_read(service):
    """Stops the service and gives everything it wrote."""
    service.process.send_signal(signal.SIGINT)
    output, _ = service.process.communicate(timeout=60)
    service.http.close()
    return output


@pytest.fixture(scope="module")
def http(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("operations")
    with Service("--data-dir", str(tmp_path / "kelvora-data"), cwd=tmp_path) as service:
        yield service.http


@pytest.mark.parametrize(
    "path, status, body",
    [("/healthz", 200, {"status": "ok"}), ("/readyz", 200, {"status": "ready"})],
)
def test_probes(http, path, status, body):
    answer = http.get(path)
    assert (answer.status_code, answer.json()) == (status, body)


@pytest.mark.parametrize(
    "sent", ["abc-1", "0f8e2c1a-9d6b-4c55-8e71-3b1f7a2d9c40", "a.b:c_d", "x" * 128]
)
@pytest.mark.parametrize(
    "method, path, status",
    [
        ("GET", "/products/1", 200),
        ("GET", "/products/999", 404),
        ("GET", "/products/nope", 422),
        ("GET", "/config/%0A", 400),
        ("GET", "/nowhere", 404),
    ],
)
def test_a_sane_request_id_is_answered_back(http, sent, method, path, status):
    answer = http.request(method, path, headers={"X-Request-ID": sent})
    assert (answer.status_code, answer.headers["X-Request-ID"]) == (status, sent)


@pytest.mark.parametrize(
    "headers",
    [{}, {"X-Request-ID": ""}, {"X-Request-ID": "has space"}, {"X-Request-ID": "x" * 129},
     {"X-Request-ID": "-leading-dash"}, {"X-Request-ID": "semi;colon"}],
    ids=["none", "empty", "space", "too long", "leading dash", "semicolon"],
)  # fmt: skip
def test_otherwise_the_service_makes_one(http, headers):
    first = http.get("/products/1", headers=headers).headers["X-Request-ID"]
    second = http.get("/products/1", headers=headers).headers["X-Request-ID"]
    assert HEX_ID.fullmatch(first) and HEX_ID.fullmatch(second) and first != second


def test_text_log_lines_carry_the_request_id(tmp_path):
    with Service("--data-dir", str(tmp_path / "d"), cwd=tmp_path) as service:
        service.http.get("/products/1", headers={"X-Request-ID": "trace-7"})
        output = stop_and_read(service)
    lines = output.splitlines()
    assert any(
        re.fullmatch(
            r"\S+ \S+ INFO uvicorn\.access \[trace-7\] 127\.0\.0\.1:\d+ - "
            r'"GET /products/1 HTTP/1\.1" 200',
            line,
        )
        for line in lines
    ), output
    assert any(line.endswith(" INFO uvicorn.error [-] Application startup complete.")
               for line in lines), output  # fmt: skip


def test_json_log_lines(tmp_path):
    with Service(
        "--data-dir", str(tmp_path / "d"), "--log-format", "json", cwd=tmp_path
    ) as service:
        service.http.get("/products/1", headers={"X-Request-ID": "trace-8"})
        output = stop_and_read(service)
    records = [json.loads(line) for line in output.splitlines()]
    assert all(set(record) == {"time", "level", "logger", "request_id", "message"}
               for record in records), output  # fmt: skip
    [access] = [record for record in records if record["request_id"] == "trace-8"]
    assert (access["level"], access["logger"]) == ("INFO", "uvicorn.access")
    assert re.fullmatch(r'127\.0\.0\.1:\d+ - "GET /products/1 HTTP/1\.1" 200', access["message"])
    assert {"level": "INFO", "logger": "uvicorn.error", "request_id": "-",
            "message": "Application startup complete."} in [
        {key: value for key, value in record.items() if key != "time"} for record in records
    ]  # fmt: skip


def samples(text):
    """The metric samples of a Prometheus exposition, by name and labels."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            found[name] = float(value)
    return found


def test_metrics(tmp_path):
    with Service("--data-dir", str(tmp_path / "d"), cwd=tmp_path) as service:
        http = service.http
        before = samples(http.get("/metrics").text)
        for path in ["/products/1", "/products/2", "/products/999", "/config/", "/nowhere"]:
            http.get(path)
        assert http.post("/products/", json={"id": 1}).status_code == 422
        # Methods beyond the standard ones share one series, however many a client sends.
        for method in ["PURGE", "PROPFIND"]:
            assert http.request(method, "/config/").status_code == 405
        answer = http.get("/metrics")
        after = samples(answer.text)
        assert service.stop() == 0
    assert answer.headers["content-type"] == "text/plain; version=1.0.0; charset=utf-8"
    requests = {
        name: value
        for name, value in after.items()
        if name.startswith("kelvora_http_requests_total")
    }
    assert requests == {
        # The helper's wait for the service to answer.
        'kelvora_http_requests_total{method="GET",route="/docs",status="200"}': 1.0,
        'kelvora_http_requests_total{method="GET",route="/metrics",status="200"}': 1.0,
        'kelvora_http_requests_total{method="GET",route="/products/{id}",status="200"}': 2.0,
        'kelvora_http_requests_total{method="GET",route="/products/{id}",status="404"}': 1.0,
        'kelvora_http_requests_total{method="GET",route="/config/",status="200"}': 1.0,
        'kelvora_http_requests_total{method="GET",route="unmatched",status="404"}': 1.0,
        'kelvora_http_requests_total{method="POST",route="/products/",status="422"}': 1.0,
        'kelvora_http_requests_total{method="OTHER",route="/config/",status="405"}': 2.0,
    }
    latency = 'kelvora_http_request_duration_seconds_count{method="GET",route="/products/{id}"}'
    assert after[latency] == 3.0
    bucket = (
        'kelvora_http_request_duration_seconds_bucket{le="+Inf",method="GET",'
        'route="/products/{id}"}'
    )
    assert after[bucket] == 3.0
    # Start-up's statements are counted too; each answered GET of a record runs one SELECT.
    selects = 'kelvora_engine_statements_total{statement="SELECT"}'
    assert before[selects] > 0 and after[selects] >= before[selects] + 3
    timed = 'kelvora_engine_statement_duration_seconds_count{statement="SELECT"}'
    assert after[timed] == after[selects]
    # The table's columns are read once for its models and once by its query router.
    assert before['kelvora_engine_statements_total{statement="DESCRIBE"}'] == 2.0
    assert (after['kelvora_errors_total{source="http"}'],
            after['kelvora_errors_total{source="engine"}']) == (0.0, 0.0)  # fmt: skip


def test_the_operations_routes_are_documented(http):
    paths = http.get("/openapi.json").json()["paths"]
    assert {path: list(paths[path]) for path in ("/healthz", "/readyz", "/metrics")} == {
        "/healthz": ["get"],
        "/readyz": ["get"],
        "/metrics": ["get"],
    }
    assert list(paths["/readyz"]["get"]["responses"]) == ["200", "503"]
