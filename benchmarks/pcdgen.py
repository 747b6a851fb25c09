"""Synthetic PCD clouds for the benchmarks, written in the data kinds each is measured in.

  xyzi    x y z intensity, all float32 (16 bytes a point); all three kinds
  wide    x y z F4, intensity F4, ring U2, timestamp F8, rgb U4, normal F4 COUNT 3
          (42 bytes a point); all three kinds
  xyzi8g  x y z intensity as PCL's writer prints float32: 8 significant digits
          (%.8g, exponents for small values), integer-valued intensities; ascii
  noise   x y z intensity of random float32 bits: the LZF block comes out a
          little longer than the records; binary_compressed
  f3 g8 g8-small g9 e8 e18 f6 d
          x y z intensity F 4 in the number styles of other writers, as NumPy's
          savetxt prints them (PRINTF_STYLES); ascii

Values of xyzi and wide look like a spinning lidar scan and are quantised to a
few decimals, so the ascii text is as short as a careful writer's; xyzi8g has
the same geometry at full float32 precision, and a ground-level height near 0
in one point of 32. Every kind of a cloud holds the same numbers (the binary
file is the reference the loaders are checked against). One point in 997 has
NaN coordinates, as organised clouds do (not in noise and the printf styles).

binary_compressed files are laid out as PCL writes them: the records regrouped
by field (all x, then all y, ...; a COUNT 3 field keeps its three elements of a
point together), LZF-compressed as one block, preceded by the compressed and
uncompressed sizes as little-endian uint32.
"""

from __future__ import annotations

import json
import os
import sys
from dataclasses import dataclass

import numpy as np

# The PCD writer shared with the tests.
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests"))
from pcdwrite import field_grouped, header_of, lzf_compress, lzf_words  # noqa: E402

NAN_EVERY = 997
CHUNK = 1_000_000  # points formatted per pass when writing ascii


@dataclass(frozen=True)
class Field:
    name: str
    type: str  # F, U or I
    size: int
    count: int
    decimals: int  # digits after the point in the ascii text (0 for integers)

    @property
    def dtype(self) -> np.dtype:
        return np.dtype(f"<{ {'F': 'f', 'U': 'u', 'I': 'i'}[self.type] }{self.size}")

    @property
    def width(self) -> int:
        return self.size * self.count


# The cloud's values: "quantised" to the fields' decimals, "pcl8g" as PCL
# prints them, or "noise".
STYLE = {"xyzi": "quantised", "wide": "quantised", "xyzi8g": "pcl8g", "noise": "noise"}
XYZI = (
    Field("x", "F", 4, 1, 3),
    Field("y", "F", 4, 1, 3),
    Field("z", "F", 4, 1, 3),
    Field("intensity", "F", 4, 1, 1),
)

CLOUDS = {
    "xyzi": (
        Field("x", "F", 4, 1, 3),
        Field("y", "F", 4, 1, 3),
        Field("z", "F", 4, 1, 3),
        Field("intensity", "F", 4, 1, 1),
    ),
    "wide": (
        Field("x", "F", 4, 1, 3),
        Field("y", "F", 4, 1, 3),
        Field("z", "F", 4, 1, 3),
        Field("intensity", "F", 4, 1, 1),
        Field("ring", "U", 2, 1, 0),
        Field("timestamp", "F", 8, 1, 6),
        Field("rgb", "U", 4, 1, 0),
        Field("normal", "F", 4, 3, 4),
    ),
    "xyzi8g": XYZI,
    "noise": XYZI,
}

# Number styles as common writers print them: (printf format, values), each
# format applied to every column. "uniform": coordinates uniform in +-80 and
# integer intensities in [0, 256); "small": normal of scale 0.05 and
# intensities in [0, 1), which %.8g prints with exponents.
PRINTF_STYLES = {
    "f3": ("%.3f", "uniform"),
    "g8": ("%.8g", "uniform"),
    "g8-small": ("%.8g", "small"),
    "g9": ("%.9g", "uniform"),  # float32 round trip
    "e8": ("%.8e", "uniform"),
    "e18": ("%.18e", "uniform"),  # savetxt's default
    "f6": ("%f", "uniform"),
    "d": ("%d", "uniform"),
}
CLOUDS.update((name, XYZI) for name in PRINTF_STYLES)
STYLE.update((name, "printf") for name in PRINTF_STYLES)

