"""DATA ascii: number syntax, stores per type and size, separators and lenient ends."""

import math
from fractions import Fraction

import numpy as np
import pytest

import kelvarin
from conftest import fields_of
from pcdwrite import header_of

NAN = math.nan
NEG_NAN = math.copysign(math.nan, -1.0)
INF = math.inf
XYZ = "x:F4 y:F4 z:F4"


def ascii_pcd(layout, text, points=1):
    body = text.encode("latin-1") if isinstance(text, str) else text
    return header_of(fields_of(layout), points, "ascii") + body


def load(write_pcd, text, layout=XYZ, points=1):
    return kelvarin.load_pcd(write_pcd(ascii_pcd(layout, text, points)))


def assert_bits(actual, expected):
    """Bit-exact comparison, so -0.0, NaN sign and wrap-around patterns count."""
    actual = np.asarray(actual)
    expected = np.asarray(expected, dtype=actual.dtype)
    assert actual.tobytes() == expected.tobytes(), (actual, expected)


# One point x y z of F 4: text -> (x, y, z). A conversion that stops inside a
# token leaves the rest for the next slot; a token nothing accepts ends decoding.
@pytest.mark.parametrize(
    "text, xyz",
    [
        ("1 2 3", (1, 2, 3)),
        ("5. .5 -.5", (5, 0.5, -0.5)),
        ("007 -000 1e0001", (7, -0.0, 10)),
        ("1e5 1E-2 2.5e+1", (1e5, 0.01, 25)),
        ("1e 2 3", (1, 0, 0)),  # "e" stays and is no number
        ("1e+ 2 3", (1, 0, 0)),
        ("1..5 2", (1, 0.5, 2)),
        ("1-2-3", (1, -2, -3)),
        ("1,2,3", (1, 0, 0)),
        ("+1 2 3", (0, 0, 0)),
        ("- 1 2", (0, 0, 0)),
        ("-. 1 2", (0, 0, 0)),
        (". 1 2", (0, 0, 0)),
        ("0x1A 2 3", (0, 0, 0)),
        ("nan -inf Infinity", (NAN, -INF, INF)),
        ("-nan NAN -NaN", (NEG_NAN, NAN, NEG_NAN)),
        ("INF -iNfInItY inf", (INF, -INF, INF)),
        ("infinit 1 2", (INF, 0, 0)),  # only "inf" taken, "init" is a word
        ("NaN(abc_1) 1 2", (NAN, 1, 2)),
        ("nan() 1 2", (NAN, 1, 2)),
        ("nan(a-b) 1 2", (NAN, 0, 0)),  # "(" left behind
        ("nan(abc", (NAN, 0, 0)),
        ("1e39 -1e-50 -1e39", (INF, -0.0, -INF)),
        ("1e-45 7e-46 -8e-46", (2.0**-149, 0, -(2.0**-149))),
        ("1.0000000596046448 0 0", (1 + 2.0**-23, 0, 0)),  # direct binary32, not via binary64
        ("16777217 0.1 3.14159265358979323846264338327950288", (16777216, 0.1, math.pi)),
    ],
)
def test_float32_text(write_pcd, text, xyz):
    points, fields = load(write_pcd, text)
    assert fields == {}
    assert_bits(points, np.array([xyz], dtype=np.float32))


# Two points of x y z: separators and line structure.
@pytest.mark.parametrize(
    "text, expected",
    [
        (b"", [0] * 6),
        (b"1 2 3 4", [1, 2, 3, 4, 0, 0]),
        (b"1 2\n3 4 5\n6\n", [1, 2, 3, 4, 5, 6]),
        (b"1 2\r\n3 4 5\r\n6\r\n", [1, 2, 3, 4, 5, 6]),
        (b"\n\n   1 2 3\n\n4 5 6", [1, 2, 3, 4, 5, 6]),
        (b"1\t2\x003\x804\xff5\x016", [1, 2, 3, 4, 5, 6]),
        (b"1\x7f2 3 4 5 6", [1, 0, 0, 0, 0, 0]),  # 0x7F is no separator
        (b"1 2 3 4 5 6 7 8 9 words after", [1, 2, 3, 4, 5, 6]),
        (b"1 2 3 abc 4 5 6", [1, 2, 3, 0, 0, 0]),
        (b"1 2 3 +4 5 6", [1, 2, 3, 0, 0, 0]),
        (b"1 2 3 4,5 6", [1, 2, 3, 4, 0, 0]),
        (b"1 2 3\n4 5", [1, 2, 3, 4, 5, 0]),
    ],
)
def test_separators_and_points(write_pcd, text, expected):
    points, _ = load(write_pcd, text, points=2)
    assert_bits(points, np.array(expected, dtype=np.float32).reshape(2, 3))


