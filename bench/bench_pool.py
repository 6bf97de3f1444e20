"""Times the pool's hot path beside its alternatives and prints one table.

Every figure is the median of several repeats, in nanoseconds per operation; the ratios at the
end are computed from figures of this same run, so they can be compared across machines.

    python -I bench/bench_pool.py [--repeat 9] [--quick]
"""

import argparse
import gc
import os
import statistics
import sys
import time
import timeit
from pathlib import Path

# Idle BLAS worker threads spin on the second core and disturb the timings; none are needed here.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import torch  # noqa: E402

from korvane.offload import pinned_pool  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference_pool  # noqa: E402  (the plain-Python rendering the tests use as their oracle)

SMALL = 1 << 20
LARGE = 256 << 20


def loop_timer(stmt, namespace, number):
    """A measurement: one call times `number` runs of `stmt` and gives ns per run."""
    timer = timeit.Timer(stmt, globals=namespace)
    return lambda: timer.timeit(number) / number * 1e9


def paired_timer(first, second, samples):
    """A measurement of two operations: the median ns of `samples` single runs of each, taken in
    alternation so that both meet the allocator in the same state. An operation is a pair of
    callables: the one timed and a cleanup that gets its result outside the timing."""
    def measure():
        times = ([], [])
        for _ in range(samples):
            for (operation, cleanup), spent in zip((first, second), times):
                start = time.perf_counter_ns()
                result = operation()
                spent.append(time.perf_counter_ns() - start)
                cleanup(result)
                del result
        return tuple(statistics.median(spent) for spent in times)
    return measure


def release_timer(pool, count=200):
    """A measurement: ns per release of a leased buffer, `count` of them released in one loop."""
    for _ in range(2):  # the second pass leases from the pool
        bufs = [pool.lease(SMALL) for _ in range(count)]
        for buf in bufs:
            pool.release(buf)

    def measure():
        bufs = [pool.lease(SMALL) for _ in range(count)]
        release = pool.release
        start = time.perf_counter_ns()
        for buf in bufs:
            release(buf)
        return (time.perf_counter_ns() - start) / count
    return measure


def warmed(pool_class, sizes):
    pool = pool_class(8 << 30)
    for size in sizes:
        pool.release(pool.lease(size))
    return pool


def overriding(pool_class):
    class Overriding(pool_class):
        def _round_to_bucket(self, nbytes):
            return pool_class._round_to_bucket(self, nbytes)

    return Overriding


def timers(loops, samples):
    ext = warmed(pinned_pool.PinnedMemoryPool, [SMALL, LARGE])
    ref = warmed(reference_pool.PinnedMemoryPool, [SMALL])
    ext_sub = warmed(overriding(pinned_pool.PinnedMemoryPool), [SMALL])
    ref_sub = warmed(overriding(reference_pool.PinnedMemoryPool), [SMALL])
    round_trip = "buf = pool.lease(n); pool.release(buf)"
    rows = {}
    for name, pool, n in [
        ("hit round trip, 1 MiB", ext, SMALL),
        ("hit round trip, 256 MiB", ext, LARGE),
        ("hit round trip, plain Python", ref, SMALL),
        ("hit round trip, subclass overriding _round_to_bucket", ext_sub, SMALL),
        ("hit round trip, plain Python with the same override", ref_sub, SMALL),
    ]:
        rows[name] = loop_timer(round_trip, {"pool": pool, "n": n}, loops)
    stranger = torch.empty(SMALL, dtype=torch.uint8)
    rows["release of a buffer never leased"] = loop_timer(
        "release(stranger)", {"release": ext.release, "stranger": stranger}, loops)
    rows["release of a leased buffer"] = release_timer(ext)
    rows["stats()"] = loop_timer("pool.stats()", {"pool": ext}, loops // 4)
    rows["is_under_pressure"] = loop_timer("pool.is_under_pressure", {"pool": ext}, loops)
    rows["floor: x = l.pop(); l.append(x)"] = loop_timer(
        "x = l.pop(); l.append(x)", {"l": [object()]}, loops)
    # What a caller does with a leased 1 MiB buffer at the least: one copy, the cache kept hot.
    source, destination = torch.ones(SMALL, dtype=torch.uint8), torch.empty(SMALL, dtype=torch.uint8)
    rows["copy of one 1 MiB bucket: dst.copy_(src)"] = loop_timer(
        "dst.copy_(src)", {"dst": destination, "src": source}, max(loops // 100, 10))
    miss_pool = pinned_pool.PinnedMemoryPool(8 << 30)
    rows[("lease that misses, 1 MiB", "bare torch.empty, 1 MiB")] = paired_timer(
        (lambda: miss_pool.lease(SMALL), lambda buf: miss_pool._leased.clear()),
        (lambda: torch.empty(SMALL, dtype=torch.uint8, pin_memory=torch.cuda.is_available()),
         lambda buf: None),
        samples)
    return rows


def measure(repeat, loops, samples):
    """Median ns per row. The repeats go round all rows in turn, so that a slow spell of the
    machine falls on every row alike and the ratios stay comparable. A timer keyed by a tuple of
    names measures that many rows at once."""
    timers_by_name = timers(loops, samples)
    results = {}
    for _ in range(repeat):
        for names, timer in timers_by_name.items():
            values = timer()
            if isinstance(names, str):
                names, values = (names,), (values,)
            for name, value in zip(names, values):
                results.setdefault(name, []).append(value)
    return {name: statistics.median(values) for name, values in results.items()}


TARGETS = [
    # label, numerator row, denominator row, bound, "at most" or "at least"
    ("plain Python / hit round trip", "hit round trip, plain Python", "hit round trip, 1 MiB",
     3.0, "at least"),
    ("hit round trip / 1 MiB copy", "hit round trip, 1 MiB",
     "copy of one 1 MiB bucket: dst.copy_(src)", 0.02, "at most"),
    ("plain Python override / subclass override",
     "hit round trip, plain Python with the same override",
     "hit round trip, subclass overriding _round_to_bucket", 1.5, "at least"),
    ("release never leased / floor", "release of a buffer never leased",
     "floor: x = l.pop(); l.append(x)", 3.0, "at most"),
]


def report(rows):
    pinned = torch.cuda.is_available()
    width = max(map(len, rows))
    print(f"Python {sys.version.split()[0]}, torch {torch.__version__}, "
          f"pin_memory={pinned}, median ns per operation")
    print()
    for name, ns in rows.items():
        print(f"  {name:<{width}}  {ns:10.1f}")
    print()
    print("  ratio                                        measured   target   met")
    for label, top, bottom, bound, sense in TARGETS:
        ratio = rows[top] / rows[bottom]
        met = ratio <= bound if sense == "at most" else ratio >= bound
        print(f"  {label:<44} {ratio:7.3f}   {sense[3:]:>5} {bound:<5} {'yes' if met else 'NO'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--quick", action="store_true", help="fewer loops, for a smoke run")
    args = parser.parse_args()
    gc.disable()  # collections would land in random samples
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core: steadier timings
    loops, samples = (20_000, 100) if args.quick else (100_000, 300)
    report(measure(args.repeat, loops, samples))


if __name__ == "__main__":
    main()
