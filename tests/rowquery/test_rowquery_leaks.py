"""Many requests across the query router's routes and refusals: nothing may accumulate (objects
the collector tracks, the reference counts of what the router holds, traced memory)."""

import itertools
import logging

import leaks


def test_requests_leave_nothing_behind(engine, items):
    from rowquery_app import serve

    logging.getLogger("kelvora.rowquery").disabled = True
    api = serve(engine, items, primary_key="id")
    cursor = api.get("/items/query/?limit=2").json()["next"]
    urls = itertools.cycle(
        [
            ("get", cursor),
            ("get", "/items/query/?order=price.desc&select=id,at&count=exact&limit=3"),
            ("get", "/items/query/?id=in.(1,x)"),
            ("get", "/items/query/?nosuch=eq.1"),
            ("get", "/items/query/?cursor=WyJ4Il0"),
            ("get", "/items/export/?id=lt.3&format=csv"),
            ("post", "/items/bulk/"),
        ]
    )
    bad_row = [
        {"id": 1, "name": "n", "price": "1.234", "tags": [], "at": "2024-01-01", "kind": "a"}
    ]

    def run(count):
        for _ in range(count):
            method, url = next(urls)
            if method == "post":
                assert api.post(url, json=bad_row).status_code == 422
            else:
                assert api.get(url).status_code in (200, 422)

    leaks.assert_no_growth(
        run,
        warmup=300 // leaks.SCALE,
        repeats=1_400 // leaks.SCALE,
        traced=350 // leaks.SCALE,
        traced_warmup=70 // leaks.SCALE,
        watched=[engine],
        counters=leaks.native_objects,
        # A one-time step of about 80 objects shows after the warm-up whatever the count (the
        # same with 700 and 2,800 requests); a leak grows with the requests.
        objects=200,
    )
