"""Builds the Python package: the library and the `sheetlay` program with CMake, put
inside the package beside the module (see pyproject.toml for the metadata).

    pip install --no-build-isolation .
    python3 -m build --wheel --no-isolation

The version is the one in CMakeLists.txt's project() line, so the package, CMake and
the library's sheetlay_version() cannot disagree.

Environment:
  SHEETLAY_WHEEL_TARGET   "win_amd64": cross-build sheetlay.dll and sheetlay.exe with
                          mingw-w64 (cmake/mingw-w64-x86_64.cmake) for a Windows wheel
  SHEETLAY_CMAKE_ARGS     more CMake arguments, split at white space
  SHEETLAY_JOBS           parallel build jobs (default: CMake's choice)
"""

import os
import re
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py as _build_py

try:
    from wheel.bdist_wheel import bdist_wheel as _bdist_wheel
except ImportError:  # building an sdist needs no wheel package
    _bdist_wheel = None

ROOT = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "sheetlay"

# Cross targets: wheel platform tag -> CMake toolchain file.
TARGETS = {"win_amd64": os.path.join(ROOT, "cmake", "mingw-w64-x86_64.cmake")}


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"^project\(\s*sheetlay\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)", f.read(), re.M)
    if not m:
        raise RuntimeError("CMakeLists.txt has no project(sheetlay VERSION ...) line")
    return m.group(1)


def wheel_target():
    target = os.environ.get("SHEETLAY_WHEEL_TARGET", "").strip()
    if target and target not in TARGETS:
        raise RuntimeError("SHEETLAY_WHEEL_TARGET must be one of %s (got %r)"
                           % (", ".join(TARGETS), target))
    return target or None


def build_folder():
    """setuptools' build folder for this target: a Windows build must not pick up the
    Linux binaries of an earlier build (and the other way round)."""
    return os.path.join("build-python", wheel_target() or "native")


def cmake_build(stage):
    """Builds the library and the program and installs their runtime files into
    `stage` (program and library in one folder, so the program's RPATH is its own
    folder). Returns the list of files to put into the package."""
    target = wheel_target()
    cmake = shutil.which("cmake")
    if not cmake:
        raise RuntimeError("building sheetlay needs CMake 3.25 or later (Debian: apt-get install cmake)")
    build = os.path.join(ROOT, build_folder(), "cmake")
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache):
        # A folder configured for a clone elsewhere (copied or moved) is started anew.
        with open(cache, encoding="utf-8", errors="replace") as f:
            home = re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", f.read(), re.M)
        if not home or os.path.realpath(home.group(1)) != os.path.realpath(ROOT):
            shutil.rmtree(build)
    args = [cmake, "-S", ROOT, "-B", build,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DSHEETLAY_BUILD_TESTS=OFF", "-DSHEETLAY_BUILD_TOOLS=ON",
            "-DSHEETLAY_STATIC_RUNTIME=ON",
            "-DCMAKE_INSTALL_BINDIR=" + PACKAGE, "-DCMAKE_INSTALL_LIBDIR=" + PACKAGE]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")) and shutil.which("ninja"):
        args += ["-G", "Ninja"]
    if target:
        args.append("-DCMAKE_TOOLCHAIN_FILE=" + TARGETS[target])
    args += os.environ.get("SHEETLAY_CMAKE_ARGS", "").split()
    run(args)
    jobs = os.environ.get("SHEETLAY_JOBS")
    run([cmake, "--build", build, "--target", "sheetlay", "sheetlay_cli"]
        + (["-j", jobs] if jobs else []))
    if os.path.isdir(stage):
        shutil.rmtree(stage)
    run([cmake, "--install", build, "--component", "runtime", "--prefix", stage])
    return flatten(os.path.join(stage, PACKAGE))


def flatten(folder):
    """A wheel holds no symbolic links: each link (libsheetlay.so.0, the name the
    program asks the loader for) becomes a copy of its target, and a target only
    reached through a link is left out."""
    names = sorted(os.listdir(folder))
    linked = {os.path.realpath(os.path.join(folder, n)) for n in names
              if os.path.islink(os.path.join(folder, n))}
    files = []
    for n in names:
        path = os.path.join(folder, n)
        if os.path.islink(path):
            real = os.path.realpath(path)
            os.unlink(path)
            shutil.copy2(real, path)
            files.append(path)
        elif os.path.realpath(path) not in linked:
            files.append(path)
    return files


def run(args):
    print("+ " + " ".join(args), flush=True)
    subprocess.run(args, check=True)


class build_py(_build_py):
    """The pure-Python files, then the library and the program beside them."""

    def run(self):
        super().run()
        with open(os.path.join(self.build_lib, PACKAGE, "_version.py"), "w", encoding="utf-8") as f:
            f.write('"""Written by setup.py from CMakeLists.txt."""\n'
                    "version = %r\n" % project_version())
        dest = os.path.join(self.build_lib, PACKAGE)
        # Binaries of an earlier build in the same folder go first.
        for n in os.listdir(dest):
            if not n.endswith((".py", ".pyi", ".typed")) and os.path.isfile(os.path.join(dest, n)):
                os.remove(os.path.join(dest, n))
        stage = os.path.join(ROOT, build_folder(), "stage")
        for path in cmake_build(stage):
            self.copy_file(path, os.path.join(dest, os.path.basename(path)), preserve_mode=True)


class BinaryDistribution(Distribution):
    """A package with binaries: installed into platlib and its wheel's root, not as
    pure Python (it has no extension module, which would say so by itself)."""

    def has_ext_modules(self):
        return True


cmdclass = {"build_py": build_py}

if _bdist_wheel is not None:
    class bdist_wheel(_bdist_wheel):
        """py3-none-<platform>: the module loads the library through ctypes, so one
        wheel serves every Python 3, but only on the platform it was built for."""

        def finalize_options(self):
            if wheel_target():
                self.plat_name = wheel_target()
            super().finalize_options()

        def get_tag(self):
            _, _, plat = super().get_tag()
            return "py3", "none", plat

    cmdclass["bdist_wheel"] = bdist_wheel

setup(
    version=project_version(),
    cmdclass=cmdclass,
    distclass=BinaryDistribution,
    options={"build": {"build_base": build_folder()}},
)