# Fields x y z v w, two points; text after the first point's "0 0 0".
# -> (v, w, x of the second point), which shows how far each token reached.
@pytest.mark.parametrize(
    "vw, text, expected",
    [
        ("v:I1 w:F4", "300 5", (44, 5, 0)),
        ("v:I1 w:F4", "-129 5", (127, 5, 0)),
        ("v:I1 w:F4", "-0 5", (0, 5, 0)),
        ("v:U1 w:F4", "300 5", (44, 5, 0)),
        ("v:I2 w:F4", "-1 5", (-1, 5, 0)),
        ("v:U2 w:F4", "65536 5", (0, 5, 0)),
        ("v:U2 w:F4", "65535 5", (65535, 5, 0)),
        ("v:I4 w:F4", "-2147483649 5", (2147483647, 5, 0)),
        ("v:U4 w:F4", "4294967297 5", (1, 5, 0)),
        ("v:I8 w:F4", "-9223372036854775808 5", (-(2**63), 5, 0)),
        ("v:I8 w:F4", "9223372036854775807 5", (2**63 - 1, 5, 0)),
        ("v:I8 w:F4", "9223372036854775808 5 7", (0, 5, 7)),  # out of range: consumed, no value
        ("v:I8 w:F4", "-9223372036854775809 5 7", (0, 5, 7)),
        ("v:U8 w:F4", "18446744073709551615 5", (2**64 - 1, 5, 0)),
        ("v:U8 w:F4", "18446744073709551616 5 7", (0, 5, 7)),
        ("v:U8 w:F4", "99999999999999999999999999 5 7", (0, 5, 7)),
        # 20 digits beyond 2^64 that some fast_float releases wrap instead of refusing
        ("v:U8 w:F4", "49918439723058155489 5 7", (0, 5, 7)),
        ("v:U8 w:F4", "0067966326783959317366 5 7", (0, 5, 7)),
        ("v:U8 w:F4", "000000000000000000000000042 5", (42, 5, 0)),
        ("v:I8 w:F4", "-000000000000000000000000042 5", (-42, 5, 0)),
        ("v:U4 w:F4", "12345678 5", (12345678, 5, 0)),
        ("v:U4 w:F4", "123456789 5", (123456789, 5, 0)),
        ("v:U4 w:F4", "00000000123 5", (123, 5, 0)),
        ("v:I1 w:F4", "-99999999 5", (1, 5, 0)),
        ("v:I2 w:F4", "-12345678.5 7", (-24910, 0.5, 7)),
        ("v:U2 w:F4", "7- 5", (7, 0, 0)),
        ("v:I4 w:F4", "1.5 7", (1, 0.5, 7)),
        ("v:I4 w:F4", "1e3 7", (1, 0, 0)),  # "e3" is no number for F either
        ("v:I4 w:F4", ".5 7", (0, 0.5, 7)),
        ("v:I4 w:F4", "nan 7", (0, NAN, 7)),
        ("v:I4 w:F4", "-5-6 7", (-5, -6, 7)),
        ("v:I4 w:F4", "- 5 7", (0, 0, 0)),
        ("v:I4 w:F4", "+5 7", (0, 0, 0)),
        ("v:U4 w:F4", "-0 7", (0, -0.0, 7)),
        ("v:U4 w:I4", "-5 7", (0, -5, 7)),
        ("v:U4 w:F4", "0x1A 5", (0, 0, 0)),
        ("v:F8 w:I2", "1e309 70000 7", (INF, 4464, 7)),
        ("v:F8 w:F8", "-1e-400 1.0000000596046448 7", (-0.0, 1.0000000596046448, 7)),
        ("v:F8 w:F8", "4.9e-324 0.1 7", (5e-324, 0.1, 7)),
        # timestamps: a point within the first 16 bytes, the fraction running past them
        (
            "v:F8 w:F8",
            "1700000000.000385 -1700000000.0000001 7",
            (1700000000.000385, -1700000000.0000001, 7),
        ),
        (
            "v:F8 w:F8",
            "123456789012345.6789 .12345678901234567 7",
            (123456789012345.6789, 0.12345678901234567, 7),
        ),
        (
            "v:F8 w:F8",
            "1234567890123.12345678 9999999999999.9999 7",
            (1234567890123.12345678, 9999999999999.9999, 7),
        ),
        (
            "v:F8 w:F8",
            "1700000000.000385e2 -9007199254740993.5 7",
            (170000000000.0385, -9007199254740993.5, 7),
        ),
        ("v:F8 w:F4", "1700000000.000385x 7", (1700000000.000385, 0, 0)),
    ],
)
def test_integer_and_double_slots(write_pcd, vw, text, expected):
    points, fields = load(write_pcd, "0 0 0 " + text, layout=f"{XYZ} {vw}", points=2)
    assert_bits(fields["v"][0], expected[0])
    assert_bits(fields["w"][0], expected[1])
    assert_bits(points[1, 0], expected[2])


