"""One binary64 rounding per operation, in a process with the platform's
default floating-point settings.

This test process may have narrowed the x87 precision for its references
(x87_rounding.py), and an x87 build of the module would look right under that
setting. So the module runs in a fresh interpreter here, and its bits are
compared with references computed in this process.
"""

import json
import random

import numpy as np

import references as ref
from conftest import run_python
from references import assert_same_bits

# 1 + TINY is 1 + 2**-52 rounded once, but 1.0 when rounded first to the x87
# 64-bit significand (a tie) and then to 53 bits.
TINY = 2.0**-53 + 2.0**-78

CHILD = """
import json
import numpy as np
import molvenar

def run(kind, periods, *series):
    arrays = [np.array(s, dtype=np.uint64).view(np.float64) for s in series]
    outs = [np.empty(len(arrays[0])) for _ in range(3 if kind == "macd" else 1)]
    getattr(molvenar, "indicator_" + kind)(*periods, *arrays, *outs)
    return [o.view(np.uint64).tolist() for o in outs]

calls = json.loads(CALLS)
print(json.dumps([run(*call) for call in calls]))
"""


def _calls():
    rng = random.Random(1905)
    walk = [100.0]
    for _ in range(299):
        walk.append(walk[-1] * (1.0 + rng.uniform(-0.02, 0.02)))
    mixed = [rng.choice((-1.0, 1.0)) * rng.uniform(1.0, 2.0) * 2.0 ** rng.randint(-60, 60)
             for _ in range(300)]
    ties = [1.0, TINY, 3.0, TINY, 1.0, 1.0, TINY, 1.0, 2.0**52, 2.0**52 + 1.0]
    high = [h * 1.01 for h in walk]
    low = [h * 0.99 for h in walk]
    calls = []
    for data in (walk, mixed, ties):
        calls += [("sma", [2], data), ("sma", [7], data), ("ema", [2], data),
                  ("ema", [5], data), ("macd", [1, 2, 2], data), ("macd", [3, 7, 4], data)]
    calls += [("atr", [2], [0.0, 1.0, TINY] * 3, [0.0] * 9, [0.0] * 9),
              ("atr", [14], high, low, walk)]
    return calls


def _reference(kind, periods, *series):
    result = getattr(ref, kind)(*periods, *series)
    return list(result) if kind == "macd" else [result]


def test_module_rounds_once_with_default_floating_point_settings():
    calls = _calls()
    as_bits = [(kind, periods, *(np.array(s).view(np.uint64).tolist() for s in series))
               for kind, periods, *series in calls]
    done = run_python(CHILD.replace("CALLS", repr(json.dumps(as_bits))))
    assert done.returncode == 0, done.stderr
    for call, outputs in zip(calls, json.loads(done.stdout)):
        for i, (bits, want) in enumerate(zip(outputs, _reference(*call))):
            got = np.array(bits, dtype=np.uint64).view(np.float64)
            assert_same_bits(got, want, label=f"{call[0]}{call[1]} output {i}")
