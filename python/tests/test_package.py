"""Tests of the package as pip installs it: the library and the program inside it,
what they need from the system, the `sheetlay` command, `python -m sheetlay`, the
version in its three places, and what help() shows.

The tests of an installed package skip when the package in use has no library of
its own (the source tree under CTest); SHEETLAY_TEST_INSTALLED=1 (the Python CI
step) turns that skip into a failure."""

import importlib.metadata
import inspect
import os
import pydoc
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

import sheetlay
import sheetlay.__main__
from test_sheetlay import make_pdf, read

PACKAGE_DIR = os.path.dirname(os.path.abspath(sheetlay.__file__))
# The system libraries a Linux build may need: everything else is linked in.
SYSTEM_LIBS = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}


def clean_env():
    """The environment without anything that could point the package at another
    library or module."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("SHEETLAY_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


class Documentation(unittest.TestCase):
    def test_help_lists_every_keyword(self):
        for func, positional in ((sheetlay.nup, {"input", "output"}), (sheetlay.nup_bytes, {"data"})):
            text = pydoc.render_doc(func, renderer=pydoc.plaintext)
            for name in inspect.signature(func).parameters:
                if name in positional:
                    continue
                with self.subTest(function=func.__name__, keyword=name):
                    # Each keyword opens a line of the table (alone or in a "margin, gap" group).
                    self.assertRegex(text, r"(?m)^ {4}(?:\w+, )*%s\b" % name)

    def test_public_names_and_typing(self):
        for name in ("nup", "nup_bytes", "SheetlayError", "version", "__version__"):
            self.assertIn(name, sheetlay.__all__)
            self.assertTrue(hasattr(sheetlay, name), name)
        self.assertTrue(os.path.isfile(os.path.join(PACKAGE_DIR, "py.typed")))
        self.assertIn("return", sheetlay.nup.__annotations__)

    def test_module_entry_without_a_program(self):
        # A source copy has no program to run: a clear message and 127 (as a
        # shell says for a missing command), never a traceback.
        if sheetlay.__main__.program() is not None:
            self.skipTest("this copy has a program")
        self.assertEqual(sheetlay.__main__.main(["--version"]), 127)

    def test_versions_agree(self):
        # CMakeLists.txt's project() version is the package's and the library's.
        self.assertRegex(sheetlay.__version__, r"^\d+\.\d+\.\d+$")
        self.assertEqual(sheetlay.version(), sheetlay.__version__)


def installed():
    return sheetlay._bundled_library() is not None


@unittest.skipUnless(installed() or os.environ.get("SHEETLAY_TEST_INSTALLED") == "1",
                     "the package in use is the source tree's, without a library of its own")
class Installed(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sheetlay-pkg-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        with open(os.path.join(self.dir, "in.pdf"), "wb") as f:
            f.write(make_pdf([(612, 792)] * 6))

    def run_in_dir(self, args, **kwargs):
        return subprocess.run(args, cwd=self.dir, env=clean_env(), capture_output=True, **kwargs)

    def test_library_and_program_inside(self):
        self.assertIsNotNone(sheetlay._bundled_library(), "no library inside " + PACKAGE_DIR)
        self.assertIsNotNone(sheetlay.__main__.program(), "no program inside " + PACKAGE_DIR)
        # Installed, not imported from a source tree by accident.
        site = {os.path.realpath(sysconfig.get_paths()[k]) for k in ("purelib", "platlib")}
        self.assertIn(os.path.realpath(os.path.dirname(PACKAGE_DIR)), site)

    def test_found_first_without_environment(self):
        code = "import sheetlay; sheetlay.nup('in.pdf', 'out.pdf', n=4); print(sheetlay.load_library()._name)"
        r = self.run_in_dir([sys.executable, "-c", code], text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.realpath(r.stdout.strip()), os.path.realpath(sheetlay._bundled_library()))
        self.assertEqual(read(os.path.join(self.dir, "out.pdf"))[:5], b"%PDF-")

    def test_metadata_version(self):
        self.assertEqual(importlib.metadata.version("sheetlay"), sheetlay.__version__)
        self.assertEqual(sheetlay.version(), sheetlay.__version__)

    def test_command_and_module_run_the_program(self):
        scripts = sysconfig.get_paths()["scripts"]
        command = shutil.which("sheetlay", path=scripts)
        self.assertIsNotNone(command, "no sheetlay command in " + scripts)
        runs = {"command": [command], "module": [sys.executable, "-m", "sheetlay"]}
        outputs = {}
        for how, prefix in runs.items():
            with self.subTest(how=how):
                r = self.run_in_dir(prefix + ["--version"], text=True)
                self.assertEqual((r.returncode, r.stdout.strip()), (0, "sheetlay " + sheetlay.__version__))
                r = self.run_in_dir(prefix + ["-n", "4", "in.pdf", how + ".pdf"])
                self.assertEqual(r.returncode, 0, r.stderr)
                outputs[how] = read(os.path.join(self.dir, how + ".pdf"))
                # A usage error: the program's status and message, unchanged.
                r = self.run_in_dir(prefix + ["-n", "5", "in.pdf", "x.pdf"], text=True)
                self.assertEqual(r.returncode, 2)
                self.assertIn("-n must be 2, 4, 6, 9 or 16 (got '5')", r.stderr)
                r = self.run_in_dir(prefix + ["missing.pdf", "x.pdf"], text=True)
                self.assertEqual(r.returncode, 1)
                self.assertIn("missing.pdf", r.stderr)
        self.assertEqual(outputs["command"], outputs["module"])
        self.assertEqual(outputs["command"][:5], b"%PDF-")

    @unittest.skipUnless(sys.platform.startswith("linux") and shutil.which("readelf"), "Linux, readelf")
    def test_needs_only_the_c_library(self):
        # libstdc++ and libgcc are linked in, so the wheel runs on any glibc
        # x86-64 Linux at least as new as the build's.
        lib, program = sheetlay._bundled_library(), sheetlay.__main__.program()
        for path, allowed in ((lib, SYSTEM_LIBS), (program, SYSTEM_LIBS | {os.path.basename(lib)})):
            with self.subTest(file=os.path.basename(path)):
                dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True,
                                         check=True).stdout
                needed = set(re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic))
                self.assertTrue(needed, dynamic)
                self.assertLessEqual(needed, allowed)
                if path == program:
                    # The program finds the library beside itself.
                    self.assertEqual(re.findall(r"\((?:RUNPATH|RPATH)\).*\[(.+)\]", dynamic), ["$ORIGIN"])
        # The C++ runtime linked in stays inside: a process that loads another
        # C++ library must not get this one's copy of the runtime's symbols.
        syms = subprocess.run(["readelf", "--dyn-syms", "-W", lib], capture_output=True, text=True,
                              check=True).stdout
        exported = {f[7].split("@")[0] for f in (line.split() for line in syms.splitlines())
                    if len(f) >= 8 and f[4] in ("GLOBAL", "WEAK") and f[6] != "UND"}
        self.assertTrue(exported)
        self.assertEqual({n for n in exported if not n.startswith("sheetlay_")}, set())
        if shutil.which("ldd"):
            r = subprocess.run(["ldd", program], capture_output=True, text=True, env=clean_env())
            self.assertNotIn("not found", r.stdout)
            self.assertIn(os.path.realpath(lib), {os.path.realpath(p) for p in re.findall(r"=> (\S+)", r.stdout)})


if __name__ == "__main__":
    unittest.main()
