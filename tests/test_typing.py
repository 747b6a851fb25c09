"""Type checkers see load_pcd's parameter and result types through the installed stubs."""

import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

SNIPPET = """\
import pathlib
from typing import Any, Dict

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import kelvarin

points, fields = kelvarin.load_pcd("cloud.pcd")
assert_type(points, npt.NDArray[np.float32])
assert_type(fields, Dict[str, npt.NDArray[Any]])
kelvarin.load_pcd(filename=b"cloud.pcd")
kelvarin.load_pcd(bytearray(b"cloud.pcd"))
reveal_type(kelvarin.load_pcd)
kelvarin.load_pcd(pathlib.Path("cloud.pcd"))
kelvarin.load_pcd(3)
kelvarin.load_pcd("a.pcd", "b.pcd")
"""


def test_mypy_sees_the_types(tmp_path):
    path = tmp_path / "snippet.py"
    path.write_text(SNIPPET)
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-incremental",
            "--no-error-summary",
            "--show-error-codes",
            "--hide-error-context",
            "--no-color-output",
            str(path),
        ],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=str(tmp_path),
    )
    found = re.findall(r"^snippet\.py:(\d+): (\w+): (.*)$", run.stdout, re.M)
    by_line = {int(line): (kind, text) for line, kind, text in found}
    assert sorted(by_line) == [15, 16, 17, 18], run.stdout + run.stderr
    kind, revealed = by_line[15]
    assert kind == "note" and "filename" in revealed, revealed
    # mypy spells these "builtins.str" or "str", the float32 item "numpy._typing._32Bit" or
    # "numpy._typing._nbit_base._32Bit", depending on its and NumPy's versions.
    for name in ("str", "bytes", "bytearray", "_32Bit"):
        assert re.search(rf"\b{name}\b", revealed), revealed
    for line, code in ((16, "arg-type"), (17, "arg-type"), (18, "call-arg")):
        assert by_line[line][0] == "error" and by_line[line][1].endswith(f"[{code}]"), by_line
