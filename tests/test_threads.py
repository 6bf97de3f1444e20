"""Several threads leasing and releasing on one pool."""

import random
import time

import torch  # noqa: F401  (real buffers: torch.empty may let other threads run mid-lease)

from conftest import load_extension, run_in_threads

SECONDS = 3.0
THREADS = 4


def test_threads_leave_the_pool_consistent():
    class Small(load_extension().PinnedMemoryPool):
        BUCKET_SIZES_BYTES = [1024, 4096, 16384]

    pool = Small(64 * 1024)  # small enough that misses evict
    stop = time.monotonic() + SECONDS
    leases_made = [0] * THREADS
    failures = []

    def work(index):
        rng = random.Random(index)
        held = []
        try:
            while time.monotonic() < stop:
                if held and rng.random() < 0.5:
                    pool.release(held.pop(rng.randrange(len(held))))
                else:
                    held.append(pool.lease(rng.choice([1, 1000, 2000, 5000, 16000])))
                    leases_made[index] += 1
                if rng.random() < 0.01:
                    pool.stats()
            for buf in held:
                pool.release(buf)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    run_in_threads(work, [(i,) for i in range(THREADS)])

    assert failures == []
    stats = pool._stats
    assert stats["leases"] == sum(leases_made) == stats["hits"] + stats["misses"]
    assert stats["evictions"] > 0
    assert pool._leased == {}
    pooled = [buf for bufs in pool._buckets.values() for buf in bufs]
    assert len({id(buf) for buf in pooled}) == len(pooled)
    assert all(buf.numel() == size for size, bufs in pool._buckets.items() for buf in bufs)
    assert pool._total_allocated() == sum(buf.numel() for buf in pooled)
