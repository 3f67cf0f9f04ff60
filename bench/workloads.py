"""The benchmark's seeded tables W1 to W6, in object and pandas string storage.

Row counts are multiplied by the scale; vocabularies and column counts are not.
The same name, variant, scale and seed always give the same table.
"""

import csv
import io
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

MARKERS = ("<NA>", "nan", "NaN")  # texts that mean "missing" to colenc
SEED = 20240611

# name -> (base rows, description); variants: "object" for object-dtype
# columns (or an object ndarray) whose cells share one str object per word,
# "cells" for the same table with a str object of its own in every text cell,
# made row by row as a loader makes them (csv, a database cursor), "str" for
# pandas' own string dtype.
WORKLOADS = {
    "W1": (1_000_000, "mixed DataFrame: 4 word columns (10/100/1k/10k words, ~1% missing), "
                      "1 nearly all-distinct column, 3 float64 columns (~1% NaN)"),
    "W2": (5_000_000, "tall DataFrame: 1 column of 1,000 words"),
    "W3": (10_000, "wide object ndarray: 500 columns of 50 words each"),
    "W4": (1_000_000, "float64 ndarray, 10 columns (~1% NaN)"),
    "W5": (300_000, "records: JSON-like dicts through DataFrame.from_records, 12 text fields "
                    "(3 to 5k values, ~1% missing) and 3 numbers"),
    "W6": (336_776, "a table as a loader hands it over: 15 int64 and float64 columns (~2% NaN), "
                    "5 object text columns of 3, 16, 105, 4k and 7k words, each word one str "
                    "object per batch of rows"),
}
VARIANTS = {"W1": ("object", "cells", "str"), "W2": ("object", "cells", "str"),
            "W3": ("object", "cells"), "W4": ("float64",), "W5": ("records",),
            "W6": ("loaded",)}

# The vocabulary sizes of W5's text fields.
RECORD_FIELDS = (3, 5, 10, 20, 50, 100, 200, 500, 1_000, 2_000, 5_000, 30)


@dataclass
class Workload:
    name: str
    variant: str
    table: object  # pandas.DataFrame or numpy.ndarray
    description: str
    text_columns: list = field(default_factory=list)  # positions a correct encoder label-encodes

    @property
    def key(self):
        return f"{self.name}-{self.variant}"

    @property
    def is_frame(self):
        return isinstance(self.table, pd.DataFrame)

    @property
    def shape(self):
        return self.table.shape


def string_dtype():
    """pandas' default string dtype: "str" (NaN as missing) on pandas 3, else "string"."""
    try:
        return pd.StringDtype(na_value=np.nan)
    except TypeError:
        return pd.StringDtype()


def vocabulary(rng, count):
    """Returns `count` distinct words, a tenth of them with non-ASCII letters."""
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    accents = np.array(list("éüößłçñøå"))
    words = set()
    while len(words) < count:
        length = int(rng.integers(3, 11))
        chars = rng.choice(letters, length)
        if rng.random() < 0.1:
            chars[rng.integers(length)] = rng.choice(accents)
        words.add("".join(chars))
    return np.array(sorted(words), dtype=object)[rng.permutation(count)]


def word_column(rng, rows, words, missing_share=0.0):
    """Object array of `rows` words drawn from `words`, with a share of markers."""
    column = words[rng.integers(0, len(words), rows)]
    if missing_share:
        hit = np.flatnonzero(rng.random(rows) < missing_share)
        column[hit] = np.where(rng.random(len(hit)) < 0.5, "nan", "<NA>")
    return column


def float_column(rng, rows, missing_share=0.01):
    column = rng.normal(50.0, 20.0, rows).round(3)
    column[rng.random(rows) < missing_share] = np.nan
    return column


def as_storage(column, variant):
    """A Series of an object array, in the storage the variant asks for.

    In string storage the "nan" markers become the dtype's own missing value
    (real missing cells), while "<NA>" stays a text: both cases show up there.
    """
    if variant == "object":
        return pd.Series(column, dtype=object, copy=False)
    column = column.copy()
    column[column == "nan"] = np.nan
    return pd.Series(column, dtype=string_dtype())


def loaded_rows(columns):
    """The rows of `columns` (object arrays of str) as the csv module reads
    them back from their CSV text: a new str object for every cell, made
    row by row."""
    text = io.StringIO()
    csv.writer(text).writerows(zip(*columns))
    text.seek(0)
    return list(csv.reader(text))


def with_loaded_texts(frame, text):
    """`frame` with its text columns (positions `text`) replaced by the same
    texts as a loader makes them, each column of object dtype."""
    rows = loaded_rows([frame.iloc[:, j].to_numpy() for j in text])
    loaded = frame.copy(deep=False)
    for k, j in enumerate(text):
        column = np.empty(len(rows), dtype=object)
        column[:] = [row[k] for row in rows]
        loaded.isetitem(j, pd.Series(column, dtype=object, copy=False))
    return loaded


