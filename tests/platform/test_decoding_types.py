"""Column types read from the answer's header: what their names spell, escapes included."""

import pytest
from test_decoder_limits import row_binary

from kelvora._clickhouse import decode_row_binary


@pytest.mark.parametrize(
    "label, expected",
    [(r"a\tb", "a\tb"), (r"\0\a\b\f\n\r\v", "\0\a\b\f\n\r\v"), (r"\x41\x7e", "A~"),
     (r"it\'s \\", "it's \\"), (r"\q", "q")],
)  # fmt: skip
def test_enum_labels_are_unescaped(label, expected):
    data = row_binary([f"Enum8('{label}' = 1, 'b' = 2)"], b"\x01\x02")
    assert decode_row_binary(data) == [(expected,), ("b",)]


@pytest.mark.parametrize("label", [r"\x4", r"\xzz"])
def test_bad_hex_escapes_are_refused(label):
    name = f"Enum8('{label}' = 1)"
    with pytest.raises(ValueError) as e:
        decode_row_binary(row_binary([name], b"\x01"))
    assert str(e.value) == f"unsupported column type: {name}"
