"""Quantize a data set in partitions on several worker processes.

A RaBitQ quantizer is fully determined by (dimension, seed, total_bits, centroid):
every worker rebuilds the same quantizer from those four values instead of receiving
it, codes its partition, and sends back the stored formats as arrays. The result is
bit-identical to coding the whole set in one process.

    python examples/scale_out.py [--workers 2] [--partitions 8] [--n 20000] [--dim 128]
"""
import argparse
import time

import numpy as np

import mivo

FACTORS = ("delta", "vl", "f_add", "f_rescale", "f_error", "residual_norm")


def quantize_partition(rows, dimension, seed, total_bits, centroid):
    """Codes rows with a quantizer rebuilt from its defining values.

    Returns the stored formats: combined codes (n, d) uint16, packed sign bits and
    packed extended codes (n, bytes) uint8, and the six factors (n, 6) float32.
    """
    # Arrays that arrive over the network can sit at any byte offset of a frame;
    # mivo refuses misaligned arrays, so take an aligned copy where needed.
    rows = np.require(rows, np.float32, ["C_CONTIGUOUS", "ALIGNED"])
    quantizer = mivo.RaBitQQuantizer(dimension, seed, total_bits)
    quantizer.set_centroid(centroid)
    records = [quantizer.quantize(row) for row in rows]
    codes = np.array([r.codes for r in records], dtype=np.uint16).reshape(len(records), dimension)
    binary = np.frombuffer(b"".join(r.binary_codes for r in records), np.uint8)
    extended = np.frombuffer(b"".join(r.extended_codes for r in records), np.uint8)
    factors = np.array([[getattr(r, f) for f in FACTORS] for r in records], np.float32)
    return {
        "codes": codes,
        "binary_codes": binary.reshape(len(records), -1),
        "extended_codes": extended.reshape(len(records), -1),
        "factors": factors.reshape(len(records), len(FACTORS)),
    }


def concatenate(parts):
    return {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}


def quantize_local(data, seed, total_bits, centroid):
    return quantize_partition(data, data.shape[1], seed, total_bits, centroid)


def quantize_distributed(data, seed, total_bits, centroid, workers=2, partitions=4):
    """Codes data in `partitions` slices on a local cluster of `workers` processes."""
    from distributed import Client, LocalCluster

    slices = np.array_split(data, partitions)
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        futures = [
            client.submit(quantize_partition, part, data.shape[1], seed, total_bits, centroid,
                          pure=False)
            for part in slices
        ]
        return concatenate(client.gather(futures))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--bits", type=int, default=4)
    args = parser.parse_args()

    data = np.random.default_rng(0).standard_normal((args.n, args.dim), dtype=np.float32)
    centroid = data.mean(axis=0, dtype=np.float32)
    start = time.perf_counter()
    local = quantize_local(data, 7, args.bits, centroid)
    t_local = time.perf_counter() - start
    start = time.perf_counter()
    spread = quantize_distributed(data, 7, args.bits, centroid, args.workers, args.partitions)
    t_spread = time.perf_counter() - start
    same = all(np.array_equal(local[k].view(np.uint8), spread[k].view(np.uint8)) for k in local)
    print(f"{args.n} vectors, d={args.dim}, {args.bits} bits: one process {t_local:.2f} s, "
          f"{args.workers} workers x {args.partitions} partitions {t_spread:.2f} s "
          f"(cluster start-up included); bit-identical: {same}")


if __name__ == "__main__":
    main()