KINDS = ("binary", "binary_compressed", "ascii")
CLOUD_KINDS = {
    "xyzi": KINDS,
    "wide": KINDS,
    "xyzi8g": ("ascii",),
    "noise": ("binary_compressed",),
    **{name: ("ascii",) for name in PRINTF_STYLES},
}


def record_dtype(fields) -> np.dtype:
    """Packed structured dtype of one point record (COUNT > 1 as a subarray)."""
    return np.dtype(
        [(f.name, f.dtype) if f.count == 1 else (f.name, f.dtype, (f.count,)) for f in fields]
    )


def header_text(fields, points: int, kind: str) -> bytes:
    return header_of([(f.name, f.type, f.size, f.count) for f in fields], points, kind)


HEADER_LINES = 11  # lines header_text writes, for readers that skip rows


def _scaled_columns(fields, start: int, n: int) -> dict:
    """Integer columns: each value times 10**decimals, exactly what the text shows."""
    i = np.arange(start, start + n, dtype=np.int64)
    rng = np.random.default_rng(1234 + start)
    ring = i % 64
    azimuth = (i // 64) * (2 * np.pi / 1800.0)
    elevation = np.deg2rad(-25.0 + ring * (40.0 / 63.0))
    rng_m = rng.uniform(1.0, 120.0, n)
    x = rng_m * np.cos(elevation) * np.cos(azimuth)
    y = rng_m * np.cos(elevation) * np.sin(azimuth)
    z = rng_m * np.sin(elevation)
    cols = {
        "x": np.rint(x * 1e3).astype(np.int64),
        "y": np.rint(y * 1e3).astype(np.int64),
        "z": np.rint(z * 1e3).astype(np.int64),
        "intensity": rng.integers(0, 2560, n),
        "ring": ring,
        "timestamp": 1_700_000_000_000_000 + i * 55,  # microseconds
        "rgb": rng.integers(0, 1 << 24, n),
    }
    nx, ny, nz = rng.normal(size=(3, n))
    norm = np.sqrt(nx * nx + ny * ny + nz * nz)
    cols["normal"] = np.rint(np.stack([nx, ny, nz], axis=1) / norm[:, None] * 1e4).astype(np.int64)
    return cols


def _nan_mask(start: int, n: int) -> np.ndarray:
    return (np.arange(start, start + n) % NAN_EVERY) == NAN_EVERY - 1


def _float_columns(style: str, start: int, n: int) -> dict:
    """x y z intensity float32 columns of the pcl8g and noise clouds."""
    rng = np.random.default_rng(4321 + start)
    if style == "noise":
        cols = {name: rng.uniform(-100.0, 100.0, n).astype(np.float32) for name in "xyz"}
        cols["intensity"] = rng.uniform(0.0, 1.0, n).astype(np.float32)
        return cols
    i = np.arange(start, start + n, dtype=np.int64)
    ring = i % 64
    azimuth = rng.uniform(0.0, 2 * np.pi, n)
    elevation = np.deg2rad(-25.0 + ring * (40.0 / 63.0))
    rng_m = rng.uniform(1.0, 120.0, n)
    z = rng_m * np.sin(elevation)
    ground = (i % 32) == 5
    z[ground] = rng.normal(0.0, 3e-5, int(ground.sum()))
    cols = {
        "x": rng_m * np.cos(elevation) * np.cos(azimuth),
        "y": rng_m * np.cos(elevation) * np.sin(azimuth),
        "z": z,
        "intensity": rng.integers(0, 256, n).astype(np.float64),
    }
    nan = _nan_mask(start, n)
    for name in "xyz":
        cols[name][nan] = np.nan
    return {name: _round_trip_8g(v.astype(np.float32)) for name, v in cols.items()}


def _text_8g(values: np.ndarray) -> list:
    return ["%.8g" % v for v in values.tolist()]


def _round_trip_8g(values: np.ndarray) -> np.ndarray:
    """The float32 numbers that reading the %.8g text of `values` gives."""
    return np.array([float(t) for t in _text_8g(values)], dtype=np.float32)


def make_records(fields, start: int, n: int, style: str = "quantised") -> np.ndarray:
    if style != "quantised":
        cols = _float_columns(style, start, n)
        rec = np.zeros(n, dtype=record_dtype(fields))
        for f in fields:
            rec[f.name] = cols[f.name]
        return rec
    cols = _scaled_columns(fields, start, n)
    rec = np.zeros(n, dtype=record_dtype(fields))
    nan = _nan_mask(start, n)
    for f in fields:
        v = cols[f.name]
        if f.type == "F":
            v = v / float(10**f.decimals)
        rec[f.name] = v.astype(f.dtype)
        if f.name in ("x", "y", "z"):
            rec[f.name][nan] = np.nan
    return rec


# ---- ascii formatting, vectorised: fixed-width byte columns, padding squeezed out ----


def _format_column(k: np.ndarray, decimals: int, nan: np.ndarray | None) -> np.ndarray:
    """(n, width) uint8 text of the scaled integers `k`; zero bytes are padding."""
    n = k.shape[0]
    neg = k < 0
    a = np.abs(k)
    digits = max(len(str(int(a.max()))) if n else 1, decimals + 1)
    width = 1 + digits + (1 if decimals else 0)
    out = np.zeros((n, width), dtype=np.uint8)
    out[:, 0] = np.where(neg, ord("-"), 0)
    col = 1
    int_digits = digits - decimals
    for j in range(digits):
        power = digits - 1 - j
        d = (a // (10**power)) % 10
        ch = (d + ord("0")).astype(np.uint8)
        if j < int_digits - 1:  # leading zeros of the integer part are dropped
            ch = np.where(a >= 10**power, ch, 0).astype(np.uint8)
        out[:, col] = ch
        col += 1
        if decimals and j == int_digits - 1:
            out[:, col] = ord(".")
            col += 1
    if nan is not None and nan.any():
        out[nan] = 0
        out[nan, 0:3] = np.frombuffer(b"nan", dtype=np.uint8)
    return out


def ascii_chunk_8g(fields, start: int, n: int) -> bytes:
    """Text of x y z intensity records as PCL's writer prints float32 (nan as "nan")."""
    cols = _float_columns("pcl8g", start, n)
    columns = [_text_8g(cols[f.name]) for f in fields]
    return "".join(" ".join(row) + "\n" for row in zip(*columns)).encode("ascii")


def ascii_chunk(fields, start: int, n: int) -> bytes:
    cols = _scaled_columns(fields, start, n)
    nan = _nan_mask(start, n)
    parts = []
    for f in fields:
        k = cols[f.name]
        k = k.reshape(n, f.count)
        for c in range(f.count):
            parts.append(_format_column(k[:, c], f.decimals, nan if f.name in "xyz" else None))
            parts.append(np.full((n, 1), ord(" "), dtype=np.uint8))
    parts[-1][:] = ord("\n")
    block = np.concatenate(parts, axis=1).ravel()
    return block[block != 0].tobytes()


def styled_columns(values: str, n: int, rng) -> list:
    """x y z intensity columns of float32 values of one kind (PRINTF_STYLES, "normal", "lidar")."""
    if values == "lidar":
        records = make_records(CLOUDS["wide"], 0, n)
        columns = [records[c].astype(np.float32) for c in "xyz"]
        columns.append(rng.integers(0, 256, n).astype(np.float32))
    elif values == "normal":
        columns = list(rng.normal(0, 50, (4, n)).astype(np.float32))
    elif values == "uniform":
        columns = list(rng.uniform(-80, 80, (3, n)).astype(np.float32))
        columns.append(rng.integers(0, 256, n).astype(np.float32))
    else:  # small
        columns = list(rng.normal(0, 0.05, (3, n)).astype(np.float32))
        columns.append(rng.uniform(0, 1, n).astype(np.float32))
    return columns


def styled_text(fmt: str, values: str, n: int) -> bytes:
    """n lines of x y z intensity float32 values printed in `fmt` (all n at once: the
    values depend on n)."""
    columns = styled_columns(values, n, np.random.default_rng(17))
    if fmt == "%d":
        columns = [np.rint(c).astype(np.int64) for c in columns]
    lines = (" ".join([fmt] * 4) + "\n") * n
    return (lines % tuple(np.stack(columns, axis=1).ravel().tolist())).encode()


def styled_records(text: bytes, fields) -> np.ndarray:
    """The records of styled text: each number rounded to float64, then to float32, which is
    the float32 nearest the text unless the first rounding lands on a halfway point between
    two float32 (a load's check against these records would show it)."""
    values = np.array(text.split(), dtype=np.float64).astype(np.float32)
    rec = np.zeros(len(values) // len(fields), dtype=record_dtype(fields))
    for i, f in enumerate(fields):
        rec[f.name] = values[i :: len(fields)]
    return rec


# ---- writers ----


def write_cloud(path: str, cloud: str, points: int, kind: str) -> None:
    fields = CLOUDS[cloud]
    tmp = path + ".part"
    with open(tmp, "wb") as fh:
        fh.write(header_text(fields, points, kind))
        style = STYLE[cloud]
        if style == "printf":
            if kind == "binary_compressed":
                raise ValueError("the printf-style clouds have no compressed form")
            text = styled_text(*PRINTF_STYLES[cloud], points)
            fh.write(text if kind == "ascii" else styled_records(text, fields).tobytes())
        elif kind == "ascii":
            chunk = ascii_chunk_8g if style == "pcl8g" else ascii_chunk
            if style == "noise":
                raise ValueError("the noise cloud has no ascii form")
            for start in range(0, points, CHUNK):
                fh.write(chunk(fields, start, min(CHUNK, points - start)))
        else:
            rec = np.empty(points, dtype=record_dtype(fields))
            for start in range(0, points, CHUNK):
                n = min(CHUNK, points - start)
                rec[start : start + n] = make_records(fields, start, n, style)
            if kind == "binary":
                rec.tofile(fh)
            else:
                grouped = field_grouped(rec)
                del rec
                block = lzf_compress(grouped)
                fh.write(lzf_words(len(block), len(grouped)))
                fh.write(block)
    os.replace(tmp, path)


GENERATOR_VERSION = 3  # bump when the data written changes


def cloud_path(out_dir: str, cloud: str, points: int, kind: str) -> str:
    return os.path.join(out_dir, f"{cloud}_{points}_{kind}.pcd")


def _meta(path: str) -> dict:
    cloud, points, kind = os.path.basename(path)[: -len(".pcd")].split("_", 2)
    return {"generator": GENERATOR_VERSION, "cloud": cloud, "points": int(points), "kind": kind}


def is_current(path: str) -> bool:
    """Whether `path` is there, complete, and written by this version of the generator."""
    try:
        with open(path + ".json") as fh:
            old = json.load(fh)
        return old.get("meta") == _meta(path) and old.get("size") == os.path.getsize(path)
    except (OSError, ValueError):
        return False


def ensure_cloud(out_dir: str, cloud: str, points: int, kind: str) -> str:
    """Path of the cloud, written first unless an identical one is already there."""
    path = cloud_path(out_dir, cloud, points, kind)
    if is_current(path):
        return path
    os.makedirs(out_dir, exist_ok=True)
    write_cloud(path, cloud, points, kind)
    stamp = path + ".json"
    meta = _meta(path)
    with open(stamp, "w") as fh:
        json.dump({"meta": meta, "size": os.path.getsize(path)}, fh)
    return path


def data_offset(path: str) -> tuple[int, int]:
    """(byte offset of the data section, number of header lines)."""
    with open(path, "rb") as fh:
        offset = 0
        lines = 0
        for line in fh:
            offset += len(line)
            lines += 1
            if line.startswith(b"DATA"):
                return offset, lines
    raise ValueError(f"{path}: no DATA line")
