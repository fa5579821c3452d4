"""The leak harness itself: each of its checks fails on the growth it is there to see."""

import pytest
from leaks import assert_no_growth, repeat

WATCHED = object()
COUNTED: list[None] = []


def test_an_operation_that_keeps_nothing_passes():
    assert_no_growth(
        repeat(lambda: [WATCHED] * 10),
        warmup=10,
        repeats=2_000,
        traced=1_000,
        watched=[WATCHED],
        counters=lambda: len(COUNTED),
    )


@pytest.mark.parametrize("traced", [None, 1_000], ids=["counted run traced", "own traced run"])
@pytest.mark.parametrize(
    "keep, failure",
    [
        (lambda kept: kept.append([]), "objects tracked by the collector grew by"),
        (lambda kept: kept.append(WATCHED), "reference counts changed"),
        (lambda kept: kept.append(bytes(200)), "traced memory grew by"),
        (lambda kept: COUNTED.append(None), "counters changed"),
    ],
    ids=["objects", "refcount", "memory", "counter"],
)
def test_each_kind_of_growth_fails(keep, failure, traced):
    kept = []
    with pytest.raises(AssertionError) as e:
        assert_no_growth(
            repeat(lambda: keep(kept)),
            warmup=10,
            repeats=2_000,
            traced=traced,
            watched=[WATCHED],
            counters=lambda: len(COUNTED),
        )
    assert str(e.value).startswith(failure)