# A slot whose conversion gives no value keeps 0, not the previous point's value.
@pytest.mark.parametrize(
    "layout, text, v, w",
    [
        ("v:I8", "0 0 0 5  0 0 0 9223372036854775808", [5, 0], None),
        ("v:U4 w:I4", "0 0 0 7 8  0 0 0 -1 -2", [7, 0], [8, -1]),
        ("v:U1 w:U1", "0 0 0 1 2  0 0 0 3 +4", [1, 3], [2, 0]),
    ],
)
def test_no_value_keeps_zero(write_pcd, layout, text, v, w):
    _, fields = load(write_pcd, text, layout=f"{XYZ} {layout}", points=2)
    assert_bits(fields["v"], v)
    if w is not None:
        assert_bits(fields["w"], w)


@pytest.mark.parametrize(
    "layout, text, expected, xyz",
    [
        (f"{XYZ} c:F4x3", "0 0 0 4 5 6  1 1 1 7 8", [[4, 5, 6], [7, 8, 0]], [[0, 0, 0], [1, 1, 1]]),
        (
            f"{XYZ} c:I2x3",
            "0 0 0 1 -1 70000  1 1 1 -32769",
            [[1, -1, 4464], [32767, 0, 0]],
            [[0, 0, 0], [1, 1, 1]],
        ),
        (f"c:U1x2 {XYZ}", "1 2 3 4 5  6 7 8 9 10", [[1, 2], [6, 7]], [[3, 4, 5], [8, 9, 10]]),
        # "-2" ends the U run; the next point's x takes it
        (f"{XYZ} c:U1x3", "0 0 0 1 -2 3 4", [[1, 0, 0], [0, 0, 0]], [[0, 0, 0], [-2, 3, 4]]),
    ],
)
def test_count_fields_take_consecutive_numbers(write_pcd, layout, text, expected, xyz):
    points, fields = load(write_pcd, text, layout=layout, points=2)
    assert fields["c"].shape == (2, len(expected[0]))
    assert_bits(fields["c"], expected)
    assert_bits(points, np.array(xyz, dtype=np.float32))


# Coordinates of a lower-case type are converted like upper-case ones, as in
# binary data; a lower-case type on another field is refused by the loader.
@pytest.mark.parametrize(
    "layout, text, xyz, intensity",
    [
        ("x:f4 y:f4 z:f4", "1 2 3", [1, 2, 3], None),
        ("x:F4 y:f4 z:F4", "1 2 3", [1, 2, 3], None),
        ("x:f4 y:f4 z:f4 intensity:F4", "1 2 3 4", [1, 2, 3], [4]),
        ("x:f8 y:i4 z:u2 intensity:F4", "1.5 -2 3 4", [1.5, -2, 3], [4]),
    ],
)
def test_lowercase_types_convert(write_pcd, layout, text, xyz, intensity):
    points, fields = load(write_pcd, text, layout=layout)
    assert_bits(points, np.array([xyz], dtype=np.float32))
    if intensity is not None:
        assert_bits(fields["intensity"], np.array(intensity, dtype=np.float32))


# Decoding slots of unsupported type/size must not disturb the load's own check.
@pytest.mark.parametrize("extra", ["v:f4", "v:F2", "v:F16", "v:I3", "v:U7", "v:Q4"])
def test_unsupported_field_fails_after_decoding(write_pcd, extra):
    with pytest.raises(RuntimeError, match="Unsupported PCD type/size"):
        load(write_pcd, "1 2 3 123456789 4 5 6 7", layout=f"{XYZ} {extra}", points=2)


