"""Many control-plane requests, answered and refused on each path (304, 200 with an ETag, 412,
422, dry runs, history reads, 404): nothing may accumulate. The store is the real one, so the
requests are the ones that do not write (a dry run stops before its row)."""

from collections import Counter

import leaks
from setcontrol_app import Client, build_app

LOOPS, WARMUP, TRACED = 2_000 // leaks.SCALE, 400 // leaks.SCALE, 400 // leaks.SCALE
SCHEMA = {"type": "object", "properties": {"debug": {"type": "boolean"}}}
REQUESTS = [
    ("GET", "/config/", {"If-None-Match": '"1.1"'}, None),
    ("GET", "/config/", {"If-None-Match": '"0.0"'}, None),
    ("GET", "/config/service", {"If-None-Match": "*"}, None),
    ("GET", "/config/absent", {"If-None-Match": "*"}, None),
    ("PUT", "/config/", {"If-Match": '"0.0"'}, {"debug": True}),
    ("PATCH", "/config/?dry_run=true", {}, {"debug": True}),
    ("PATCH", "/config/", {}, {"debug": "no"}),
    ("DELETE", "/config/debug?dry_run=true", {"If-Match": "*"}, None),
    ("GET", "/config/versions/1/diff/1", {}, None),
    ("GET", "/config/revisions/1", {}, None),
    ("GET", "/config/revisions/9", {}, None),
    ("GET", "/config/?index=0", {}, None),
    ("POST", "/config/revisions/1/restore?dry_run=true", {}, None),
]


def test_requests_leave_nothing_behind(store):
    client = Client(build_app(store, schema=SCHEMA))

    def run(count):
        async def requests():
            statuses = Counter()
            for n in range(count):
                method, path, headers, body = REQUESTS[n % len(REQUESTS)]
                response = await client.http.request(method, path, headers=headers, json=body)
                statuses[response.status_code] += 1
            return statuses

        return client._runner.run(requests())

    statuses = Counter()
    try:
        leaks.assert_no_growth(
            lambda count: statuses.update(run(count)),
            warmup=WARMUP,
            repeats=LOOPS,
            traced_warmup=WARMUP,
            traced=TRACED,
            counters=leaks.native_objects,
            objects=300,
            memory=256 * 1024,
        )
    finally:
        client.close()
    assert set(statuses) == {200, 304, 404, 412, 422}
