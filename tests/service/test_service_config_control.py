"""The service's configuration routes with their control plane: ETags and If-Match, a JSON
Schema checked before anything is stored, dry runs, and a schema file that is not one."""

import json
import os

import pytest
from test_service import Service
from test_service_settings import serve

SCHEMA = {
    "type": "object",
    "properties": {"limits": {"type": "object", "properties": {"page_size": {"type": "integer"}}}},
}


@pytest.fixture
def service(tmp_path):
    (tmp_path / "schema.json").write_text(json.dumps(SCHEMA))
    args = ("--data-dir", str(tmp_path / "data"), "--config-schema", "schema.json")
    with Service(*args, cwd=tmp_path) as running:
        yield running


def test_conditional_writes_validation_and_dry_runs(service):
    http = service.http
    # An If-None-Match asks for the ETag; a plain read answers as the config router does.
    assert "ETag" not in http.get("/config/").headers
    tag = http.get("/config/", headers={"If-None-Match": '"none"'}).headers["ETag"]
    assert http.get("/config/", headers={"If-None-Match": tag}).status_code == 304
    refused = http.put("/config/limits", json={"page_size": "many"})
    assert (refused.status_code, refused.json()) == (
        422,
        {"detail": "Invalid configuration at /limits/page_size: 'many' is not of type 'integer'"},
    )
    dry = http.put("/config/limits", params={"dry_run": "true"}, json={"page_size": 7})
    assert dry.status_code == 200 and dry.json()["dry_run"] is True
    assert http.get("/config/", headers={"If-None-Match": tag}).status_code == 304
    landed = http.put("/config/limits", json={"page_size": 7}, headers={"If-Match": tag})
    assert landed.status_code == 200, landed.text
    stale = http.put("/config/limits", json={"page_size": 8}, headers={"If-Match": tag})
    assert stale.status_code == 412
    assert http.get("/config/").json()["limits"] == {"page_size": 7}
    # The plain routes answer as before, and the schema documents the control answers.
    assert http.get("/config/versions").json()["total_versions"] == 2
    operation = http.get("/openapi.json").json()["paths"]["/config/{section}"]["put"]
    assert {"412", "422"} <= set(operation["responses"])


@pytest.mark.parametrize(
    "text, line",
    [
        ("[1]", "schema.json: a JSON Schema must be an object"),
        ('{"type": 3}',
         "schema.json: not a JSON Schema: 3 is not valid under any of the given schemas"),
        ("{", "cannot read schema.json: Expecting property name enclosed in double quotes: "
         "line 1 column 2 (char 1)"),
    ],
)  # fmt: skip
def test_a_schema_file_that_is_not_one_stops_the_start(tmp_path, text, line):
    (tmp_path / "schema.json").write_text(text)
    done = serve("--data-dir", "data", "--config-schema", "schema.json", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (2, f"kelvora: {line}\n")
    assert sorted(os.listdir(tmp_path)) == ["schema.json"]
