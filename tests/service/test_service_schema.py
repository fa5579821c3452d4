"""The service against its own OpenAPI document: schemathesis generates requests for every
operation (valid ones and ones the document says are invalid) and checks that no answer is a
500 and that every answer is one the document describes (status code, content type, body
schema). Two services as real processes on the embedded engine: the demo table, and a table
of many column types served with filters and a cached copy.

Bounded and repeatable: a fixed example budget per operation, a fixed seed with derandomized
generation and no example database, so CI sends the same requests every run."""

import datetime
import itertools
import re
import signal
import threading

import hypothesis
import pytest
import schemathesis
from schemathesis.checks import not_a_server_error
from schemathesis.core.failures import FailureGroup, as_reported_failure
from schemathesis.pytest.lazy import get_all_tests
from schemathesis.specs.openapi.checks import (
    content_type_conformance,
    response_schema_conformance,
    status_code_conformance,
)
from test_service import Service, prepare

TYPED = r"""
    CREATE TABLE default.typed (
        id UInt64,
        label LowCardinality(String),
        note Nullable(String),
        tags Array(String),
        scores Map(String, UInt8),
        price Decimal(12, 3),
        moment DateTime64(3),
        day Date32,
        state Enum8('new' = 1, 'it\'s done' = 2),
        ref UUID,
        ip4 IPv4,
        ip6 IPv6,
        code FixedString(4),
        big Int128,
        huge UInt256,
        flag Bool,
        small Int8 DEFAULT 3,
        created_at DateTime,
        doubled Int16 MATERIALIZED small * 2
    ) ENGINE = MergeTree ORDER BY id
"""
TYPED_SETTINGS = """
[[tables]]
name = "typed"
filterable = ["label", "note", "state", "ref", "ip4", "big", "flag", "day"]
cache = true
"""
TYPED_ROW = {
    "label": "a",
    "tags": ["x", ""],
    "scores": {"x": 255},
    "price": "-123456789.125",
    "moment": "2024-05-06T07:08:09.123",
    "day": "1900-01-01",
    "state": "it's done",
    "ref": "61f0c404-5cb3-11e7-907b-a6006ad3dba0",
    "ip4": "10.0.0.1",
    "ip6": "2001:db8::1",
    "code": "abcd",
    "big": -(2**127),
    "huge": 2**256 - 1,
    "flag": True,
}

# Answers the config and CRUD routers give by their fixed contract, on routes they register
# without listing them in OpenAPI (no `responses=`): each is the right answer to its request.
ROUTER_ANSWERS = {
    ("GET", "/config/{section}"): {404: r"Section '.*' not found in config"},
    ("DELETE", "/config/{section}"): {404: r"Section '.*' not found in config"},
    ("GET", "/config/versions/{version}"): {404: r"Version -?\d+ not found for default"},
    ("POST", "/config/versions/{version}/restore"): {404: r"Version -?\d+ does not exist"},
    ("POST", "/{table}/"): {409: r"Record with id='\d+' already exists\. Use PUT to update\."},
    ("GET", "/{table}/{key}"): {404: r"Record with id=\d+ not found in \w+"},
    ("PUT", "/{table}/{key}"): {404: r"Record with id=\d+ not found in \w+"},
    ("DELETE", "/{table}/{key}"): {404: r"Record with id=\d+ not found in \w+"},
    ("GET", "/{table}/{key}/history"): {404: r"No history found for id=\d+ in \w+"},
}
# Answers of the service itself before any route runs, for every route: its path guard
# refuses a control character in the path, and FastAPI a body that is not UTF-8.
BEFORE_ROUTING = {
    "path": {400: r"The path holds a control character"},
    "body": {400: r"There was an error parsing the body"},
}


def route_of(case):
    """The operation's method and path, with the served table and its key written generically
    (the CRUD routes of every table answer alike)."""
    path = case.operation.path
    _, slash, rest = path[1:].partition("/")
    if slash and not path.startswith(("/config/", "/cache/")):
        keyed = rest.startswith("{")
        path = "/{table}/" + ("{key}" + rest[rest.index("}") + 1 :] if keyed else rest)
    return case.method.upper(), path


def detail_of(response):
    try:
        answer = response.json()
    except ValueError:
        return None
    return answer.get("detail") if isinstance(answer, dict) else None


def routers_own_500(case, response, http):
    """The two 500s the routers' fixed contract gives where only a guard before routing could
    answer 4xx instead: the config router's edit of a version that does not exist (its contract
    gives no 404 there: the store's error ends as 500), and the CRUD router's list with an
    offset past UInt64 (its contract bounds the offset below only, and the engine refuses it)."""
    if response.status_code != 500:
        return False
    route = route_of(case)
    if route in (("PUT", "/config/versions/{version}"), ("PATCH", "/config/versions/{version}")):
        version = case.path_parameters["version"]
        edit = "update" if route[0] == "PUT" else "patch"
        return (
            detail_of(response) == f"Failed to {edit} version"
            and http.get(f"/config/versions/{version}").status_code == 404
        )
    if route == ("GET", "/{table}/"):
        offset = (case.query or {}).get("offset")
        return (
            detail_of(response) == "Failed to list records"
            and type(offset) is int
            and offset >= 2**64
        )
    return False


