"""Loading the demonstration's data: Fashion-MNIST, a user's file, or a fallback.

Every loader returns (base, queries, name) as C-contiguous float32 arrays.
"""
import gzip
from pathlib import Path

import numpy as np

FASHION_DIR = Path("/usr/share/datasets/fashion-mnist")


def read_idx_images(path):
    """An IDX3 file (gzip): 16-byte big-endian header, then one byte per pixel."""
    with gzip.open(path, "rb") as f:
        raw = f.read()
    count, rows, cols = (int.from_bytes(raw[i:i + 4], "big") for i in (4, 8, 12))
    pixels = np.frombuffer(raw, dtype=np.uint8, offset=16)
    return pixels.reshape(count, rows * cols).astype(np.float32)


def load_fashion_mnist():
    """Train images as the base set, test images as queries (the usual split)."""
    base = read_idx_images(FASHION_DIR / "train-images-idx3-ubyte.gz")
    queries = read_idx_images(FASHION_DIR / "t10k-images-idx3-ubyte.gz")
    return base, queries, "Fashion-MNIST"


def load_digits():
    from sklearn.datasets import load_digits as sk_digits
    data = sk_digits().data.astype(np.float32)
    rng = np.random.default_rng(0)
    order = rng.permutation(len(data))
    # 1797 images: keep 200 as queries so the base stays as large as possible.
    return data[order[200:]], data[order[:200]], "scikit-learn digits"


def read_vectors(path):
    """A matrix from .npy, .fvecs (per row: int32 dim, then floats) or .fbin
    (int32 count, int32 dim, then all floats)."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".npy":
        data = np.load(path)
        if data.ndim != 2:
            raise SystemExit(f"{path}: expected a 2-D array, got shape {data.shape}")
        return data
    if suffix == ".fvecs":
        raw = np.fromfile(path, dtype=np.int32)
        if raw.size == 0:
            raise SystemExit(f"{path}: empty file")
        dim = int(raw[0])
        if dim <= 0 or raw.size % (dim + 1):
            raise SystemExit(f"{path}: not an .fvecs file (dimension {dim})")
        return raw.reshape(-1, dim + 1)[:, 1:].view(np.float32)
    if suffix == ".fbin":
        count, dim = np.fromfile(path, dtype=np.int32, count=2)
        data = np.fromfile(path, dtype=np.float32, offset=8)
        if data.size != int(count) * int(dim):
            raise SystemExit(f"{path}: header says {count}x{dim}, file holds {data.size} floats")
        return data.reshape(int(count), int(dim))
    raise SystemExit(f"{path}: unknown format (use .npy, .fvecs or .fbin)")


def load_user_file(path, num_queries):
    """A user's matrix, split into base and queries by a seeded shuffle."""
    data = np.ascontiguousarray(read_vectors(path), dtype=np.float32)
    if len(data) < 20:
        raise SystemExit(f"{path}: need at least 20 vectors, got {len(data)}")
    rng = np.random.default_rng(0)
    order = rng.permutation(len(data))
    nq = min(num_queries, len(data) // 10)
    return data[order[nq:]], data[order[:nq]], Path(path).name


def load(args):
    """The data the flags ask for, cut to the requested subset sizes."""
    if args.data:
        base, queries, name = load_user_file(args.data, args.queries)
    elif (FASHION_DIR / "train-images-idx3-ubyte.gz").exists():
        base, queries, name = load_fashion_mnist()
    else:
        print(f"note: {FASHION_DIR} not found (Debian package dataset-fashion-mnist); "
              "using scikit-learn's bundled digits instead")
        base, queries, name = load_digits()
    if not args.full:
        base, queries = base[:args.base], queries[:args.queries]
    return np.ascontiguousarray(base), np.ascontiguousarray(queries), name