@pytest.mark.parametrize("variant", ["no_line_feed", "crlf_file", "nothing_after_data"])
def test_data_line_variants(write_pcd, variant):
    header = ascii_pcd(XYZ, b"", points=2)
    content = {
        "no_line_feed": header.rstrip(b"\n"),
        "crlf_file": header.replace(b"\n", b"\r\n") + b"1 2 3\r\n4 5 6\r\n",
        "nothing_after_data": header,
    }[variant]
    points, fields = kelvarin.load_pcd(write_pcd(content))
    expected = [[1, 2, 3], [4, 5, 6]] if variant == "crlf_file" else [[0, 0, 0]] * 2
    assert points.shape == (2, 3) and fields == {}
    assert_bits(points, np.array(expected, dtype=np.float32))


def test_zero_points(write_pcd):
    points, fields = load(write_pcd, "1 2 3 4", layout=f"{XYZ} i:I4", points=0)
    assert points.shape == (0, 3) and fields["i"].shape == (0,)


def test_mixed_record_round_trip(write_pcd):
    """Many points of every store kind written the way PCD writers do."""
    rng = np.random.default_rng(7)
    n = 500
    layout = f"{XYZ} intensity:F4 ring:U2 t:F8 label:I4 rgb:U1x3 id:U8 d:I1"
    xyz = (rng.normal(0, 50, (n, 3))).astype(np.float32)
    cols = {
        "intensity": rng.uniform(0, 1, n).astype(np.float32),
        "ring": rng.integers(0, 2**16, n, dtype=np.uint16),
        "t": rng.uniform(1.7e9, 1.8e9, n),
        "label": rng.integers(-(2**31), 2**31, n, dtype=np.int32),
        "rgb": rng.integers(0, 256, (n, 3), dtype=np.uint8),
        "id": rng.integers(0, 2**64, n, dtype=np.uint64),
        "d": rng.integers(-128, 128, n, dtype=np.int8),
    }
    seps = ["\t", "  ", "\r\n ", "\x00"]
    lines = []
    for i in range(n):
        values = ["%.9g" % v for v in xyz[i]] + [np.format_float_positional(cols["intensity"][i])]
        values += [str(cols["ring"][i]), repr(float(cols["t"][i])), str(cols["label"][i])]
        values += [str(v) for v in cols["rgb"][i]] + [str(cols["id"][i]), str(cols["d"][i])]
        lines.append(seps[i % len(seps)].join(values))
    points, fields = load(write_pcd, "\n".join(lines) + "\n", layout=layout, points=n)
    assert_bits(points, xyz)
    assert set(fields) == set(cols)
    for name, values in cols.items():
        assert_bits(fields[name], values)


def float32_nearest(text):
    """Correctly rounded binary32 of a decimal text (ties to even), by exact arithmetic."""
    exact = Fraction(text)
    guess = np.float32(float(text))  # keeps the sign of zero
    below, above = np.nextafter(guess, np.float32(-INF)), np.nextafter(guess, np.float32(INF))
    return min(
        [below, guess, above],
        key=lambda c: (abs(Fraction(float(c)) - exact), int(c.view(np.uint32)) & 1),
    )


# Decimals whose correctly rounded binary64 lies exactly halfway between two
# binary32 values: rounding them to binary64 first and then to binary32 ends
# on the wrong side.
HALFWAY_TRAPS = [
    "0.499778613448143",
    "0.51187863945961",
    "0.5128699839115143",
    "29.66032123565674",
    "71.35016250610352",
    "62.85831642150879",
    "-0.51187863945961",
    "-71.35016250610352",
    "-29.66032123565674",
]