def chunk_shared(words, codes, batches):
    """Object array of words[codes] as a loader converting `batches` equal row
    ranges one at a time hands it over (pyarrow's to_pandas deduplicates
    objects within a batch): one str object per word and range."""
    column = np.empty(len(codes), dtype=object)
    for rows in np.array_split(np.arange(len(codes)), batches):
        copies = np.array([word.encode().decode() for word in words], dtype=object)
        column[rows] = copies[codes[rows]]
    return column


def build_w6(rng, rows):
    """15 number columns with the 5 text columns among them, as in a table of flights."""
    numbers = [rng.integers(0, 2_400, rows) if k % 3 else float_column(rng, rows, 0.02)
               for k in range(15)]
    texts = [pd.Series(chunk_shared(vocabulary(rng, size), rng.integers(0, size, rows), 11),
                       dtype=object, copy=False) for size in (3, 16, 105, 4_000, 7_000)]
    columns = numbers[:3] + texts[:1] + numbers[3:6] + texts[1:3] + numbers[6:12] + texts[3:] \
        + numbers[12:]
    text = [3, 7, 8, 15, 16]
    return pd.DataFrame({f"c{j}": c for j, c in enumerate(columns)}, copy=False), text


def build_w1(rng, rows, variant):
    names, columns = [], []
    # Text and number columns interleaved, as an export would have them.
    for words, number_name in ((10, "price"), (100, None), (1_000, "amount"), (10_000, None)):
        names.append(f"words_{words}")
        columns.append(as_storage(word_column(rng, rows, vocabulary(rng, words), 0.01), variant))
        if number_name:
            names.append(number_name)
            columns.append(pd.Series(float_column(rng, rows)))
    ids = rng.integers(0, 2**40, rows).tolist()
    names.append("user_id")
    columns.append(as_storage(np.array([f"u{v:010x}" for v in ids], dtype=object), variant))
    names.append("score")
    columns.append(pd.Series(float_column(rng, rows)))
    frame = pd.concat(columns, axis=1, keys=names)
    text = [j for j, c in enumerate(columns) if c.dtype != np.float64]
    return frame, text


def build_w5(rng, rows):
    """A frame made from a list of dicts, one per record, as from parsed JSON:
    pandas infers each field's dtype (its string dtype for the text fields)."""
    fields = [(f"field_{k}", word_column(rng, rows, vocabulary(rng, size), 0.01))
              for k, size in enumerate(RECORD_FIELDS)]
    fields = [(name, np.where(column == "nan", None, column)) for name, column in fields]
    numbers = [("count", rng.integers(0, 1_000, rows)), ("price", float_column(rng, rows)),
               ("rating", rng.integers(1, 6, rows) / 2)]
    names = [name for name, _ in fields + numbers]
    columns = [column.tolist() for _, column in fields + numbers]
    records = [dict(zip(names, values)) for values in zip(*columns)]
    frame = pd.DataFrame.from_records(records)
    return frame, list(range(len(fields)))


def build(name, variant, scale=1.0, seed=SEED):
    """Returns the Workload `name` ("W1".."W5") in storage `variant`."""
    base_rows, description = WORKLOADS[name]
    rows = max(10, round(base_rows * scale))
    rng = np.random.default_rng([seed, int(name[1:])])
    if variant == "cells":
        shared = build(name, "object", scale, seed)
        if shared.is_frame:
            table = with_loaded_texts(shared.table, shared.text_columns)
        else:
            # Row by row into a C-ordered array, as np.array(rows) makes it.
            table = np.array(loaded_rows(list(shared.table.T)), dtype=object)
        return Workload(name, variant, table, description, shared.text_columns)
    if name == "W1":
        table, text = build_w1(rng, rows, variant)
    elif name == "W2":
        column = as_storage(word_column(rng, rows, vocabulary(rng, 1_000)), variant)
        table, text = pd.DataFrame({"word": column}, copy=False), [0]
    elif name == "W3":
        table = np.empty((rows, 500), dtype=object)
        for j in range(500):
            table[:, j] = word_column(rng, rows, vocabulary(rng, 50))
        text = list(range(500))
    elif name == "W5":
        table, text = build_w5(rng, rows)
    elif name == "W6":
        table, text = build_w6(rng, rows)
    elif name == "W4":
        table = np.column_stack([float_column(rng, rows) for _ in range(10)])
        text = []
    else:
        raise KeyError(name)
    return Workload(name, variant, table, description, text)


def storage_text(workload):
    """How the table stores its cells, for the report."""
    if not workload.is_frame:
        return f"ndarray[{workload.table.dtype}]"
    dtypes = sorted({f"{d.name}[{d.storage}]" if isinstance(d, pd.StringDtype) else str(d)
                     for d in workload.table.dtypes})
    return "DataFrame of " + ", ".join(dtypes)


def all_keys(names=None):
    """(name, variant) pairs in report order, restricted to `names` if given."""
    return [(n, v) for n in WORKLOADS if not names or n in names for v in VARIANTS[n]]
