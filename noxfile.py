"""Build one wheel per CPython version and test each build under its own interpreter;
then the suite under sanitizers and a short fuzzing pass."""

import glob
import os

import nox

PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
HERE = os.path.dirname(os.path.abspath(__file__))
WHEELHOUSE = os.path.join(HERE, ".nox", "wheelhouse")

nox.options.sessions = ["build", "tests", "sanitize", "fuzz"]
nox.options.error_on_missing_interpreters = True
nox.options.reuse_existing_virtualenvs = True
# The standard library's venv seeds pip from each interpreter itself, old ones included.
nox.options.default_venv_backend = "venv"


def wheel_tag(python):
    return "cp" + python.replace(".", "")


@nox.session(python=PYTHONS)
def build(session):
    tag = wheel_tag(session.python)
    for old in glob.glob(os.path.join(WHEELHOUSE, f"kelvarin-*-{tag}-*.whl")):
        os.remove(old)
    session.run("python", "-m", "pip", "wheel", "--no-deps", "-q", "-w", WHEELHOUSE, HERE)


@nox.session(python=PYTHONS)
def tests(session):
    wheels = glob.glob(os.path.join(WHEELHOUSE, f"kelvarin-*-{wheel_tag(session.python)}-*.whl"))
    if len(wheels) != 1:
        session.error(f"expected one wheel for {session.python} in {WHEELHOUSE}: {wheels}")
    session.install("--force-reinstall", "--no-deps", wheels[0])
    session.install("numpy", "pytest")
    # Tests import the installed module, not the source tree.
    session.chdir(os.path.join(HERE, "tests"))
    session.run("python", "-m", "pytest", "-q", *session.posargs,
                env={"KELVARIN_WHEELHOUSE": WHEELHOUSE})


@nox.session(python=False)
def sanitize(session):
    """The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build."""
    session.run("bash", os.path.join(HERE, "scripts", "sanitize.sh"), *session.posargs,
                external=True)


@nox.session(python=False)
def fuzz(session):
    """A bounded coverage-guided fuzzing pass over the C++ reader."""
    session.run("bash", os.path.join(HERE, "scripts", "fuzz.sh"), *(session.posargs or ["60"]),
                external=True)
