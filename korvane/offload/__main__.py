"""Smoke run: build a pool with the machine's default budget and report it."""

from korvane.offload import pinned_pool


def main() -> None:
    pool = pinned_pool.PinnedMemoryPool()
    print(f"detected device memory: {pinned_pool._detect_vram_gb():.1f} GiB")
    print(f"default pool budget:    {pool.max_bytes / 2**20:.1f} MiB")
    print(f"bucket sizes (bytes):   {pool.BUCKET_SIZES_BYTES}")


if __name__ == "__main__":
    main()
