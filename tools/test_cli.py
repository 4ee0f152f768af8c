"""Tests of the command-line program: python3 -m unittest test_cli

Environment (CTest sets them):
  SHEETLAY_CLI           the program under test
  SHEETLAY_MAKE_EXAMPLE  the example generator
  SHEETLAY_VERSION       the project version
  SHEETLAY_EMULATOR      optional command that runs the two programs (e.g. "wine" for
                         a Windows build)
pdfinfo and qpdf, when present, check the files written.
"""

import hashlib
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

CLI = os.environ.get("SHEETLAY_CLI", "")
MAKE_EXAMPLE = os.environ.get("SHEETLAY_MAKE_EXAMPLE", "")
VERSION = os.environ.get("SHEETLAY_VERSION", "")
EMULATOR = shlex.split(os.environ.get("SHEETLAY_EMULATOR", ""))
PDFINFO = shutil.which("pdfinfo")
QPDF = shutil.which("qpdf")

# The example's pages: (width, height) of the visible box before rotation, /Rotate.
EXAMPLE_PAGES = [(595.28, 841.89, 0), (792, 612, 0), (419.53, 595.28, 90), (535, 760, 0),
                 (595.28, 841.89, 180), (500, 500, 270)]


def pdfinfo(path):
    text = subprocess.run([PDFINFO, "-f", "1", "-l", "999", path], capture_output=True,
                          text=True, check=True).stdout
    pages = int(re.search(r"^Pages:\s+(\d+)", text, re.M).group(1))
    sizes = [(float(w), float(h)) for w, h in
             re.findall(r"^Page\s+\d+ size:\s+([\d.]+) x ([\d.]+)", text, re.M)]
    rotations = [int(r) for r in re.findall(r"^Page\s+\d+ rot:\s+(\d+)", text, re.M)]
    return pages, [(w, h, r) for (w, h), r in zip(sizes, rotations)]


