"""Paging of GET /query/: the keyset cursor in the table's sorting key order, offset paging for
an order of the request's, and the three count modes."""

import base64

import pytest
from rowquery_app import serve


def walk(api, url):
    """Every page from `url` on, following the next links."""
    pages = []
    while url:
        r = api.get(url)
        assert r.status_code == 200, r.text
        pages.append(r.json())
        url = r.json()["next"]
    return pages


def test_cursor_pages_cover_the_filter_once_in_key_order(api):
    pages = walk(api, "/items/query/?select=name&limit=4&id=ne.5")
    assert [len(p["items"]) for p in pages] == [4, 4, 4, 4, 4, 4]
    names = [row["name"] for p in pages for row in p["items"]]
    assert names == [f"n{i}" for i in range(25) if i != 5]
    assert [p["offset"] for p in pages] == [0, None, None, None, None, None]
    # The link keeps the request's own parameters and carries the position, nothing else.
    assert pages[0]["next"] == "/items/query/?select=name&limit=4&id=ne.5&cursor=WyIzIl0"
    assert base64.urlsafe_b64decode("WyIzIl0=") == b'["3"]'


def test_a_request_order_pages_by_offset(api):
    pages = walk(api, "/items/query/?select=id&order=id.desc&limit=10")
    assert [p["offset"] for p in pages] == [0, 10, 20]
    assert pages[0]["next"] == "/items/query/?select=id&order=id.desc&limit=10&offset=10"
    assert [row["id"] for p in pages for row in p["items"]] == list(range(24, -1, -1))


def test_the_cursor_follows_a_compound_sorting_key(engine, database):
    table = f"{database}.events"
    engine.execute(
        f"CREATE TABLE {table} (day Date, seq UInt32, v String) ENGINE = MergeTree "
        "ORDER BY (day, seq)"
    )
    engine.execute(
        f"INSERT INTO {table} SELECT toDate('2024-01-01') + intDiv(number, 3), number % 3, "
        "toString(number) FROM numbers(10)"
    )
    api = serve(engine, table)
    pages = walk(api, "/items/query/?limit=4&select=v")
    assert [row["v"] for p in pages for row in p["items"]] == [str(i) for i in range(10)]


@pytest.mark.parametrize(
    ("query", "detail"),
    [
        ("cursor=WyIzIl0&order=id", "A cursor pages in the table's own order: leave out order"),
        ("cursor=WyIzIl0&offset=4", "A page is asked for by cursor or by offset, not both"),
        ("cursor=bm90IGpzb24", "The cursor is not one this table gave"),
        ("cursor=WyIzIiwiNCJd", "The cursor is not one this table gave"),
        ("cursor=WyJ4Il0", "The cursor is not one this table gave"),
        ("cursor=%25%25", "The cursor is not one this table gave"),
    ],
)
def test_a_cursor_that_does_not_fit_is_422(api, query, detail):
    r = api.get("/items/query/?" + query)
    assert r.status_code == 422, r.text
    assert r.json() == {"detail": detail}


def test_a_table_without_a_plain_sorting_key_or_key_pages_by_offset(engine, database):
    table = f"{database}.logs"
    engine.execute(
        f"CREATE TABLE {table} (t DateTime, m String) ENGINE = MergeTree ORDER BY toDate(t)"
    )
    engine.execute(
        f"INSERT INTO {table} VALUES ('2024-01-01 00:00:00', 'a'), ('2024-01-02 00:00:00', 'b')"
    )
    api = serve(engine, table)
    page = api.get("/items/query/?limit=1&order=t").json()
    assert page["next"] == "/items/query/?limit=1&order=t&offset=1"
    assert api.get("/items/query/?cursor=WyIzIl0").json() == {
        "detail": "This table has no cursor order: page with offset"
    }


@pytest.mark.parametrize(
    ("count", "expected"),
    [("exact", 12), ("none", None)],
)
def test_count_modes(api, count, expected):
    page = api.get(f"/items/query/?limit=1&id=gte.13&count={count}").json()
    assert (page["count"], page["count_mode"]) == (expected, count)


def test_the_estimate_is_the_engines_own(api, engine, items):
    page = api.get("/items/query/?limit=1&id=gte.13&count=estimated").json()
    explained = engine.execute(f"EXPLAIN ESTIMATE SELECT `id` FROM {items} WHERE `id` >= 13")
    assert page["count_mode"] == "estimated"
    assert page["count"] == sum(row[3] for row in explained) == 25


class RecordingClient:
    """The engine's client, keeping the statements the router sends."""

    def __init__(self, engine):
        self.engine, self.statements = engine, []

    def execute(self, query, params=None):
        self.statements.append(query)
        return self.engine.execute(query, params)


def test_a_cursor_page_reads_its_key_range_by_prewhere_without_offset(engine, items):
    client = RecordingClient(engine)
    api = serve(client, items)
    first = api.get("/items/query/?select=id&limit=2").json()
    api.get(first["next"])
    api.get("/items/query/?select=id&order=id&limit=2&offset=4")
    assert client.statements[-3:] == [
        f"SELECT `id` FROM {items} ORDER BY `id` LIMIT %(limit)s SETTINGS max_threads = 1",
        f"SELECT `id` FROM {items} PREWHERE ((`id` > %(p0)s)) ORDER BY `id` LIMIT %(limit)s "
        "SETTINGS max_threads = 1",
        f"SELECT `id` FROM {items} ORDER BY `id` LIMIT %(limit)s OFFSET %(offset)s",
    ]


@pytest.mark.parametrize(
    ("query", "statement", "ids"),
    [
        # A filter may match rows far apart: the engine weighs the conditions and its threads.
        (
            "name=ne.n4&cursor=WyIzIl0",
            "WHERE `name` != %(p0)s AND ((`id` > %(p1)s)) ORDER BY `id` LIMIT %(limit)s",
            [5, 6],
        ),
        # Skipped rows are read before the page's.
        ("offset=4", "ORDER BY `id` LIMIT %(limit)s OFFSET %(offset)s", [4, 5]),
    ],
)
def test_only_a_page_of_the_key_range_alone_reads_on_one_thread(
    engine, items, query, statement, ids
):
    client = RecordingClient(engine)
    page = serve(client, items).get("/items/query/?select=id&limit=2&" + query).json()
    assert [row["id"] for row in page["items"]] == ids
    assert client.statements[-1] == f"SELECT `id` FROM {items} {statement}"


def test_a_table_outside_the_merge_tree_family_keeps_the_cursor_in_where(engine, database):
    table = f"{database}.memory_items"
    engine.execute(f"CREATE TABLE {table} (id UInt64, v String) ENGINE = Memory")
    engine.execute(f"INSERT INTO {table} SELECT number, toString(number) FROM numbers(6)")
    client = RecordingClient(engine)
    page = serve(client, table, primary_key="id").get("/items/query/?limit=2&cursor=WyIzIl0")
    assert page.json()["items"] == [{"id": 4, "v": "4"}, {"id": 5, "v": "5"}]
    assert client.statements[-1] == (
        f"SELECT `id`, `v` FROM {table} WHERE ((`id` > %(p0)s)) ORDER BY `id` LIMIT %(limit)s "
        "SETTINGS max_threads = 1"
    )
