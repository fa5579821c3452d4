"""Conditional requests: ETags on what an answer shows, 304 for an unchanged read, 412 for a
write whose configuration moved on, If-None-Match: * creating a section only if absent, and every
request that uses none of it answered as the config router alone answers it."""

import pytest
from setcontrol_app import INITIAL, etag


@pytest.mark.parametrize(
    ("path", "shown"),
    [
        ("/config/", INITIAL),
        ("/config/service", {"port": 80}),
        ("/config/versions/1", None),
        ("/config/database/current", None),
        ("/config/revisions/1", None),
    ],
)
def test_reads_carry_the_etag_and_answer_304_when_it_is_named(http, path, shown):
    response = http.get(path, headers={"If-None-Match": '"0.0"'})
    assert response.status_code == 200, response.text
    assert response.headers["etag"] == '"1.1"'
    if shown is not None:
        assert response.json() == shown
    for named in ['"1.1"', 'W/"1.1"', '"9.9", "1.1"', "*"]:
        unchanged = http.get(path, headers={"If-None-Match": named})
        assert (unchanged.status_code, unchanged.content) == (304, b"")
        assert unchanged.headers["etag"] == '"1.1"'


def test_the_etag_follows_writes_and_in_place_edits(http):
    assert (
        http.patch("/config/", json={"a": 1}, headers={"If-Match": '"1.1"'}).headers["etag"]
        == '"2.2"'
    )
    assert etag(http) == '"2.2"'
    assert (
        http.post("/config/versions/1/restore", headers={"If-Match": '"2.2"'}).headers["etag"]
        == '"2.3"'
    )
    # An edit of an older version moves that version's ETag, not the configuration's.
    edited = http.patch("/config/versions/1", json={"b": 1}, headers={"If-Match": '"1.1"'})
    assert (edited.status_code, edited.headers["etag"]) == (200, '"1.4"')
    assert edited.json() == {"status": "success", "message": "Version 1 patched"}
    assert etag(http, "/config/versions/1") == '"1.4"'
    assert etag(http, "/config/database/current") == '"2.3"'


WRITES = [
    ("PUT", "/config/", {"debug": True}),
    ("PATCH", "/config/", {"debug": True}),
    ("PUT", "/config/service", {"port": 81}),
    ("DELETE", "/config/debug", None),
    ("POST", "/config/versions", None),
    ("POST", "/config/versions/1/restore", None),
    ("POST", "/config/revisions/1/restore", None),
]


@pytest.mark.parametrize(("method", "path", "body"), WRITES)
def test_a_write_whose_configuration_moved_on_answers_412_and_stores_nothing(
    http, store, method, path, body
):
    store.patch_config({"other": 1})  # another writer: the configuration is at "2.2"
    for stale in ['"1.1"', 'W/"2.2"']:
        response = http.request(method, path, json=body, headers={"If-Match": stale})
        assert response.status_code == 412, response.text
        assert response.json() == {"detail": 'Precondition failed: the current ETag is "2.2"'}
        assert response.headers["etag"] == '"2.2"'
    assert store.get_state() == {"version": 2, "revision": 2, "last_revision": 2}
    for form in ["{}", '"7.7", {}', "*"]:
        store.patch_config({"debug": False})  # the section the DELETE removes
        current = '"{version}.{revision}"'.format(**store.get_state())
        response = http.request(method, path, json=body, headers={"If-Match": form.format(current)})
        assert response.status_code == 200, response.text
        assert response.headers["etag"] == '"{version}.{revision}"'.format(**store.get_state())


@pytest.mark.parametrize(("method", "path", "body"), WRITES)
def test_if_none_match_naming_the_current_etag_refuses_a_write(http, store, method, path, body):
    response = http.request(method, path, json=body, headers={"If-None-Match": '"1.1"'})
    assert response.status_code == 412, response.text
    assert store.get_state()["last_revision"] == 1


def test_version_edits_compare_the_edited_versions_etag(http, store):
    store.patch_config({"other": 1})
    moved = http.put("/config/versions/1", json={"x": 1}, headers={"If-Match": '"2.2"'})
    assert moved.status_code == 412, moved.text
    assert moved.json() == {"detail": 'Precondition failed: the current ETag is "1.1"'}
    edited = http.put("/config/versions/1", json={"x": 1}, headers={"If-Match": '"1.1"'})
    assert (edited.status_code, edited.headers["etag"]) == (200, '"1.3"')
    assert edited.json() == {"status": "success", "message": "Version 1 updated"}


def test_if_none_match_star_creates_a_section_only_if_absent(http, store):
    created = http.put("/config/cache", json={"ttl": 5}, headers={"If-None-Match": "*"})
    assert created.status_code == 200, created.text
    assert created.json() == {**INITIAL, "cache": {"ttl": 5}}
    again = http.put("/config/cache", json={"ttl": 6}, headers={"If-None-Match": "*"})
    assert again.status_code == 412, again.text
    assert again.json() == {"detail": "Precondition failed: section 'cache' exists"}
    assert store.get_config(refresh=True)["cache"] == {"ttl": 5}


def test_conditional_reads_of_what_does_not_exist_answer_404(http):
    missing = {"If-None-Match": "*"}
    assert http.get("/config/nope", headers=missing).json() == {
        "detail": "Section 'nope' not found in config"
    }
    assert http.get("/config/versions/9", headers=missing).json() == {
        "detail": "Version 9 not found for default"
    }
    assert http.get("/config/revisions/9", headers=missing).status_code == 404


PLAIN = [
    ("GET", "/config/", None),
    ("PUT", "/config/", {"service": {"port": 81}, "debug": True}),
    ("PATCH", "/config/", {"debug": False}),
    ("GET", "/config/service", None),
    ("GET", "/config/nope", None),
    ("PUT", "/config/cache", {"ttl": 5}),
    ("DELETE", "/config/cache", None),
    ("DELETE", "/config/cache", None),
    ("GET", "/config/versions", None),
    ("GET", "/config/versions/2", None),
    ("PATCH", "/config/versions/2", {"x": 1}),
    ("POST", "/config/versions", None),
    ("POST", "/config/versions/1/restore", None),
    ("POST", "/config/versions/99/restore", None),
    ("GET", "/config/database/current", None),
    ("POST", "/config/reload", None),
    ("POST", "/config/", None),
    ("GET", "/config/versions/x", None),
]


def test_requests_without_conditions_are_answered_as_by_the_config_router_alone(make_store, serve):
    alone, beside = serve(make_store(), control=False), serve(make_store())
    for method, path, body in PLAIN:
        expected = alone.request(method, path, json=body)
        answered = beside.request(method, path, json=body)
        assert answered.status_code == expected.status_code, (method, path)
        assert answered.headers.items() == expected.headers.items(), (method, path)
        # Timestamps of versions written a second apart may differ.
        if "versions" not in path or method != "GET":
            assert answered.content == expected.content, (method, path)
