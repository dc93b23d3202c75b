"""Build and search RaBitQ code shards on worker processes, the way a deployment runs.

The base set lives on storage as one .npy file. A quantizer is fully determined by
(dimension, seed, total_bits, centroid), so the driver sends each task only those
values, the file name and a row range: the worker memory-maps its rows, rebuilds the
quantizer, codes them as one mivo_batch.QuantizedBatch and writes its columns (packed
one-bit codes, packed extended codes, factors) as .npy files next to the data.
Searching sends the shard's row range and the query file's name: each worker
memory-maps its shard's columns and its rows of the base set and calls
mivo_batch.search with the rows as `vectors`, so every record whose bounds could place
it in the top k is re-ranked by its exact distance; the driver merges the shards' top
k. No task carries data, so nothing large passes through the scheduler.

The baseline is the same per-shard function run over every shard in sequence in one
process. The cluster time runs from the first submit until every shard is written
(or every query answered); cluster start-up is reported apart.

    python examples/scale_out.py                      # small default: 20000 x 128
    python examples/scale_out.py --n 700000 --dim 768  # the measuring size (minutes)

On many hosts the same code runs against a `distributed` cluster whose workers see the
same shared storage: pass the scheduler's address with --scheduler.
"""
import argparse
import os
import time
from pathlib import Path

import numpy as np

import mivo
import mivo_batch

SHARD_PARTS = ("binary_codes", "extended_codes", "factors")  # a QuantizedBatch's columns
K = 10


def row_ranges(n, shards):
    """`shards` contiguous (start, stop) ranges covering n rows, sizes within one."""
    edges = np.linspace(0, n, shards + 1).round().astype(np.int64)
    return [(int(a), int(b)) for a, b in zip(edges[:-1], edges[1:])]


def shard_path(out_dir, start, stop, part):
    return Path(out_dir) / f"rows-{start:010d}-{stop:010d}.{part}.npy"


def quantizer_for(dimension, seed, total_bits, centroid):
    quantizer = mivo.RaBitQQuantizer(dimension, seed, total_bits)
    quantizer.set_centroid(centroid)
    return quantizer


def build_shard(data_file, start, stop, out_dir, seed, total_bits, centroid):
    """Codes rows [start, stop) of data_file with a quantizer rebuilt from its defining
    values and writes the batch's three columns next to the data; returns the rows
    coded."""
    # A slice of the memory map is an aligned, C-contiguous float32 array: mivo_batch
    # reads it in place.
    rows = np.load(data_file, mmap_mode="r")[start:stop]
    batch = mivo_batch.quantize(quantizer_for(rows.shape[1], seed, total_bits, centroid),
                                rows)
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    for part in SHARD_PARTS:
        # Written under a temporary name and renamed, so a shard file is whole or absent.
        final = shard_path(out_dir, start, stop, part)
        partial = final.with_suffix(".partial.npy")
        np.save(partial, getattr(batch, part))
        os.replace(partial, final)
    return stop - start


def load_shard(out_dir, start, stop, dimension, total_bits):
    """The shard's QuantizedBatch over its memory-mapped columns (no copy)."""
    columns = [np.load(shard_path(out_dir, start, stop, part), mmap_mode="r")
               for part in SHARD_PARTS]
    return mivo_batch.QuantizedBatch.from_arrays(dimension, total_bits - 1, *columns)


def ranked(distances, ids, k):
    """Indices of the k best by (distance, id): ties go to the lower global row id."""
    order = np.lexsort((ids, distances))
    return order[:k]


def search_shard(data_file, start, stop, out_dir, query_file, seed, total_bits, centroid,
                 k=K):
    """Each query's k nearest rows of one shard by exact distance: mivo_batch.search
    over the shard's codes, re-ranking by the shard's rows every record whose bounds
    allow it into the top k. Returns (distances, global ids, candidates re-ranked per
    query); each row of ids is in rank order, ties to the lower id."""
    queries = np.load(query_file)
    rows = np.load(data_file, mmap_mode="r")[start:stop]
    dimension = queries.shape[1]
    batch = load_shard(out_dir, start, stop, dimension, total_bits)
    quantizer = quantizer_for(dimension, seed, total_bits, centroid)
    dist, local, candidates = mivo_batch.search(quantizer, queries, batch, k, vectors=rows)
    out_d = np.full((len(queries), k), np.inf, np.float32)
    out_i = np.full((len(queries), k), -1, np.int64)
    # A shard smaller than k fills only its first columns.
    out_d[:, :dist.shape[1]] = dist
    out_i[:, :local.shape[1]] = local + start
    return out_d, out_i, candidates


def merge(parts, k=K):
    """The k best per query over every shard's (distances, ids), by (distance, id)."""
    dist = np.concatenate([p[0] for p in parts], axis=1)
    ids = np.concatenate([p[1] for p in parts], axis=1)
    out_d = np.empty((len(dist), k), dist.dtype)
    out_i = np.empty((len(dist), k), np.int64)
    for j in range(len(dist)):
        # Unfilled slots (shards smaller than k) carry id -1 and an infinite distance.
        best = ranked(dist[j], np.where(ids[j] < 0, np.iinfo(np.int64).max, ids[j]), k)
        out_d[j], out_i[j] = dist[j, best], ids[j, best]
    return out_d, out_i


def shards_identical(dir_a, dir_b, ranges):
    return all(
        np.load(shard_path(dir_a, a, b, part)).tobytes()
        == np.load(shard_path(dir_b, a, b, part)).tobytes()
        for a, b in ranges for part in SHARD_PARTS)