def undocumented_but_right(case, response, http):
    """Whether an answer that OpenAPI does not list is one the tables above name, or one of the
    routers' own 500s."""
    known = [ROUTER_ANSWERS.get(route_of(case), {})]
    if case.path_parameters:
        known.append(BEFORE_ROUTING["path"])
    if case.operation.body:
        known.append(BEFORE_ROUTING["body"])
    for answers in known:
        pattern = answers.get(response.status_code)
        if pattern and re.fullmatch(pattern, str(detail_of(response))):
            return True
    return routers_own_500(case, response, http)


CHECKS = [
    not_a_server_error,
    status_code_conformance,
    content_type_conformance,
    response_schema_conformance,
]
EXAMPLES_PER_OPERATION = 50
SEED = 20241209


class DrainedService(Service):
    """The service with its output read as it comes, so that a full pipe never stalls it; the
    last lines are kept for a failure's report."""

    def __enter__(self):
        super().__enter__()
        self.output = []
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        return self

    def read(self):
        for line in self.process.stdout:
            self.output[:] = [*self.output[-99:], line]

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        code = self.process.wait(timeout=60)
        self.reader.join()
        self.http.close()
        self.process.stdout.close()
        return code


@pytest.fixture(scope="module", params=["demo", "typed"])
def service(request, tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp(request.param)
    data_dir = tmp_path / "kelvora-data"
    args = ["--data-dir", str(data_dir), "--log-level", "warning"]
    if request.param == "typed":
        prepare(data_dir, TYPED)
        settings = tmp_path / "kelvora.toml"
        settings.write_text(TYPED_SETTINGS)
        args += ["--config", str(settings)]
    with DrainedService(*args, cwd=tmp_path) as running:
        if request.param == "typed":
            for key in (1, 2, 2**64 - 1):
                created = running.http.post("/typed/", json={"id": key, **TYPED_ROW})
                assert created.status_code == 200, created.text
            assert running.http.post("/cache/typed/refresh").status_code == 200
        yield running
        # After everything sent, the service still stops cleanly.
        assert running.stop() == 0, "".join(running.output)


@pytest.fixture(scope="module")
def api(service):
    config = schemathesis.Config.from_dict(
        {
            "seed": SEED,
            "request-timeout": 30,
            "generation": {
                "mode": "all",
                "max-examples": EXAMPLES_PER_OPERATION,
                "deterministic": True,
                "database": "none",
            },
        }
    )
    base = f"http://127.0.0.1:{service.port}"
    return schemathesis.openapi.from_url(base + "/openapi.json", config=config)


SETTINGS = hypothesis.settings(
    max_examples=EXAMPLES_PER_OPERATION,
    derandomize=True,
    database=None,
    # Generous: a request that takes this long has hung; speed is the benchmarks' to measure.
    deadline=datetime.timedelta(seconds=10),
    suppress_health_check=list(hypothesis.HealthCheck),
)

FRESH_KEYS = itertools.count(10**6)


def with_a_fresh_key(case):
    """Generated creates favour the smallest keys, which after the first insert meet 409 alone:
    a valid key is swapped for one not yet taken, so that each create reaches the engine."""
    body = case.body
    if route_of(case) == ("POST", "/{table}/") and isinstance(body, dict):
        key = body.get("id")
        if type(key) is int and 0 <= key < 2**64:
            body["id"] = next(FRESH_KEYS)


def without_watching(case):
    """A long poll rightly waits up to its `wait` seconds and an event stream never ends: the
    watch parameters are left out here (the control plane's own tests cover watches)."""
    for name in ("wait", "index"):
        (case.query or {}).pop(name, None)
    headers = case.headers or {}
    for name in [name for name in headers if name.lower() in ("accept", "last-event-id")]:
        del headers[name]


def answers_as_documented(case, service):
    with_a_fresh_key(case)
    without_watching(case)
    response = case.call()
    # A right answer that OpenAPI does not list is still checked for its content type and body.
    excluded = []
    if undocumented_but_right(case, response, service.http):
        excluded = [not_a_server_error, status_code_conformance]
    case.validate_response(response, checks=CHECKS, excluded_checks=excluded)


def test_every_answer_is_documented(api, service, subtests):
    # One subtest per operation, named by it. (schemathesis' own pytest integration of a
    # fixture's schema cannot name pytest 9.2's subtests.)
    for result in get_all_tests(
        schema=api, test_func=answers_as_documented, settings=SETTINGS, given_kwargs={}
    ):
        operation, run = result.ok()
        with subtests.test(msg=operation.label):
            try:
                run(service=service)
            except FailureGroup as failures:
                report = as_reported_failure(failures)
                report.add_note("The service's last lines:\n" + "".join(service.output))
                raise report from None
