"""The control plane in OpenAPI: the config router's operations carry the control router's
headers, query parameters and answers (304, 409, 412, 422) once document_control_plane is called,
the history operations are documented as they are, and the schema is valid OpenAPI."""

import pytest
from openapi_spec_validator import validate
from setcontrol_app import build_app

from kelvora.setcontrol import document_control_plane

CONDITIONS = [("If-Match", "header"), ("If-None-Match", "header"), ("dry_run", "query")]
WATCH = [
    ("If-None-Match", "header"),
    ("wait", "query"),
    ("index", "query"),
    ("Accept", "header"),
    ("Last-Event-ID", "header"),
]
WRITE_ANSWERS = {"200", "404", "409", "412", "422"}


@pytest.fixture
def schema(store):
    app = build_app(store)
    document_control_plane(app)
    return app.openapi()


def added(operation):
    return [(p["name"], p["in"]) for p in operation.get("parameters", []) if p["in"] != "path"]


@pytest.mark.parametrize(
    ("path", "method", "parameters", "answers"),
    [
        ("/config/", "get", WATCH, {"200", "304", "400", "422"}),
        ("/config/", "put", CONDITIONS, WRITE_ANSWERS),
        ("/config/", "patch", CONDITIONS, WRITE_ANSWERS),
        ("/config/{section}", "get", [("If-None-Match", "header")], {"200", "304", "404", "422"}),
        ("/config/{section}", "put", CONDITIONS, WRITE_ANSWERS),
        ("/config/{section}", "delete", CONDITIONS, WRITE_ANSWERS),
        ("/config/versions", "post", CONDITIONS, WRITE_ANSWERS),
        ("/config/versions/{version}/restore", "post", CONDITIONS, WRITE_ANSWERS),
        ("/config/database/current", "get", [("If-None-Match", "header")], {"200", "304", "404"}),
    ],
)
def test_config_operations_document_the_control_plane(schema, path, method, parameters, answers):
    operation = schema["paths"][path][method]
    assert added(operation) == parameters
    assert set(operation["responses"]) == answers
    # The operation stays the config router's own.
    assert (
        operation["operationId"].startswith(method + "_") or "_config" in operation["operationId"]
    )


def test_a_412_is_described_with_its_etag(schema):
    answer = schema["paths"]["/config/"]["put"]["responses"]["412"]["description"]
    assert answer.startswith("Precondition Failed: If-Match does not name the current ETag")


def test_history_operations_are_documented(schema):
    paths = schema["paths"]
    assert set(paths["/config/revisions/{revision}/restore"]["post"]["responses"]) == (
        WRITE_ANSWERS
    )
    assert set(paths["/config/revisions/{revision}"]["get"]["responses"]) == {
        "200",
        "304",
        "404",
        "422",
    }
    assert {"/config/versions/{version}/revisions", "/config/versions/{version}/diff/{other}"} <= (
        set(paths)
    )


def test_the_schema_is_valid_openapi_and_documenting_twice_changes_nothing(store, schema):
    validate(schema)
    app = build_app(store)
    document_control_plane(app)
    document_control_plane(app)
    assert app.openapi() == schema


def test_without_documenting_the_config_operations_are_the_config_routers_alone(store, make_store):
    alone = build_app(make_store(), control=False).openapi()
    beside = build_app(store).openapi()
    for path, operations in alone["paths"].items():
        assert beside["paths"][path] == operations