def run_local(fn, ranges, data_file, *rest):
    """The per-shard function over every shard in sequence in this process."""
    return [fn(data_file, a, b, *rest) for a, b in ranges]


def run_cluster(client, fn, ranges, data_file, *rest):
    """The per-shard function as one task per shard; each task carries a file name, a
    row range and a few small values."""
    futures = [client.submit(fn, data_file, a, b, *rest, pure=False) for a, b in ranges]
    return client.gather(futures)


def make_data(directory, n, dim, num_queries, seed=0):
    """A base set and queries on storage, made once per size and kept."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    data_file = directory / f"base-{n}x{dim}.npy"
    query_file = directory / f"queries-{num_queries}x{dim}.npy"
    if not data_file.exists():
        rng = np.random.default_rng(seed)
        base = np.lib.format.open_memmap(data_file.with_suffix(".partial.npy"), "w+",
                                         np.float32, (n, dim))
        for a, b in row_ranges(n, max(1, n // 50_000)):
            base[a:b] = rng.standard_normal((b - a, dim), dtype=np.float32)
        base.flush()
        del base
        os.replace(data_file.with_suffix(".partial.npy"), data_file)
    if not query_file.exists():
        rng = np.random.default_rng(seed + 1)
        np.save(query_file, rng.standard_normal((num_queries, dim), dtype=np.float32))
    return data_file, query_file


def column_mean(data_file, chunk=50_000):
    """The centroid, read in chunks from storage, summed in a fixed order."""
    rows = np.load(data_file, mmap_mode="r")
    total = np.zeros(rows.shape[1], np.float64)
    for a in range(0, len(rows), chunk):
        total += rows[a:a + chunk].sum(axis=0, dtype=np.float64)
    return (total / len(rows)).astype(np.float32)


def start_cluster(workers, scheduler):
    import dask
    from distributed import Client, LocalCluster
    if scheduler:
        return None, Client(scheduler)
    # The workers would otherwise start with a fixed malloc trim threshold, which turns
    # off glibc's adaptive mmap threshold: every large temporary array of a search is
    # then mapped and faulted in afresh, and a worker does twice the one process's work.
    dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None})
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return cluster, Client(cluster)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20_000, help="base vectors")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--dir", default=str(Path(__file__).resolve().parent.parent / "out"
                                             / "scale_out"),
                        help="where the data and the shards are written")
    parser.add_argument("--scheduler", help="address of a running distributed scheduler")
    args = parser.parse_args()

    seed = 7
    data_file, query_file = make_data(args.dir, args.n, args.dim, args.queries)
    centroid = column_mean(data_file)
    ranges = row_ranges(args.n, args.shards)
    local_dir = Path(args.dir) / f"shards-{args.n}x{args.dim}-{args.bits}bit-one-process"
    cluster_dir = Path(args.dir) / f"shards-{args.n}x{args.dim}-{args.bits}bit-cluster"
    print(f"{args.n} vectors of d={args.dim} at {args.bits} bits in {data_file}, "
          f"{args.shards} shards, {args.queries} queries, load average "
          f"{os.getloadavg()[0]:.2f}", flush=True)

    start = time.perf_counter()
    run_local(build_shard, ranges, data_file, local_dir, seed, args.bits, centroid)
    t_build_local = time.perf_counter() - start
    print(f"build, one process: {t_build_local:.2f} s", flush=True)
    start = time.perf_counter()
    parts = run_local(search_shard, ranges, data_file, local_dir, query_file, seed,
                      args.bits, centroid)
    local = merge(parts)
    t_search_local = time.perf_counter() - start
    candidates = sum(p[2] for p in parts)
    print(f"search, one process: {t_search_local:.2f} s ({candidates.mean():.1f} records "
          "re-ranked per query over all shards)", flush=True)

    start = time.perf_counter()
    cluster, client = start_cluster(args.workers, args.scheduler)
    client.wait_for_workers(1 if args.scheduler else args.workers)
    workers = len(client.scheduler_info()["workers"])
    print(f"cluster start-up: {time.perf_counter() - start:.2f} s ({workers} workers)",
          flush=True)
    try:
        start = time.perf_counter()
        run_cluster(client, build_shard, ranges, data_file, cluster_dir, seed, args.bits,
                    centroid)
        t_build_cluster = time.perf_counter() - start
        start = time.perf_counter()
        spread = merge(run_cluster(client, search_shard, ranges, data_file, cluster_dir,
                                   query_file, seed, args.bits, centroid))
        t_search_cluster = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print(f"build, {workers} workers: {t_build_cluster:.2f} s")
    print(f"search, {workers} workers: {t_search_cluster:.2f} s "
          f"({args.queries / t_search_cluster:,.0f} queries/s)")
    print(f"speed-up {t_build_local / t_build_cluster:.2f}x (build, {workers} workers "
          "against one process)")
    print(f"search speed-up {t_search_local / t_search_cluster:.2f}x")
    same = shards_identical(local_dir, cluster_dir, ranges)
    print(f"shards bit-identical to one process: {'yes' if same else 'NO'}")
    equal = local[0].tobytes() == spread[0].tobytes() and np.array_equal(local[1], spread[1])
    print(f"search results identical to one process: {'yes' if equal else 'NO'}")
    if not (same and equal):
        raise SystemExit(1)


if __name__ == "__main__":
    main()