@unittest.skipUnless(CLI and MAKE_EXAMPLE, "SHEETLAY_CLI and SHEETLAY_MAKE_EXAMPLE not set")
class Cli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="sheetlay-cli-")
        cls.example = os.path.join(cls.dir, "example.pdf")
        subprocess.run([*EMULATOR, MAKE_EXAMPLE, cls.example], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_cli(self, *args):
        return subprocess.run([*EMULATOR, CLI, *args], capture_output=True, text=True,
                              cwd=self.dir)

    def test_example_is_valid(self):
        if not QPDF:
            self.skipTest("qpdf not found")
        r = subprocess.run([QPDF, "--check", self.example], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        if PDFINFO:
            pages, sizes = pdfinfo(self.example)
            self.assertEqual(pages, len(EXAMPLE_PAGES))
            for got, want in zip(sizes, EXAMPLE_PAGES):
                self.assertAlmostEqual(got[0], want[0], delta=0.5)
                self.assertAlmostEqual(got[1], want[1], delta=0.5)
                self.assertEqual(got[2], want[2])

    def test_usage_errors(self):
        # Each: exit 2, one line on stderr with the hint, nothing written.
        out = self.path("usage-out.pdf")
        ex = self.example
        cases = [
            ([], "missing INPUT.pdf and OUTPUT.pdf"),
            ([ex], "missing OUTPUT.pdf"),
            ([ex, out, "third.pdf"], "too many file names"),
            (["-n", "5", ex, out], "-n must be 2, 4, 6, 9 or 16 (got '5')"),
            (["-n", "4.0", ex, out], "-n must be"),
            (["-n", "", ex, out], "-n must be"),
            ([ex, out, "-n"], "-n needs"),
            (["--size", "b5", ex, out], "--size must be first, a4, letter or a3 (got 'b5')"),
            ([ex, out, "--size"], "--size needs"),
            (["--border", "-1", ex, out], "--border must be a whole number"),
            (["--border", "thin", ex, out], "--border must be"),
            (["--border", "2", "--size", "a4", ex, out], "--border cannot be combined with --size a4"),
            (["--size=letter", "--border=1", ex, out], "--border cannot be combined"),
            (["--bogus", ex, out], "unknown option '--bogus'"),
            (["--sizes", "a4", ex, out], "unknown option '--sizes'"),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, "")
                self.assertTrue(r.stderr.startswith("sheetlay: "), r.stderr)
                self.assertIn(want, r.stderr)
                self.assertIn("sheetlay --help", r.stderr)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_help_and_version(self):
        for flag in ("--help", "-h"):
            r = self.run_cli(flag, "ignored.pdf")
            self.assertEqual(r.returncode, 0)
            self.assertTrue(r.stdout.startswith("usage: sheetlay"), r.stdout)
            for option in ("-n", "--rtl", "--size", "--border", "--version"):
                self.assertIn(option, r.stdout)
            self.assertEqual(r.stderr, "")
        r = self.run_cli("--version")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "sheetlay %s\n" % VERSION, ""))

    def test_library_failures(self):
        # Exit 1, the library's message on stderr, no output left behind.
        not_pdf = self.path("not.pdf")
        with open(not_pdf, "w") as f:
            f.write("plain text, no PDF here\n" * 10)
        missing = self.path("missing.pdf")
        out = self.path("fail-out.pdf")
        cases = [
            ([missing, out], "sheetlay: cannot open %s\n" % missing),
            (["-n", "16", "--rtl", missing, out], "sheetlay: cannot open %s\n" % missing),
            ([not_pdf, out], None),
            ([self.example, self.path("no-such-folder/out.pdf")], None),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertEqual(r.stdout, "")
                if want is not None:
                    self.assertEqual(r.stderr, want)
                else:
                    self.assertRegex(r.stderr, r"^sheetlay: \S.*\n$")
                self.assertFalse(os.path.exists(args[-1]))

    def test_failure_keeps_an_existing_output(self):
        out = self.path("existing.pdf")
        with open(out, "w") as f:
            f.write("keep me")
        r = self.run_cli(self.path("missing.pdf"), out)
        self.assertEqual(r.returncode, 1)
        with open(out) as f:
            self.assertEqual(f.read(), "keep me")

    def test_layouts(self):
        # (arguments, sheets from the 6 example pages, sheet size; None: the first page's)
        a4 = (595.28, 841.89)
        cases = [
            ([], 2, None),
            (["-n", "2"], 3, None),
            (["-n6"], 1, None),
            (["-n", "9", "--rtl"], 1, None),
            (["-n=16"], 1, None),
            (["--size", "a4"], 2, a4),
            (["--size=letter", "-n", "2"], 3, (612, 792)),
            (["--size", "a3", "--rtl"], 2, (841.89, 1190.55)),
            (["--size", "first"], 2, None),
            (["--border", "2"], 2, None),
            (["--border=1", "--size", "first", "-n", "2"], 3, None),
            (["--border", "0", "--size", "a4"], 2, a4),
        ]
        for args, sheets, size in cases:
            with self.subTest(args=args):
                out = self.path("layout.pdf")
                r = self.run_cli(*args, self.example, out)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
                with open(out, "rb") as f:
                    self.assertEqual(f.read(9), b"%PDF-1.4\n")
                if QPDF:
                    q = subprocess.run([QPDF, "--check", out], capture_output=True, text=True)
                    self.assertEqual(q.returncode, 0, q.stdout)
                if PDFINFO:
                    pages, sizes = pdfinfo(out)
                    self.assertEqual(pages, sheets)
                    want = size or EXAMPLE_PAGES[0]
                    for got in sizes:
                        self.assertAlmostEqual(got[0], want[0], delta=0.5)
                        self.assertAlmostEqual(got[1], want[1], delta=0.5)
                        self.assertEqual(got[2], 0)
                os.remove(out)

    def test_equivalent_spellings_give_the_same_file(self):
        def run(*args):
            r = self.run_cli(*args)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(args[-1], "rb") as f:
                data = hashlib.sha256(f.read()).hexdigest()
            os.remove(args[-1])
            return data

        out = self.path("same.pdf")
        plain = run(self.example, out)
        for args in (["-n", "4"], ["--ltr"], ["--size", "first"], ["--border", "0"],
                     ["--rtl", "--ltr"]):
            with self.subTest(args=args):
                self.assertEqual(run(*args, self.example, out), plain)
        # (The example's first page is A4, so --size a4 would change nothing.)
        for args in (["--rtl"], ["--border", "1"], ["--size", "letter"], ["-n", "2"]):
            with self.subTest(differs=args):
                self.assertNotEqual(run(*args, self.example, out), plain)

    def test_verbose_and_file_names(self):
        # -v says what was written; "--" lets a file name start with '-'.
        shutil.copy(self.example, self.path("-dash.pdf"))
        r = self.run_cli("-v", "--", "-dash.pdf", "-out.pdf")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^sheetlay: wrote -out\.pdf \(\d+ bytes\): 4-up, left to right, "
                                   r"first-page size\n$")
        self.assertTrue(os.path.exists(self.path("-out.pdf")))
        # The same file as input and output: the input is read whole first.
        same = self.path("inplace.pdf")
        shutil.copy(self.example, same)
        r = self.run_cli("-n", "2", same, same)
        self.assertEqual(r.returncode, 0, r.stderr)
        if PDFINFO:
            self.assertEqual(pdfinfo(same)[0], 3)


if __name__ == "__main__":
    unittest.main()
