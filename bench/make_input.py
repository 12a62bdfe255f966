#!/usr/bin/python3
"""Writes the benchmark's input: a random float32 signal as a raw file
(n x dim, row-major) and as a one-sequence .fv stream with the same samples."""
import struct
import sys

import numpy as np


def fv_header(n, dim, name=b"bench"):
    # ID, versions, name, n_expected, no sequence data, dim, item size 4,
    # FV_FLOAT, no labels, no additional data.
    return (struct.pack("<h", 23) + b"feature vector sequence" +
            struct.pack("<ii", 10000, 10000) +
            struct.pack("<h", len(name)) + name +
            struct.pack("<iii", n, 0, dim) + bytes([4, 0, 0, 0]) +
            struct.pack("<i", 0))


def main():
    n, dim, raw_path, fv_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    rng = np.random.default_rng(20261206)
    # A slow sine under noise, so that extremes and medians move.
    t = np.arange(n, dtype=np.float64)[:, None]
    x = (np.sin(t * 2e-4 + np.arange(dim)) +
         rng.standard_normal((n, dim)) * 0.3).astype(np.float32)
    x.tofile(raw_path)
    with open(fv_path, "wb") as f:
        f.write(fv_header(n, dim))
        f.write(x.tobytes())


if __name__ == "__main__":
    main()