def number_texts(rng, count):
    """Mostly the short decimals of real clouds, with longer and odd forms mixed in."""
    odd = [
        "-0",
        "0",
        "-0.0",
        ".5",
        "5.",
        "-.5",
        "-5.",
        "12345678",
        "-1234567",
        "1234.567",
        "-123.456",
        "00000000.5",
        "0.0000001",
        "1e5",
        "-1.5E-3",
        "inf",
        "-NaN",
        "123456789",
        "-12345678",
        "0.061765905",
        "16777217",
        "33554434",
        *HALFWAY_TRAPS,
    ]
    texts = []
    for _ in range(count):
        if rng.random() < 0.05:
            texts.append(str(rng.choice(odd)))
            continue
        whole, fraction = rng.integers(0, 5), rng.integers(0, 4)
        digits = "".join(rng.choice(list("0123456789"), whole + fraction)) or "0"
        sign = "-" if rng.random() < 0.4 else ""
        point = "." if fraction or (whole and rng.random() < 0.1) else ""
        texts.append(f"{sign}{digits[:whole]}{point}{digits[whole:]}")
    return texts


def float32_of(text):
    return (
        np.float32(float(text))
        if text.lower().lstrip("-") in ("inf", "nan")
        else float32_nearest(text)
    )


@pytest.mark.parametrize(
    "layout",
    [
        XYZ,
        f"{XYZ} i:F4",
        f"{XYZ} normal:F4x3 c:F4",
        f"{XYZ} a:F4 b:F4 c:F4 d:F4 e:F4",
        f"n:F4x6 {XYZ}",
    ],
)
def test_float32_clouds_match_exact_rounding(write_pcd, layout):
    """Whole clouds of binary32 fields, as most ascii files are: every value
    correctly rounded whatever its form, the lines now and then one number
    short or long (numbers are taken in order, so the points shift)."""
    rng = np.random.default_rng(len(layout))
    names, _, _, counts = zip(*fields_of(layout))
    width, n = sum(counts), 3000
    texts = number_texts(rng, width * n)
    separators = [" ", " ", "\t", "  ", "\x00", "\x80", " \r"]
    lines, k = [], 0
    while k < len(texts):
        take = width + (rng.choice([-1, 1]) if rng.random() < 0.02 else 0)
        # (indexing, not rng.choice: NumPy strings drop a trailing NUL)
        lines.append(
            "".join(t + separators[rng.integers(len(separators))] for t in texts[k : k + take])
        )
        k += take
    points, fields = load(write_pcd, "\n".join(lines) + "\n", layout, points=n)
    values = np.array([float32_of(t) for t in texts], np.float32).reshape(n, width)
    columns = {}
    start = 0
    for name, count in zip(names, counts):
        columns[name] = values[:, start : start + count] if count > 1 else values[:, start]
        start += count
    assert_bits(points, np.stack([columns[c] for c in "xyz"], axis=1))
    for name in fields:
        assert_bits(fields[name], columns[name])


@pytest.mark.parametrize(
    "layout", [f"{XYZ} f:F4x5", f"{XYZ} rgb:U4 n:F4x4", f"{XYZ} ring:U2 n:F4x4"]
)
@pytest.mark.parametrize("lead", [6, 7, 8, 9])
def test_eight_number_runs_at_the_end_of_a_scan(write_pcd, layout, lead):
    """Records of eight six-byte numbers after a line end and `lead` spaces:
    the eighth number ends 62 to 65 bytes past the line end, just inside or
    just outside the 64 bytes the vector decoder scans from there."""
    rng = np.random.default_rng(lead)
    n = 400
    names, _, sizes, _ = zip(*fields_of(layout))
    integer = names[3] if names[3] != "f" else None
    rows = []
    for _ in range(n):
        row = [
            f"{rng.choice(['-', ''])}{rng.integers(0, 10)}.{rng.integers(0, 1000):03d}"
            for _ in range(8)
        ]
        row = [t.rjust(6, "0") for t in row]
        if integer:
            row[3] = f"{rng.integers(0, 10**6):06d}"
        rows.append(row)
    body = "".join("\n" + " " * lead + " ".join(row) for row in rows) + "\n"
    points, fields = load(write_pcd, body, layout, points=n)
    floats = np.array([[float32_nearest(t) for t in row] for row in rows], np.float32)
    assert_bits(points, floats[:, :3])
    if integer:
        size = sizes[3]
        assert_bits(
            fields[integer], np.array([int(row[3]) % 2 ** (8 * size) for row in rows], f"u{size}")
        )
        assert_bits(fields["n"], floats[:, 4:])
    else:
        assert_bits(fields["f"], floats[:, 3:])


