"""The benchmark's candidates: molvenar, its chain-floor loops and the peer
libraries it is compared with. Each candidate offers, per indicator, one
Python statement that computes it on the prepared series; the benchmark times
the statements in a loop (as timeit does) so that every candidate pays the
same interpreter overhead per call.

A peer that cannot be imported is left out with a note; none of them is a
dependency of molvenar.
"""

import ctypes
import hashlib
import itertools
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import molvenar

PERIOD = 20
MACD_PERIODS = (12, 26, 9)
ATR_PERIOD = 14
INDICATORS = ("sma", "ema", "macd", "atr")

REPO = Path(__file__).resolve().parent.parent


def price_series(n, seed=7):
    """A positive random walk with a high/low band around it."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * np.abs(rng.normal(0.0, 0.01, n))
    return close + spread, close - spread, close


class Series:
    """Inputs and preallocated outputs of one size. The statements see its
    arrays as plain global names (close, high, low, out0, out1, out2, n), so
    that no candidate pays for attribute lookups in its timed loop."""

    def __init__(self, n):
        self.n = n
        self.high, self.low, self.close = price_series(n)
        self.out = [np.empty(n) for _ in range(3)]

    def names(self):
        names = {"n": self.n, "close": self.close, "high": self.high, "low": self.low,
                 "close_pointer": self.close.ctypes.data}
        for k, array in enumerate(self.out):
            names[f"out{k}"] = array
            names[f"out{k}_pointer"] = array.ctypes.data
        return names


def make_loop(statement, namespace):
    """A function running `statement` `count` times, built like timeit's."""
    source = f"def _loop(_count):\n    for _ in _repeat(None, _count):\n        {statement}\n"
    scope = dict(namespace, _repeat=itertools.repeat)
    exec(source, scope)
    return scope["_loop"]


class Candidate:
    """One implementation: statements per indicator over a Series `s`."""

    def __init__(self, name, statements, namespace, per_call_correction=None):
        self.name = name
        self.statements = statements
        self.namespace = namespace
        self.per_call_correction = per_call_correction  # indicator -> ns, or None

    def supports(self, indicator):
        return indicator in self.statements

    def runner(self, indicator, series):
        loop = make_loop(self.statements[indicator], dict(self.namespace, **series.names()))
        loop(1)  # compiles, allocates, warms caches
        correction = self.per_call_correction(indicator) if self.per_call_correction else 0.0
        return LocalRunner(loop, correction)

    def result(self, indicator, series):
        """The indicator's main output for bit comparisons."""
        scope = dict(self.namespace, **series.names())
        value = eval(self.statements[indicator], scope)
        return main_output(indicator, value, series)


def main_output(indicator, value, series):
    if value is None:  # written in place into out0
        return series.out[0].copy()
    if isinstance(value, tuple):  # (macd, signal, hist)
        value = value[0]
    return np.asarray(getattr(value, "to_numpy", lambda: value)(), dtype=np.float64)


class LocalRunner:
    def __init__(self, loop, correction_ns):
        self.loop = loop
        self.correction_ns = correction_ns

    def time_ns(self, count):
        """CPU time of `count` calls: this thread's, and the whole process's
        (which exceeds it only if the candidate ran threads of its own)."""
        thread, process = time.thread_time_ns(), time.process_time_ns()
        self.loop(count)
        correction = self.correction_ns * count
        return (time.thread_time_ns() - thread - correction, time.process_time_ns() - process - correction)


# --- molvenar ----------------------------------------------------------------

def molvenar_candidate():
    statements = {
        "sma": f"indicator_sma({PERIOD}, close, out0)",
        "ema": f"indicator_ema({PERIOD}, close, out0)",
        "macd": "indicator_macd({}, {}, {}, close, out0, out1, out2)".format(*MACD_PERIODS),
        "atr": f"indicator_atr({ATR_PERIOD}, high, low, close, out0)",
    }
    namespace = {name: getattr(molvenar, name) for name in molvenar.__all__}
    return Candidate("molvenar", statements, namespace)


# --- chain floor ---------------------------------------------------------------

FLOOR_FLAGS = ["-O2", "-ffp-contract=off", "-fno-fast-math", "-fno-finite-math-only", "-fPIC", "-shared"]


def floor_source():
    """The kernels' chain-floor loops, shared with the C++ kernel benchmark."""
    path = REPO / "bench" / "chain_floor.cpp"
    return path if path.exists() else None


