"""Writes data/sample.pcd: a small binary PCD cloud (a lidar-like helix with intensity and ring)."""

import os

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    n = 2000
    t = np.linspace(0.0, 8.0 * np.pi, n, dtype=np.float64)
    record = np.dtype(
        [
            ("x", "<f4"),
            ("y", "<f4"),
            ("z", "<f4"),
            ("intensity", "<f4"),
            ("ring", "<u2"),
            ("timestamp", "<f8"),
        ]
    )
    cloud = np.zeros(n, dtype=record)
    cloud["x"] = 5.0 * np.cos(t)
    cloud["y"] = 5.0 * np.sin(t)
    cloud["z"] = t / 4.0
    cloud["intensity"] = (np.sin(3.0 * t) + 1.0) * 50.0
    cloud["ring"] = np.arange(n) % 32
    cloud["timestamp"] = 1.7e9 + np.arange(n) * 1e-5
    header = (
        "# .PCD v0.7 - Point Cloud Data file format\n"
        "VERSION 0.7\n"
        "FIELDS x y z intensity ring timestamp\n"
        "SIZE 4 4 4 4 2 8\n"
        "TYPE F F F F U F\n"
        "COUNT 1 1 1 1 1 1\n"
        f"WIDTH {n}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS {n}\nDATA binary\n"
    )
    os.makedirs(os.path.join(HERE, "data"), exist_ok=True)
    with open(os.path.join(HERE, "data", "sample.pcd"), "wb") as f:
        f.write(header.encode() + cloud.tobytes())


if __name__ == "__main__":
    main()
