"""Lint the Python and C++ sources; build one wheel per CPython version and test each build
under its own interpreter; the C++ unit tests; the suite again with each ASCII kernel the
processor runs, each in a build of that kernel alone; then the suite under sanitizers and a
short fuzzing pass; then the checks of how it installs elsewhere (dependency discovery, the
repaired wheel in a bare Debian, the wheel matrix), the suite on i386 and arm64 and with
Debian unstable's newest CPythons; then Windows: the reader and the unit tests for x86 and
x86-64 and the suite for CPython 3.11 x64, cross-built with MinGW-w64 and run under Wine, and
clang-cl's check of the MSVC branch of the platform layer.

Run through scripts/test-all.sh, which installs what the sessions need and sets
KELVARIN_WORK: wheels and build trees go there, never into the checkout."""

import glob
import os
import re
import subprocess

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
# Versions newer than this machine's interpreters: built and tested in a Debian sid root file
# system with Debian's own builds of them.
SID_PYTHONS = ["3.14", "3.15"]
HERE = os.path.dirname(os.path.abspath(__file__))
WORK = (
    os.environ.get("KELVARIN_WORK")
    or subprocess.check_output(
        ["bash", os.path.join(HERE, "scripts", "work-dir.sh")], text=True
    ).strip()
)
WHEELHOUSE = os.path.join(WORK, "wheelhouse")
# pytest writes no cache and Python no bytecode into the checkout.
PYTEST = ["python", "-m", "pytest", "-q", "-p", "no:cacheprovider"]
CLEAN_ENV = {"PYTHONDONTWRITEBYTECODE": "1"}

nox.options.reuse_existing_virtualenvs = True
# The standard library's venv seeds pip from each interpreter itself, old ones included.
nox.options.default_venv_backend = "venv"


def read_kernels():
    """The ASCII kernels of src/pcd/kernels/kernels.def, simplest first, each with the processor
    features its code is compiled for, as Linux names them in /proc/cpuinfo."""
    cpuinfo_names = {"bmi": "bmi1", "avx512vbmi2": "avx512_vbmi2"}
    with open(os.path.join(HERE, "src", "pcd", "kernels", "kernels.def")) as f:
        rows = re.findall(r'^PCD_KERNEL\((\w+), "([^"]*)"\)$', f.read(), re.MULTILINE)
    return {
        name: {cpuinfo_names.get(feature, feature) for feature in features.split(",") if feature}
        for name, features in rows
    }


KERNELS = read_kernels()
# The interpreter of the sessions that build one configuration of their own.
ONE_PYTHON = "3.11"
BUILD_TOOLS = ["scikit-build-core>=0.10", "pybind11>=3.0,<3.1"]
# Pinned: a new ruff release may check or format differently.
RUFF = "ruff==0.17.6"


def processor_kernels():
    """The kernels this processor can run, read from the operating system rather than from
    kelvarin's own feature detection, so that the two can be compared."""
    try:
        with open("/proc/cpuinfo") as f:
            line = next((line for line in f if line.startswith("flags")), "")
    except OSError:
        line = ""
    flags = set(line.partition(":")[2].split())
    return [kernel for kernel, needs in KERNELS.items() if needs <= flags]


def install_one_build(session, build_dir, defines):
    """Builds kelvarin from the checkout into the session's venv, keeping the CMake build tree
    (unit tests included) in `build_dir`."""
    session.install(*BUILD_TOOLS, "numpy", "pytest")
    session.run(
        "python",
        "-m",
        "pip",
        "install",
        "-q",
        "--no-build-isolation",
        "--no-deps",
        "--force-reinstall",
        f"--config-settings=build-dir={build_dir}",
        *[f"--config-settings=cmake.define.{k}={v}" for k, v in defines.items()],
        HERE,
    )


def run_unit_tests(session, build_dir, kernels):
    """ctest in `build_dir`, whose kernel test checks that the build runs exactly `kernels`."""
    session.run(
        "ctest",
        "--test-dir",
        build_dir,
        "--output-on-failure",
        external=True,
        env={"KELVARIN_EXPECT_KERNELS": " ".join(kernels)},
    )


def wheel_tag(python):
    return "cp" + python.replace(".", "")