@pytest.mark.parametrize(
    "token, taken", [("+1", []), ("abc", []), ("1,5", [1.0]), ("-", []), (".", []), ("1e", [1.0])]
)
def test_token_no_field_accepts_ends_a_long_cloud(write_pcd, token, taken):
    rng = np.random.default_rng(5)
    n = 2000
    texts = [f"{v:.3f}" for v in rng.normal(0, 50, 4 * n)]
    texts[4 * 1500 + 2] = token
    points, fields = load(
        write_pcd,
        "\n".join(" ".join(texts[k : k + 4]) for k in range(0, len(texts), 4)),
        f"{XYZ} i:F4",
        points=n,
    )
    expected = np.zeros(4 * n, np.float32)
    expected[: 4 * 1500 + 2] = [float32_nearest(t) for t in texts[: 4 * 1500 + 2]]
    expected[4 * 1500 + 2 : 4 * 1500 + 2 + len(taken)] = taken
    expected = expected.reshape(n, 4)
    assert_bits(points, expected[:, :3])
    assert_bits(fields["i"], expected[:, 3])


def integer_text(rng, signed):
    """Mostly short integers, now and then long, zero-padded or out of range."""
    digits = int(rng.choice([1, 2, 3, 5, 7, 8, 8, 9, 10, 12, 19, 20, 21]))
    text = "".join(rng.choice(list("0123456789"), digits))
    if rng.random() < 0.05:
        text = "000" + text
    return ("-" if signed and rng.random() < 0.4 else "") + text


def integer_bits(text, signed, size):
    """What a field of `size` bytes holds: the value modulo 2^(8 size), or 0
    when it lies outside the 64-bit type the text is read as."""
    value = int(text)
    low, high = (-(2**63), 2**63) if signed else (0, 2**64)
    if not low <= value < high:
        return 0
    value %= 2 ** (8 * size)
    return value - 2 ** (8 * size) if signed and value >= 2 ** (8 * size - 1) else value


def double_text(rng):
    """Timestamps and other binary64 numbers, 0 to 17 integer and 0 to 10 fraction digits."""
    if rng.random() < 0.03:
        return str(rng.choice(["1700000000.000385e2", "-1.5E-3", "inf", "9007199254740993.5"]))
    whole, fraction = int(rng.integers(0, 18)), int(rng.integers(0, 11))
    digits = "".join(rng.choice(list("0123456789"), whole + fraction)) or "0"
    sign = "-" if rng.random() < 0.3 else ""
    return f"{sign}{digits[:whole]}.{digits[whole:]}" if fraction else f"{sign}{digits}"


@pytest.mark.parametrize(
    "layout",
    [
        f"{XYZ} intensity:F4 ring:U2 t:F8 rgb:U4 normal:F4x3",
        f"a:U1 {XYZ} b:I2 n:F4x4 c:F8 d:I8",
        f"t:F8 {XYZ} u:U8 v:I4 w:F4 q:F4x2",
        f"n:F4x5 {XYZ} m:F4x4 k:I1 s:U2",
        f"{XYZ} rgb:U4 t:F8 label:I4 normal:F4x3",
        f"a:U4 b:I4 {XYZ} c:U4x2",
        f"{XYZ} intensity:F4 ring:U2 time:F4",
        f"{XYZ} intensity:F4 label:I4 ring:U2 t:F8",
        f"{XYZ} a:I1 b:U1x2 c:I2 w:F4x2",
    ],
)
def test_mixed_clouds_match_exact_values(write_pcd, layout):
    """Clouds mixing binary32 runs with integer and binary64 fields, as lidar
    scans do: every element holds what its own type makes of its number."""
    rng = np.random.default_rng(len(layout))
    names, types, sizes, counts = zip(*fields_of(layout))
    n = 2000
    columns, texts = {}, []
    for name, kind, size, count in zip(names, types, sizes, counts):
        shape = (n, count) if count > 1 else (n,)
        if kind == "F" and size == 4:
            column = number_texts(rng, n * count)
            columns[name] = np.array([float32_of(t) for t in column], np.float32).reshape(shape)
        elif kind == "F":
            column = [double_text(rng) for _ in range(n * count)]
            columns[name] = np.array([float(t) for t in column]).reshape(shape)
        else:
            signed = kind == "I"
            column = [integer_text(rng, signed) for _ in range(n * count)]
            dtype = np.dtype(f"{'i' if signed else 'u'}{size}")
            columns[name] = np.array(
                [integer_bits(t, signed, size) for t in column], dtype
            ).reshape(shape)
        texts.append(np.array(column, dtype=object).reshape(n, count))
    rows = np.hstack(texts)
    separators = [" ", " ", "\t", "  ", "\x00", " \r"]
    body = "\n".join(
        "".join(t + separators[rng.integers(len(separators))] for t in row) for row in rows
    )
    points, fields = load(write_pcd, body + "\n", layout, points=n)
    assert_bits(points, np.stack([columns[c] for c in "xyz"], axis=1))
    for name in fields:
        assert_bits(fields[name], columns[name])


