"""Timing machinery: candidates measured side by side in one process.

Every candidate is a statement run in a compiled loop (or a native routine that times
itself). All candidates of a section are calibrated once, then measured in rounds; each
round runs the empty loop and every candidate once, in a shuffled order, so that drift and
noise from the rest of the machine fall on all of them alike. Per-operation times are net of
the empty loop of the same round; a case reports the median and quartiles over the rounds,
and a ratio is the median of the per-round ratios, which stays sound while the machine's
speed wanders.
"""

import gc
import itertools
import random
import statistics
import time
from dataclasses import dataclass, field


@dataclass
class Candidate:
    """One thing to time. `stmt` runs `unroll` times per loop iteration with `namespace`
    as its local variables; `native(n)` instead returns nanoseconds per operation itself."""

    key: str
    stmt: str = ""
    namespace: dict = field(default_factory=dict)
    unroll: int = 1
    native: object = None
    n: int = 0
    samples: list = field(default_factory=list)  # ns per operation, one per round

    def __post_init__(self):
        if self.native is None:
            self._loop = compile_loop(self.stmt, self.namespace, self.unroll)

    def run(self, n):
        """Total nanoseconds of n loop iterations (not net of the empty loop)."""
        if self.native is not None:
            return self.native(n) * n
        return self._loop(itertools.repeat(None, n))


def compile_loop(stmt, namespace, unroll):
    # The namespace becomes default arguments, so every name is a fast local as in timeit.
    params = "".join(f", {name}=_ns[{name!r}]" for name in namespace)
    body = "".join(f"        {stmt}\n" for _ in range(unroll))
    source = (
        f"def _loop(_it, _clock=_clock{params}):\n"
        "    _t0 = _clock()\n"
        "    for _ in _it:\n"
        f"{body}"
        "    return _clock() - _t0\n"
    )
    scope = {"_ns": namespace, "_clock": time.perf_counter_ns}
    exec(compile(source, f"<bench {stmt!r}>", "exec"), scope)
    return scope["_loop"]


EMPTY = "pass"


def calibrate(candidate, target_ns, floor_n=1):
    """Smallest power-of-two-ish n whose run takes at least target_ns."""
    n = floor_n
    candidate.run(n)  # warm up: first calls fill caches and specialise the bytecode
    while True:
        elapsed = candidate.run(n)
        if elapsed >= target_ns or n >= 1 << 26:
            break
        n = max(n * 2, int(n * target_ns / max(elapsed, 1) * 1.2))
    candidate.n = n
    return n


def measure(candidates, rounds, target_ns, seed=5):
    """Calibrates, then fills every candidate's `samples` with `rounds` values (ns/op)."""
    empty = Candidate("empty loop", EMPTY)
    calibrate(empty, target_ns)
    for c in candidates:
        calibrate(c, target_ns)
        c.samples = []
    rng = random.Random(seed)
    order = list(candidates)
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            rng.shuffle(order)
            per_iteration = empty.run(empty.n) / empty.n
            for c in order:
                total = c.run(c.n)
                if c.native is not None:
                    c.samples.append(total / c.n)
                else:
                    c.samples.append(max(total / c.n - per_iteration, 0.0) / c.unroll)
            empty.samples.append(per_iteration)
    finally:
        if enabled:
            gc.enable()
    return empty


def summary(values):
    """Median and spread of a list of per-round values."""
    values = sorted(values)
    if len(values) >= 2:
        q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    else:
        q1 = q3 = values[0]
    med = statistics.median(values)
    return {
        "median": med,
        "p25": q1,
        "p75": q3,
        "min": values[0],
        "max": values[-1],
        "rel_iqr": (q3 - q1) / med if med else None,
        "rounds": len(values),
    }


def ratio(numerator, denominator):
    """Per-round ratios of two sample lists, summarised."""
    pairs = [a / b for a, b in zip(numerator, denominator, strict=True) if b > 0]
    return summary(pairs) if pairs else None


def difference(a, b):
    """Per-round differences a - b, for costs net of a shared part."""
    return [x - y for x, y in zip(a, b, strict=True)]
