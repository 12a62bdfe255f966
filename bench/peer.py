#!/usr/bin/python3
"""The benchmark's peer: the same read-compute-write as glide_stats, done by
bottleneck's move_* functions or pandas' rolling functions.

usage: peer.py bottleneck|pandas FUNCTION WIDTH DIM IN.raw OUT.raw

Reads float32 samples (n x DIM, row-major), applies the moving function over
each column with partial windows at the start (as glide_stats does) and
writes float32 results. Exits with status 2 when the library has no such
function."""
import sys

import numpy as np


def regression_from_sums(s1, s2, n, w):
    """Least-squares slope per sample from the window sums of x and of i*x."""
    i = np.arange(n, dtype=np.float64)[:, None]
    m = np.minimum(i + 1, w)
    start = i - m + 1
    centred = s2 - (start + (m - 1) / 2) * s1
    denom = (m * m * m - m) / 12
    with np.errstate(divide="ignore", invalid="ignore"):
        slope = np.where(denom > 0, centred / denom, 0.0)
    return slope


def run_bottleneck(func, x, w):
    import bottleneck as bn
    if func == "mean":
        return bn.move_mean(x, w, axis=0, min_count=1)
    if func == "stddev":
        return bn.move_std(x, w, axis=0, min_count=1, ddof=0)
    if func == "max":
        return bn.move_max(x, w, axis=0, min_count=1)
    if func == "sliding_median":
        return bn.move_median(x, w, axis=0, min_count=1)
    if func == "regression":
        x64 = x.astype(np.float64)
        i = np.arange(x.shape[0], dtype=np.float64)[:, None]
        s1 = bn.move_sum(x64, w, axis=0, min_count=1)
        s2 = bn.move_sum(x64 * i, w, axis=0, min_count=1)
        return regression_from_sums(s1, s2, x.shape[0], w)
    return None


def run_pandas(func, x, w):
    import pandas as pd
    df = pd.DataFrame(x)
    if func == "mean":
        return df.rolling(w, min_periods=1).mean().to_numpy()
    if func == "stddev":
        return df.rolling(w, min_periods=1).std(ddof=0).to_numpy()
    if func == "max":
        return df.rolling(w, min_periods=1).max().to_numpy()
    if func == "sliding_median":
        return df.rolling(w, min_periods=1).median().to_numpy()
    if func == "sliding_mean":
        # glide_stats' smoothing factor for a width: 1 - 6 / (w * sqrt(3)).
        alpha = max(1 - 6 / (w * 1.7320508075688772), 0.01)
        return df.ewm(alpha=1 - alpha, adjust=False).mean().to_numpy()
    if func == "regression":
        i = np.arange(x.shape[0], dtype=np.float64)[:, None]
        x64 = x.astype(np.float64)
        s1 = pd.DataFrame(x64).rolling(w, min_periods=1).sum().to_numpy()
        s2 = pd.DataFrame(x64 * i).rolling(w, min_periods=1).sum().to_numpy()
        return regression_from_sums(s1, s2, x.shape[0], w)
    return None


def main():
    lib, func, w, dim, src, dst = sys.argv[1:7]
    w, dim = int(w), int(dim)
    x = np.fromfile(src, dtype=np.float32).reshape(-1, dim)
    w = min(w, x.shape[0])  # a longer window only has partial windows
    y = (run_bottleneck if lib == "bottleneck" else run_pandas)(func, x, w)
    if y is None:
        sys.exit(2)
    np.asarray(y, dtype=np.float32).tofile(dst)


if __name__ == "__main__":
    main()