@nox.session(python=ONE_PYTHON)
def lint(session):
    """ruff check, ruff format and clang-format on every file the repository tracks.

    clang-format is Debian's, which scripts/test-all.sh installs; ruff is pinned."""
    session.install(RUFF)
    session.chdir(HERE)
    env = {"RUFF_CACHE_DIR": os.path.join(WORK, "ruff-cache")}
    session.run("ruff", "check", ".", env=env)
    session.run("ruff", "format", "--check", ".", env=env)
    cpp = session.run(
        "git", "ls-files", "*.cpp", "*.hpp", "*.h", "*.cc", "*.c", external=True, silent=True
    ).split()
    if not cpp:
        session.error("git lists no C++ files: lint runs in a git checkout")
    session.run("clang-format", "--dry-run", "-Werror", *cpp, external=True)


@nox.session(python=PYTHONS)
def build(session):
    tag = wheel_tag(session.python)
    for old in glob.glob(os.path.join(WHEELHOUSE, f"kelvarin-*-{tag}-*.whl")):
        os.remove(old)
    # A build tree per version, kept between runs, so that a rebuild compiles
    # only what changed.
    build_dir = os.path.join(WORK, "build", tag)
    session.run(
        "python",
        "-m",
        "pip",
        "wheel",
        "--no-deps",
        "-q",
        "-w",
        WHEELHOUSE,
        f"--config-settings=build-dir={build_dir}",
        HERE,
    )


@nox.session(python=PYTHONS)
def tests(session):
    wheels = glob.glob(os.path.join(WHEELHOUSE, f"kelvarin-*-{wheel_tag(session.python)}-*.whl"))
    if len(wheels) != 1:
        session.error(f"expected one wheel for {session.python} in {WHEELHOUSE}: {wheels}")
    session.install("--force-reinstall", "--no-deps", wheels[0])
    session.install("numpy", "pytest", "mypy")
    # Tests import the installed module, not the source tree.
    session.chdir(os.path.join(HERE, "tests"))
    session.run(*PYTEST, *session.posargs, env={**CLEAN_ENV, "KELVARIN_WHEELHOUSE": WHEELHOUSE})


@nox.session(python=ONE_PYTHON)
def unit(session):
    """The C++ unit tests (ctest) of the default build, the decimal layer's also as 32-bit x87
    code; checks that the build runs exactly the kernels the processor has and picks the best."""
    build_dir = os.path.join(WORK, "unit")
    session.install(*BUILD_TOOLS)
    pybind11_dir = session.run("python", "-m", "pybind11", "--cmakedir", silent=True).strip()
    session.run(
        "cmake",
        "-S",
        HERE,
        "-B",
        build_dir,
        "-DCMAKE_BUILD_TYPE=Release",
        "-DKELVARIN_UNIT_TESTS=ON",
        f"-Dpybind11_DIR={pybind11_dir}",
        "-DPython_EXECUTABLE=" + os.path.join(session.bin, "python"),
        external=True,
        silent=True,
    )
    session.run(
        "cmake",
        "--build",
        build_dir,
        "--target",
        "unit_tests",
        "decimal_unit_tests_x87",
        "-j2",
        external=True,
        silent=True,
    )
    run_unit_tests(session, build_dir, processor_kernels())


@nox.session(python=ONE_PYTHON)
@nox.parametrize("kernel", list(KERNELS))
def kernel(session, kernel):
    """The whole suite and the unit tests against a build of one ASCII kernel alone, for each
    kernel the processor runs: such a build cannot fall back to another one unnoticed."""
    if kernel not in processor_kernels():
        session.skip(f"this processor cannot run the {kernel} kernel")
    build_dir = os.path.join(WORK, "kernel", kernel)
    install_one_build(
        session,
        build_dir,
        {"KELVARIN_KERNEL": kernel, "KELVARIN_UNIT_TESTS": "ON", "KELVARIN_X87_UNIT_TESTS": "OFF"},
    )
    run_unit_tests(session, build_dir, [kernel])
    session.chdir(os.path.join(HERE, "tests"))
    session.run(*PYTEST, *session.posargs, env=CLEAN_ENV)


@nox.session(python=False)
def sanitize(session):
    """The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build."""
    session.run(
        "bash",
        os.path.join(HERE, "scripts", "sanitize.sh"),
        *session.posargs,
        external=True,
        env={"SANITIZE_DIR": os.path.join(WORK, "sanitize")},
    )


@nox.session(python=False)
def fuzz(session):
    """A bounded coverage-guided fuzzing pass over the C++ reader."""
    session.run(
        "bash",
        os.path.join(HERE, "scripts", "fuzz.sh"),
        *(session.posargs or ["60"]),
        external=True,
        env={"FUZZ_DIR": os.path.join(WORK, "fuzz")},
    )


