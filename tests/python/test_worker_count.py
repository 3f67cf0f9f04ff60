"""The number of pool workers changes nothing in the results."""

import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import hashlib, random, numpy as np, pandas as pd, colenc
from support import Cell, parse_state, table
rng = random.Random(7)
words = ["".join(rng.choice("abcdefgh\u00e9") for _ in range(rng.randint(0, 5))) for _ in range(3000)]
rows = [[rng.choice(words) if j % 3 else rng.random() for j in range(11)] for _ in range(4000)]
rows[5][4] = "nan"
# Object columns as a loader hands them over (one str object per word and
# batch of rows), in order and shuffled, with cells that are not plain.
nprng = np.random.default_rng(7)
loaded = {}
for k, (size, batches) in enumerate([(16, 11), (2000, 9), (105, 10)]):
    vocabulary = np.array(words[:size], dtype=object)
    codes = nprng.integers(0, size, 270_000)
    column = np.empty(len(codes), dtype=object)
    for part in np.array_split(np.arange(len(codes)), batches):
        column[part] = np.array(["".join(w) for w in vocabulary], dtype=object)[codes[part]]
    loaded[f"t{k}"] = column[nprng.permutation(len(column))] if k == 1 else column
loaded["t0"][[0, 135_000, 200_000]] = [2.5, None, Cell(1.0, "c")]
loaded["t2"][:100_000] = 0.5
for obj in (table(rows), pd.DataFrame(table(rows), dtype=object), pd.DataFrame(loaded)):
    e = colenc.Encoder()
    result, cols = e.encode(obj)
    cols_, l2c, c2l = parse_state(e.__getstate__())
    canon = (cols, cols_, sorted((c, sorted(m.items(), key=str)) for c, m in l2c.items()),
             sorted((c, sorted(m.items())) for c, m in c2l.items()))
    print(hashlib.sha256(np.ascontiguousarray(np.asarray(result, dtype=float)).tobytes()).hexdigest(),
          hashlib.sha256(repr(canon).encode()).hexdigest(), cols)
"""


def _run(env_vars):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_vars)
    done = subprocess.run([sys.executable, "-c", SCRIPT], env=env, cwd=os.path.dirname(__file__),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def one_worker():
    out = _run({"RAYON_NUM_THREADS": "1"})
    assert out.count("\n") == 3 and "[1, 2, 4, 5, 7, 8, 10]" in out
    return out


@pytest.mark.parametrize("env_vars", [
    {"RAYON_NUM_THREADS": "3"}, {"RAYON_NUM_THREADS": "8"}, {"RAYON_NUM_THREADS": "0"},
    {"RAYON_RS_NUM_CPUS": "5"}, {},
    {"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "2"},
])
def test_results_do_not_depend_on_the_worker_count(one_worker, env_vars):
    assert _run(env_vars) == one_worker
