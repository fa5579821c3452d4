import native_test_ext as ext
import pytest


class Row:
    """A row that is only iterable."""

    def __init__(self, *values):
        self.values = values

    def __iter__(self):
        return iter(self.values)


@pytest.mark.parametrize(
    "columns, rows, expected",
    [
        (["a", "b"], [(1, 2), [3, 4]], [{"a": 1, "b": 2}, {"a": 3, "b": 4}]),
        (("a", "b", "c"), [(1, 2)], [{"a": 1, "b": 2}]),
        (["a"], [(1, 2)], [{"a": 1}]),
        (["a", "b"], [Row(1, 2), Row(3)], [{"a": 1, "b": 2}, {"a": 3}]),
        (["a"], iter([(1,)]), [{"a": 1}]),
        (["a"], [], []),
    ],
    ids=["tuples and lists", "short row", "long row", "iterable rows", "row iterator", "no rows"],
)
def test_records_pair_columns_with_values(columns, rows, expected):
    assert ext.records(columns, rows) == expected


def test_records_propagate_row_errors():
    def rows():
        yield (1,)
        raise KeyError("broken")

    with pytest.raises(KeyError):
        ext.records(["a"], rows())