def floor_candidate(notes):
    source = floor_source()
    compiler = os.environ.get("CXX", "c++")
    if source is None:
        notes.append("chain floor: no loop source under bench/; skipped")
        return None
    build = REPO / "build" / "bench-floor"
    build.mkdir(parents=True, exist_ok=True)
    library = build / "libchain_floor.so"
    done = subprocess.run([compiler, *FLOOR_FLAGS, "-o", str(library), str(source)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        notes.append(f"chain floor: {compiler} failed: {done.stderr.strip()[:200]}; skipped")
        return None
    lib = ctypes.CDLL(str(library))
    functions = {}
    for indicator in INDICATORS:
        function = getattr(lib, f"chain_floor_{indicator}")
        function.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        function.restype = None
        functions[indicator] = function
    statements = {ind: f"floor_{ind}(close_pointer, out0_pointer, n)" for ind in INDICATORS}
    namespace = {f"floor_{ind}": f for ind, f in functions.items()}

    # The cost of the ctypes call itself (and of reaching the pointers) is
    # measured on an empty series and taken off, so the figure is the loop's.
    empty = Series(0)
    overhead = {}

    def correction(indicator):
        if indicator not in overhead:
            loop = make_loop(statements[indicator], dict(namespace, **empty.names()))
            loop(1000)
            samples = []
            for _ in range(15):
                start = time.thread_time_ns()
                loop(2000)
                samples.append((time.thread_time_ns() - start) / 2000)
            overhead[indicator] = sorted(samples)[len(samples) // 2]
        return overhead[indicator]

    notes.append(f"chain floor: {source.relative_to(REPO)} built with {compiler} {' '.join(FLOOR_FLAGS[:4])}; "
                 "ctypes call cost subtracted")
    return Candidate("floor", statements, namespace, correction)


# --- TA-Lib and ta-lib-takt --------------------------------------------------------

TALIB_STATEMENTS = {
    "sma": f"SMA(close, timeperiod={PERIOD})",
    "ema": f"EMA(close, timeperiod={PERIOD})",
    "macd": "MACD(close, fastperiod={}, slowperiod={}, signalperiod={})".format(*MACD_PERIODS),
    "atr": f"ATR(high, low, close, timeperiod={ATR_PERIOD})",
}


def talib_functions(talib):
    return {name: getattr(talib, name) for name in ("SMA", "EMA", "MACD", "ATR")}


def talib_candidate(notes):
    try:
        import talib
    except Exception as error:  # noqa: BLE001 - any import failure skips the peer
        notes.append(f"TA-Lib: not importable ({type(error).__name__}); skipped")
        return None
    notes.append(f"TA-Lib: talib {getattr(talib, '__version__', '?')}")
    return Candidate("TA-Lib", TALIB_STATEMENTS, talib_functions(talib))


class RemoteCandidate:
    """ta-lib-takt in a worker process: it installs under the same module and
    core-library names as TA-Lib, so the two cannot share one process. The
    worker times itself with its own thread CPU clock; rounds still alternate
    with the other candidates."""

    name = "ta-lib-takt"

    def __init__(self, process):
        self.process = process

    @staticmethod
    def start(directory, notes):
        if not directory or not Path(directory, "talib").is_dir():
            notes.append("ta-lib-takt: not installed (make bench installs it under .venv-bench/takt); skipped")
            return None
        process = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), str(directory)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        candidate = RemoteCandidate(process)
        reply = candidate.ask("hello")
        if reply is None or reply.startswith("error"):
            notes.append(f"ta-lib-takt: worker failed ({reply}); skipped")
            candidate.close()
            return None
        notes.append(f"ta-lib-takt: talib {reply} in a worker process")
        return candidate

    def ask(self, *words):
        try:
            self.process.stdin.write(" ".join(map(str, words)) + "\n")
            self.process.stdin.flush()
            line = self.process.stdout.readline()
        except (BrokenPipeError, OSError):
            return None
        return line.strip() or None

    def supports(self, indicator):
        return indicator in TALIB_STATEMENTS

    def runner(self, indicator, series):
        self.ask("prepare", indicator, series.n)
        return RemoteRunner(self, indicator, series.n)

    def digest(self, indicator, n):
        return self.ask("digest", indicator, n)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)


class RemoteRunner:
    def __init__(self, remote, indicator, n):
        self.remote, self.indicator, self.n = remote, indicator, n

    def time_ns(self, count):
        return tuple(float(word) for word in self.remote.ask("time", self.indicator, self.n, count).split())


def output_digest(array):
    return hashlib.sha256(np.ascontiguousarray(array, dtype=np.float64).tobytes()).hexdigest()


def run_takt_worker(directory):
    """The worker's side: answers one line per request on stdin."""
    sys.path.insert(0, directory)
    try:
        import talib
        assert Path(talib.__file__).resolve().is_relative_to(Path(directory).resolve())
    except Exception as error:  # noqa: BLE001
        print(f"error {type(error).__name__}", flush=True)
        return
    candidate = Candidate("ta-lib-takt", TALIB_STATEMENTS, talib_functions(talib))
    series, runners = {}, {}
    for line in sys.stdin:
        words = line.split()
        if words[0] == "hello":
            reply = getattr(talib, "__version__", "?")
        elif words[0] == "prepare":
            indicator, n = words[1], int(words[2])
            if n not in series:
                series[n] = Series(n)
            runners[indicator, n] = candidate.runner(indicator, series[n])
            reply = "ok"
        elif words[0] == "time":
            reply = " ".join(map(str, runners[words[1], int(words[2])].time_ns(int(words[3]))))
        elif words[0] == "digest":
            n = int(words[2])
            reply = output_digest(candidate.result(words[1], series.setdefault(n, Series(n))))
        else:
            reply = "error unknown request"
        print(reply, flush=True)


# --- bottleneck, pandas, numba ----------------------------------------------------

def bottleneck_candidate(notes):
    try:
        import bottleneck
    except Exception as error:  # noqa: BLE001
        notes.append(f"bottleneck: not importable ({type(error).__name__}); skipped")
        return None
    notes.append(f"bottleneck {bottleneck.__version__}: move_mean for SMA")
    return Candidate("bottleneck", {"sma": f"move_mean(close, {PERIOD})"}, {"move_mean": bottleneck.move_mean})


def pandas_candidate(notes):
    try:
        import pandas
    except Exception as error:  # noqa: BLE001
        notes.append(f"pandas: not importable ({type(error).__name__}); skipped")
        return None
    fast, slow, signal = MACD_PERIODS

    def macd(close):
        line = close.ewm(span=fast, adjust=False).mean() - close.ewm(span=slow, adjust=False).mean()
        sig = line.ewm(span=signal, adjust=False).mean()
        return line, sig, line - sig

    statements = {
        "sma": f"pandas_close.rolling({PERIOD}).mean()",
        "ema": f"pandas_close.ewm(span={PERIOD}, adjust=False).mean()",
        "macd": "macd(pandas_close)",
    }
    notes.append(f"pandas {pandas.__version__}: rolling(20).mean(), ewm(span, adjust=False); no ATR")
    return PandasCandidate(statements, {"macd": macd}, pandas)


class PandasCandidate(Candidate):
    """The pandas Series wrapping each size's close prices is made once,
    outside the timing."""

    def __init__(self, statements, namespace, pandas):
        super().__init__("pandas", statements, namespace)
        self.pandas = pandas
        self.wrapped = {}

    def runner(self, indicator, series):
        return super().runner(indicator, self.with_series(series))

    def result(self, indicator, series):
        return super().result(indicator, self.with_series(series))

    def with_series(self, series):
        if self.wrapped.get("id") != id(series.close):
            self.wrapped = {"id": id(series.close), "series": self.pandas.Series(series.close, copy=False)}
        self.namespace = dict(self.namespace, pandas_close=self.wrapped["series"])
        return series


def numba_candidate(notes):
    try:
        import numba
        from bench_numba_loops import compile_loops
    except Exception as error:  # noqa: BLE001
        notes.append(f"numba: not importable ({type(error).__name__}); skipped")
        return None
    loops = compile_loops(numba)
    statements = {
        "sma": f"sma({PERIOD}, close, out0)",
        "ema": f"ema({PERIOD}, close, out0)",
        "macd": "macd({}, {}, {}, close, out0, out1, out2)".format(*MACD_PERIODS),
        "atr": f"atr({ATR_PERIOD}, high, low, close, out0)",
    }
    notes.append(f"numba {numba.__version__}: plain loops of molvenar's formulas (finite data)")
    return Candidate("numba", statements, loops)


if __name__ == "__main__":
    run_takt_worker(sys.argv[1])
