"""The history: revisions of a version, one revision, RFC 6902 diffs between versions and
revisions with their summary, and restoring a revision."""

import pytest
from fastapi import Header
from setcontrol_app import INITIAL


@pytest.fixture
def edited(store):
    """Version 1 (revision 1), version 2 (2), then version 2 restored from 1 (3)."""
    store.update_config({"service": {"port": 81, "tls": True}, "cache": {"ttl": 5}})
    store.restore_version(1)
    return store


def test_revisions_of_a_version_newest_first(http, edited):
    response = http.get("/config/versions/2/revisions")
    assert response.status_code == 200, response.text
    body = response.json()
    assert [r["revision"] for r in body["revisions"]] == [3, 2]
    assert body["status"] == "success" and body["version"] == 2
    assert {r["updated_at"][-6:] for r in body["revisions"]} == {"+00:00"}
    assert http.get("/config/versions/7/revisions").json() == {
        "detail": "Version 7 not found for default"
    }


def test_one_revision_with_its_payload(http, edited):
    response = http.get("/config/revisions/2")
    assert response.status_code == 200, response.text
    body = response.json()
    del body["updated_at"]
    assert body == {
        "status": "success",
        "version": 2,
        "revision": 2,
        "author": None,
        "config": {"service": {"port": 81, "tls": True}, "cache": {"ttl": 5}},
    }
    assert response.headers["etag"] == '"2.2"'
    assert http.get("/config/revisions/9").json() == {"detail": "Revision 9 not found for default"}


def test_diff_between_revisions_as_json_patch_and_summary(http, edited):
    response = http.get("/config/revisions/1/diff/2")
    assert response.status_code == 200, response.text
    assert response.json() == {
        "from": {"version": 1, "revision": 1},
        "to": {"version": 2, "revision": 2},
        "patch": [
            {"op": "remove", "path": "/debug"},
            {"op": "replace", "path": "/service/port", "value": 81},
            {"op": "add", "path": "/service/tls", "value": True},
            {"op": "add", "path": "/cache", "value": {"ttl": 5}},
        ],
        "summary": {"added": ["cache"], "removed": ["debug"], "changed": ["service"]},
    }


def test_diff_between_versions_compares_their_newest_revisions(http, edited):
    response = http.get("/config/versions/1/diff/2")
    assert response.status_code == 200, response.text
    assert response.json() == {
        "from": {"version": 1, "revision": 1},
        "to": {"version": 2, "revision": 3},
        "patch": [],
        "summary": {"added": [], "removed": [], "changed": []},
    }
    assert http.get("/config/versions/1/diff/5").json() == {
        "detail": "Version 5 not found for default"
    }


@pytest.mark.parametrize(
    ("before", "after", "patch"),
    [
        ({"a": 1}, {"a": True}, [{"op": "replace", "path": "/a", "value": True}]),
        ({"a": 1}, {"a": 1.0}, []),
        ({"a": [1, 2]}, {"a": [1, 3]}, [{"op": "replace", "path": "/a", "value": [1, 3]}]),
        ({"a": {"b": 1}}, {"a": [1]}, [{"op": "replace", "path": "/a", "value": [1]}]),
        (
            {"x/y": 1, "t~": 1},
            {},
            [{"op": "remove", "path": "/x~1y"}, {"op": "remove", "path": "/t~0"}],
        ),
        ({"a": None}, {"a": None}, []),
    ],
)
def test_json_patch_compares_json_values(http, make_store, serve, before, after, patch):
    store = make_store(before)
    store.update_config(after)
    assert serve(store).get("/config/revisions/1/diff/2").json()["patch"] == patch


def test_restore_of_a_revision_writes_it_into_the_latest_version(http, edited):
    response = http.post("/config/revisions/2/restore", headers={"If-Match": '"2.3"'})
    assert response.status_code == 200, response.text
    assert response.json() == {
        "status": "success",
        "message": "Restored config from revision 2",
        "restored_from_revision": 2,
        "current_version": 2,
        "config": {"service": {"port": 81, "tls": True}, "cache": {"ttl": 5}},
    }
    assert response.headers["etag"] == '"2.4"'
    assert edited.get_config(refresh=True) == response.json()["config"]
    assert http.post("/config/revisions/9/restore").json() == {
        "detail": "Revision 9 does not exist"
    }
    assert http.get("/config/", headers={"If-None-Match": "*"}).headers["etag"] == '"2.4"'
    assert edited.get_revision(3)["payload"] == INITIAL


class Principal:
    def __init__(self, name):
        self.name = name


@pytest.mark.parametrize(
    "principal",
    [lambda user: user, lambda user: {"name": user}, Principal],
    ids=["text", "mapping", "attribute"],
)
def test_revisions_name_who_wrote_them_where_authentication_names_one(store, serve, principal):
    async def authenticate(x_user: str = Header("nobody")):
        return principal(x_user)

    http = serve(store, auth_dependency=authenticate)
    for user in ["alice", "bob"]:
        response = http.patch(
            "/config/", json={"by": user}, headers={"If-Match": "*", "X-User": user}
        )
        assert response.status_code == 200, response.text
    listed = http.get("/config/versions/3/revisions").json()["revisions"]
    assert [(r["revision"], r["author"]) for r in listed] == [(3, "bob")]
    assert http.get("/config/revisions/2").json()["author"] == "alice"
    assert http.get("/config/revisions/1").json()["author"] is None


def test_a_dependency_that_names_nobody_records_no_author(store, serve):
    async def authenticate():
        return 42

    http = serve(store, auth_dependency=authenticate)
    assert http.put("/config/x", json={}, headers={"If-Match": "*"}).status_code == 200
    assert http.get("/config/revisions/2").json()["author"] is None
    assert store.get_authors() == {}