# A 32-bit integer field between float32 fields, one of its numbers replaced:
# (type, token) -> value stored, and what follows: "on" (the next number goes
# to the next element), "stop" (nothing reads the rest), "shift" (nothing read,
# so the next field reads this token and every later number moves one element on).
@pytest.mark.parametrize("size", [1, 2, 4])
@pytest.mark.parametrize(
    "kind, token, stored, after",
    [
        ("U", "-5", 0, "shift"),  # no sign for unsigned types
        ("U", "+5", 0, "stop"),
        ("I", "--5", 0, "stop"),
        ("I", "-5", -5, "on"),
        ("I", "-0", 0, "on"),
        ("I", "-12345678", -12345678, "on"),
        ("U", "99999999", 99999999, "on"),
        ("U", "123456789", 123456789, "on"),
        ("U", "4294967297", 1, "on"),
        ("U", "00000007", 7, "on"),
        ("I", "5.", 5, "stop"),  # the point is left over, and no field reads "."
        ("U", "1e3", 1, "stop"),
    ],
)
def test_integer_beside_float32_fields(write_pcd, size, kind, token, stored, after):
    rng = np.random.default_rng(11)
    n, special, width = 2000, 1500, 7  # x y z label normal[3]
    # Numbers without a sign or point, which every field reads whole, so
    # that a shifted stream stays easy to follow.
    texts = [
        [str(v) for v in rng.integers(0, 10**6, 3)]
        + [str(rng.integers(0, 10**8))]
        + [str(v) for v in rng.integers(0, 10**4, 3)]
        for _ in range(n)
    ]
    texts[special][3] = token
    points, fields = load(
        write_pcd,
        "\n".join(" ".join(t) for t in texts) + "\n",
        f"{XYZ} label:{kind}{size} normal:F4x3",
        points=n,
    )
    stream = [t for row in texts for t in row]
    position = special * width + 3
    if after == "shift":
        stream.insert(position, None)
    values = np.zeros((n, width))
    for k, t in enumerate(stream[: n * width]):
        if after == "stop" and k > position:
            break
        if k % width == 3:
            values[k // width, 3] = stored if k == position else (0 if t is None else int(t))
        elif t is not None:
            values[k // width, k % width] = float(t)
    assert_bits(points, values[:, :3].astype(np.float32))
    labels = values[:, 3].astype(np.int64) % 2 ** (8 * size)  # integers keep their low bytes
    assert_bits(fields["label"], labels.astype(f"u{size}").view(f"{kind.lower()}{size}"))
    assert_bits(fields["normal"], values[:, 4:].astype(np.float32))


@pytest.mark.parametrize(
    "layout", [f"{XYZ} ring:U2 t:F8", f"{XYZ} c:I1 d:I2 t:F8", f"{XYZ} ring:U2 t:I4"]
)
def test_short_integer_store_ends_at_its_own_bytes(write_pcd, layout):
    """Integers of one or two bytes store their low bytes only: the next
    field keeps 0 when its number is one nothing accepts."""
    names, types, sizes, _ = zip(*fields_of(layout))
    ints = ["70000", "-70000"] if len(names) == 6 else ["70000"]
    n = 3
    body = "1.1 2.2 3.3 " + " ".join(ints) + " abc" + " 7.5 8.5 9.5 1 2 3" * 4 + "\n"
    points, fields = load(write_pcd, body, layout, points=n)
    assert_bits(points[0], np.float32([1.1, 2.2, 3.3]))
    for name, kind, size, text in zip(names[3:], types[3:], sizes[3:], ints):
        dtype = f"{kind.lower()}{size}"
        assert_bits(
            fields[name], np.array([int(text) % 2 ** (8 * size), 0, 0], f"u{size}").view(dtype)
        )
    assert_bits(fields[names[-1]], np.zeros(n, fields[names[-1]].dtype))