@nox.session(python=False)
def discovery(session):
    """liblzf and fast_float found without their CMake packages, and named when missing."""
    session.run(
        "bash",
        os.path.join(HERE, "scripts", "discovery.sh"),
        external=True,
        env={"DISCOVERY_DIR": os.path.join(WORK, "discovery")},
    )


@nox.session(python=False)
def wheel(session):
    """The auditwheel-repaired wheel in a Debian 12 root file system without liblzf."""
    session.run("bash", os.path.join(HERE, "scripts", "wheel.sh"), external=True)


# The wheels cibuildwheel is to build on hosted CI, by platform.
WHEEL_TAGS = {
    "linux": ["manylinux_x86_64", "manylinux_i686", "manylinux_aarch64", "musllinux_x86_64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
    "windows": ["win_amd64", "win32"],
}


# cibuildwheel 4 builds CPython 3.9 and later, 3.4 still builds 3.8 but not 3.15: the release
# workflow runs 4 for everything and 3.4 for cp38 alone.
CIBUILDWHEELS = [
    ("cibuildwheel>=4.3,<5", {}, PYTHONS[1:] + SID_PYTHONS),
    ("cibuildwheel>=3.4,<4", {"CIBW_BUILD": "cp38-*"}, PYTHONS[:1]),
]


@nox.session(name="wheel-matrix", python="3.11")
def wheel_matrix(session):
    """cibuildwheel's configuration selects exactly the intended builds on each platform."""
    session.chdir(HERE)
    for release, env, pythons in CIBUILDWHEELS:
        session.install(release)
        for platform, tags in WHEEL_TAGS.items():
            listed = session.run(
                "cibuildwheel",
                "--print-build-identifiers",
                "--platform",
                platform,
                env=env,
                silent=True,
            ).split()
            wanted = [f"{wheel_tag(v)}-{tag}" for v in pythons for tag in tags]
            if sorted(listed) != sorted(wanted):
                session.error(
                    f"{release}, {platform}: cibuildwheel lists {listed}, wanted {wanted}"
                )
            session.log(f"{release}, {platform}: {len(listed)} builds: {' '.join(listed)}")


def foreign_arch(session, arch):
    session.run(
        "bash",
        os.path.join(HERE, "scripts", "foreign-arch.sh"),
        arch,
        *session.posargs,
        external=True,
        env={"KELVARIN_WORK": WORK},
    )


@nox.session(name="foreign-i386", python=False)
def foreign_i386(session):
    """The suite built and run in a Debian 12 i386 root file system."""
    foreign_arch(session, "i386")


@nox.session(name="foreign-arm64", python=False)
def foreign_arm64(session):
    """The suite built and run in a Debian 12 arm64 root file system, under qemu."""
    foreign_arch(session, "arm64")


@nox.session(name="sid-pythons", python=False)
def sid_pythons(session):
    """The suite built and run with each of Debian unstable's newest CPythons, and the unit
    tests, in a Debian sid root file system."""
    session.run(
        "bash",
        os.path.join(HERE, "scripts", "foreign-arch.sh"),
        "sid",
        *session.posargs,
        external=True,
        env={"KELVARIN_WORK": WORK, "KELVARIN_SID_PYTHONS": " ".join(SID_PYTHONS)},
    )


def windows(session, *args, env=None):
    session.run(
        "bash",
        os.path.join(HERE, "scripts", "windows.sh"),
        *args,
        external=True,
        env={"KELVARIN_WORK": WORK, **(env or {})},
    )


@nox.session(name="windows-i686", python=False)
def windows_i686(session):
    """The reader and the C++ unit tests cross-built for 32-bit Windows with MinGW-w64, with
    SSE2 and with x87 arithmetic, run under Wine."""
    windows(session, "unit", "i686")


@nox.session(name="windows-x86_64", python=False)
def windows_x86_64(session):
    """The reader and the C++ unit tests cross-built for 64-bit Windows with MinGW-w64, run
    under Wine with every ASCII kernel the processor has."""
    kernels = " ".join(processor_kernels())
    windows(session, "unit", "x86_64", env={"KELVARIN_EXPECT_KERNELS": kernels})


@nox.session(name="windows-python", python=False)
def windows_python(session):
    """The module cross-built for CPython 3.11 win_amd64 and the whole pytest suite run under
    Wine, with the Windows CPython and NumPy 1.26.4 from PyPI."""
    windows(session, "python", *session.posargs)


@nox.session(name="msvc-check", python=False)
def msvc_check(session):
    """clang-cl in MSVC mode compiles every source whose code differs under MSVC (/Zs)."""
    windows(session, "msvc-check")
