"""101,001 jobs: a grid of 1,000 x 100 cells, one sum per row of 100 cells (a mapping by column), one total."""

from tamso import asset, partitions

ROWS = partitions(list(range(1_000)))
COLUMNS = partitions(list(range(100)))


@asset(partitions={"row": ROWS, "column": COLUMNS})
def cell(row, column):
    return row * 100 + column


@asset(inputs={"cells": cell}, partitions={"row": ROWS})
def row_sum(cells, row):
    return sum(cells.values())


@asset(inputs={"rows": row_sum})
def total(rows):
    return sum(rows.values())
