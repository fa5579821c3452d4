"""Values an answer repeats are made once and shared by the rows that hold them (short texts,
dates, the day of a datetime), while every row still reads its own value: on the embedded
engine (RowBinary) and on 18.16 (Native, whose scalar columns are read row by row), with NULLs
between the values, texts that do not repeat or are too long to share, bytes that are not
UTF-8, and dates that fall on the same place in the lookup."""

from datetime import date, datetime, timedelta
from decimal import Decimal

ROWS = 3000
SELECT = f"""
    SELECT concat('tag-', toString(number % 7)) AS tag,
           toString(number) AS unique_text,
           concat('xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx', toString(number % 3)) AS long_text,
           if(number % 2 = 0, NULL, concat('n', toString(number % 5))) AS maybe_text,
           toDate('2000-01-01') + (number % 4) * 512 AS day,
           toDateTime('2020-01-01 00:00:00', 'UTC') + number * 40000 AS at,
           if(number % 3 = 0, NULL, toFixedString(toString(number % 10), 3)) AS maybe_fixed,
           if(number % 4 = 0, NULL, toDecimal64(number, 2)) AS maybe_decimal,
           unhex(if(number % 2 = 0, 'FF', '41')) AS raw,
           [concat('a', toString(number % 2)), toString(number)] AS texts
    FROM system.numbers LIMIT {ROWS}
"""


def expected(n):
    return (
        f"tag-{n % 7}",
        str(n),
        "x" * 30 + str(n % 3),
        None if n % 2 == 0 else f"n{n % 5}",
        date(2000, 1, 1) + timedelta(days=(n % 4) * 512),
        datetime(2020, 1, 1) + timedelta(seconds=n * 40000),
        None if n % 3 == 0 else str(n % 10),
        None if n % 4 == 0 else Decimal(f"{n}.00"),
        b"\xff" if n % 2 == 0 else "A",
        [f"a{n % 2}", str(n)],
    )


def test_every_row_reads_its_own_value(each_engine):
    rows = each_engine.execute(SELECT)
    assert rows == [expected(n) for n in range(ROWS)]
    # Rows that hold the same short text share one str.
    assert rows[0][0] is rows[7][0]
