"""Loads a PCD file with kelvarin and prints its points, fields and bounds."""

import sys
import time

import numpy as np

import kelvarin


def main(path):
    start = time.perf_counter()
    points, fields = kelvarin.load_pcd(path)
    elapsed = time.perf_counter() - start
    print(f"{path}: {len(points)} points loaded in {elapsed * 1e3:.2f} ms")
    print(f"points: {points.dtype} {points.shape}")
    with np.printoptions(precision=3, suppress=True):
        print(points[:5])
        finite = points[np.isfinite(points).all(axis=1)]
        if len(finite):
            print("bounds min:", finite.min(axis=0))
            print("bounds max:", finite.max(axis=0))
    print("fields:")
    for name, values in fields.items():
        print(f"  {name:<12} {str(values.dtype):<8} {values.shape}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/data/sample.pcd")
