"""Tests of the command-line program: python3 -m unittest test_cli

Environment (CTest sets them):
  SHEETLAY_CLI           the program under test
  SHEETLAY_MAKE_EXAMPLE  the example generator
  SHEETLAY_VERSION       the project version
  SHEETLAY_EMULATOR      optional command that runs the two programs (e.g. "wine" for
                         a Windows build)
  SHEETLAY_LIBRARY       optional: the library the program uses (else looked for in the
                         build's top folder), for comparing with its calls
pdfinfo and qpdf, when present, check the files written.
"""

import ctypes
import glob
import hashlib
import math
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

A4 = (595.28, 841.89)
A4_WIDE = (841.89, 595.28)

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


def library_path():
    """The library the program is linked to (the build's top folder), or None
    (also under an emulator: this interpreter could not load it)."""
    top = os.path.dirname(os.path.dirname(os.path.abspath(CLI)))
    found = sorted(glob.glob(os.path.join(top, "libsheetlay.so*")))
    return os.environ.get("SHEETLAY_LIBRARY") or (found[0] if found and not EMULATOR else None)


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
        r = subprocess.run([*EMULATOR, CLI, *args], capture_output=True, text=True, cwd=self.dir)
        # Under an emulator (Wine), a start that fails before the program
        # runs shows as a nonzero status with nothing written to either
        # stream; the program itself never fails silently, so try again.
        for _ in range(2):
            if not EMULATOR or r.returncode == 0 or r.stdout or r.stderr:
                break
            r = subprocess.run([*EMULATOR, CLI, *args], capture_output=True, text=True, cwd=self.dir)
        return r

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
            # Several inputs: what is written after the output name cannot
            # be told apart between them.
            ([ex, ex, out, "--pages", "1"], "--pages after the output name"),
            ([ex, ex, out, "--password", "x"], "--password after the output name"),
            (["x"] * 4097 + [out], "at most 4096 inputs (got 4097)"),  # the library's limit
            (["--signature", "2", ex, out], "--signature is for booklets (add --booklet)"),
            (["--signature", "0", ex, out], "--signature is for booklets"),
            (["--long-edge", ex, out], "--long-edge is for booklets (add --booklet)"),
            (["--same-scale", "--shrink-only", ex, out],
             "--same-scale and --shrink-only cannot be combined"),
            (["--trim-margin", "2mm", ex, out], "--trim-margin is for --trim and --trim-same"),
            (["--turn", "up", ex, out], "--turn must be left or right (got 'up')"),
            ([ex, out, "--turn"], "--turn needs"),
            ([ex, out, "--signature"], "--signature needs"),
            ([ex, out, "--trim-margin"], "--trim-margin needs"),
            (["-n", "5", ex, out], "-n must be 2, 4, 6, 9 or 16 (got '5')"),
            (["-n", "4.0", ex, out], "-n must be"),
            (["-n", "", ex, out], "-n must be"),
            ([ex, out, "-n"], "-n needs"),
            (["--size", "b5", ex, out], "--size must be first, a4, a3, a5, letter, legal, tabloid "
                                        "or WxH with a unit pt, mm, cm or in (got 'b5')"),
            ([ex, out, "--size"], "--size needs"),
            (["--border", "-1", ex, out], "--border must be a length of 0 or more with an optional "
                                          "unit pt, mm, cm or in (got '-1')"),
            (["--border", "thin", ex, out], "--border must be"),
            (["--bogus", ex, out], "unknown option '--bogus'"),
            (["--sizes", "a4", ex, out], "unknown option '--sizes'"),
            (["--booklet", "-n", "4", ex, out], "--booklet places pages 2x1 on each side"),
            ([ex, out, "--password"], "--password needs"),
        ]
        # Values each refused by the option named.
        for flag, values in {
                "--grid": ["0x2", "33x1", "3x", "x2", "3*2", "3x2x1", "-2x2", "2x 2"],
                "--size": ["210x297km", "210x", "0x100", "1e3x1e3", "-5x5", "210 x 297", "a4x"],
                "--margin": ["1furlong", "-1", "1e2", "inf", ".", "", " 5", "5 mm", "5MM", "1.2.3"],
                "--gap": ["two"], "--trim-margin": ["-1", "1e2", "5px"],
                "--signature": ["257", "-1", "1.5", "", "x", " 3"]}.items():
            cases += [([flag, v, ex, out], "%s must be" % flag) for v in values]
        # Page selections: where the grammar breaks is quoted.
        for sel, at in [("1-x", "x"), ("1,,2", ",2"), ("a", "a"), ("1-2-3", "-3"), (",", ","),
                        ("99999999999", "99999999999"), ("--1", "--1"), ("_3", "3")]:
            cases.append((["--pages", sel, ex, out], "--pages: bad page selection at '%s'" % at))
        # The same grammar for an input's own selection, on any input.
        for args in ([ex, "--pages", "1-x", out], [ex, ex, "--pages", "1-x", out],
                     [ex, out, "--pages", "1-x"], ["--booklet", ex, "--pages=1-x", ex, out]):
            cases.append((args, "--pages: bad page selection at 'x'"))
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
            for option in ("-n", "--grid", "--rtl", "--ltr", "--columns-first", "--bottom-up",
                           "--size", "--portrait", "--landscape", "--as-given", "--margin",
                           "--gap", "--border", "--shrink-only", "--pages", "--booklet",
                           "--plain", "--password", "--progress", "--no-progress", "-v",
                           "--version", "--help", "--", "Examples:", "--signature",
                           "--long-edge", "--turn", "--same-scale", "--crop-marks",
                           "--cut-lines", "--trim", "--trim-same", "--trim-margin",
                           "IN2.pdf",
                           "--grid 2x4 --size a4 --gap 5mm --crop-marks",
                           "--pages 1,1,1,1,1,1,1,1 card.pdf"):
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
            # Well formed, but only the document can say the page is not there.
            (["--pages", "1,9", self.example, out],
             "sheetlay: page 9 does not exist (the document has 6 pages)\n"),
            (["--pages", "_,_", self.example, out], "sheetlay: page selection selects no pages\n"),
            (["--size", "300x1in", self.example, out], "sheetlay: sheet size must be"),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertEqual(r.stdout, "")
                if want is None:
                    self.assertRegex(r.stderr, r"^sheetlay: \S.*\n$")
                elif want.endswith("\n"):
                    self.assertEqual(r.stderr, want)
                else:
                    self.assertTrue(r.stderr.startswith(want), r.stderr)
                self.assertFalse(os.path.exists(args[-1]))

    def test_failure_keeps_an_existing_output(self):
        out = self.path("existing.pdf")
        for args in ([self.path("missing.pdf")], ["--pages", "7", self.example]):
            with open(out, "w") as f:
                f.write("keep me")
            r = self.run_cli(*args, out)
            self.assertEqual(r.returncode, 1)
            with open(out) as f:
                self.assertEqual(f.read(), "keep me")

    def test_layouts(self):
        # (arguments, sheets from the 6 example pages, sheet size). The first
        # page is A4 portrait; auto orientation turns the sheet when that shows
        # it larger (2x1: 0.71 against 0.5; 3x2: 0.35 against 0.33).
        cases = [
            ([], 2, A4),
            (["-n", "2"], 3, A4_WIDE),
            (["-n6"], 1, A4_WIDE),
            (["-n", "9", "--rtl"], 1, A4),
            (["-n=16"], 1, A4),
            (["--grid", "3x1"], 2, A4_WIDE),
            (["--grid=1x1", "--pages", "1,3", "--landscape"], 2, A4_WIDE),
            (["--size=letter", "-n", "2"], 3, (792, 612)),
            (["--size", "a3", "--rtl"], 2, (841.89, 1190.55)),
            (["--size", "Tabloid", "--as-given", "-n", "2"], 3, (792, 1224)),
            (["--size", "210x297mm"], 2, A4),
            (["--size", "21x29.7cm"], 2, A4),
            (["--size", "8.5x11in"], 2, (612, 792)),
            (["--size", "500x300pt", "--portrait"], 2, (300, 500)),
            (["--border", "2", "--size", "a4"], 2, A4),  # refused before the options interface
            (["--border=0.5mm", "--margin", "10mm", "--gap", ".25in", "--shrink-only"], 2, A4),
            (["--columns-first", "--bottom-up", "--rtl"], 2, A4),
            (["--pages", "z-1", "-n", "2", "--as-given"], 3, (500, 500)),  # z is 500 x 500
            (["--pages", " -2 , 4- "], 2, A4),
            (["--pages", "1,_,1,1,1"], 2, A4),
            (["--booklet"], 4, A4_WIDE),  # 6 pages padded to 8: 4 sides
            (["--booklet", "--pages", "1-4", "-n", "2", "--size", "a4"], 2, A4_WIDE),
            (["--plain", "-n", "2"], 3, A4),  # plain sheets are as given
            (["--plain", "-n", "2", "--landscape"], 3, A4_WIDE),
        ]
        for args, sheets, size in cases:
            with self.subTest(args=args):
                out = self.path("layout.pdf")
                r = self.run_cli(*args, self.example, out)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
                with open(out, "rb") as f:
                    head = f.read(9)
                if "--plain" in args:
                    self.assertEqual(head, b"%PDF-1.4\n")
                else:
                    self.assertRegex(head, rb"^%PDF-\d\.\d\s")
                if QPDF:
                    q = subprocess.run([QPDF, "--check", out], capture_output=True, text=True)
                    self.assertEqual(q.returncode, 0, q.stdout)
                if PDFINFO:
                    pages, sizes = pdfinfo(out)
                    self.assertEqual(pages, sheets)
                    for got in sizes:
                        self.assertAlmostEqual(got[0], size[0], delta=0.5)
                        self.assertAlmostEqual(got[1], size[1], delta=0.5)
                        self.assertEqual(got[2], 0)
                os.remove(out)

    def test_plain_is_what_the_fixed_grid_calls_write(self):
        lib_path = library_path()
        if lib_path is None:
            self.skipTest("the library cannot be loaded here")
        lib = ctypes.CDLL(lib_path)
        # (program arguments, the call: function and its numbers after the paths)
        cases = [
            (["--plain", "-n", "4", "--as-given"], lib.sheetlay_create, (4, 0)),
            (["--plain", "-n", "16", "--rtl"], lib.sheetlay_create, (16, 1)),
            (["--plain", "-n", "6", "--size", "letter", "--rtl"], lib.sheetlay_create_sized, (6, 1, 1)),
            (["--plain", "--size", "a3"], lib.sheetlay_create_sized, (4, 0, 2)),
            (["--plain", "-n", "2", "--border", "2"], lib.sheetlay_create_bordered, (2, 0, 2)),
        ]
        for args, call, numbers in cases:
            with self.subTest(args=args):
                old, new = self.path("old.pdf"), self.path("new.pdf")
                self.assertEqual(call(self.example.encode(), old.encode(), *numbers), 1)
                r = self.run_cli(*args, self.example, new)
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(old, "rb") as a, open(new, "rb") as b:
                    self.assertEqual(a.read(), b.read())

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
        # Every page of the example is larger than its cell, so never
        # enlarging changes nothing.
        for args in (["-n", "4"], ["--ltr"], ["--size", "first"], ["--border", "0"],
                     ["--rtl", "--ltr"], ["--grid", "2x2"], ["-n", "9", "--grid", "2x2"],
                     ["--margin", "0mm"], ["--gap=0in"], ["--shrink-only"]):
            with self.subTest(args=args):
                self.assertEqual(run(*args, self.example, out), plain)
        # (The example's first page is A4, so --size a4 would change nothing.)
        for args in (["--rtl"], ["--border", "1"], ["--size", "letter"], ["-n", "2"],
                     ["--columns-first"], ["--bottom-up"], ["--gap", "1"], ["--margin", "1mm"],
                     ["--pages", "2-z"], ["--booklet"], ["--plain"]):
            with self.subTest(differs=args):
                self.assertNotEqual(run(*args, self.example, out), plain)

    def test_default_is_compact(self):
        r = self.run_cli(self.example, self.path("compact.pdf"))
        r2 = self.run_cli("--plain", self.example, self.path("plain.pdf"))
        self.assertEqual((r.returncode, r2.returncode), (0, 0))
        with open(self.path("compact.pdf"), "rb") as a, open(self.path("plain.pdf"), "rb") as b:
            self.assertLess(len(a.read()), len(b.read()))

    def test_verbose_and_file_names(self):
        # -v says what was written; "--" lets a file name start with '-'.
        shutil.copy(self.example, self.path("-dash.pdf"))
        r = self.run_cli("-v", "--", "-dash.pdf", "-out.pdf")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^sheetlay: wrote -out\.pdf \(\d+ bytes\): 2x2 grid, left to "
                                   r"right, sheet of the first page's size, orientation auto, "
                                   r"pages all, compact\n$")
        self.assertTrue(os.path.exists(self.path("-out.pdf")))
        r = self.run_cli("--verbose", "--size", "8.5x11in", "--pages", "1-3", "--booklet",
                         "--plain", "--rtl", "--columns-first", "--bottom-up", "--border", "1",
                         "--landscape", "--", "-dash.pdf", "-out.pdf")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^sheetlay: wrote -out\.pdf \(\d+ bytes\): 2x1 grid, right to "
                                   r"left, columns first, bottom up, sheet 612\.00 x 792\.00 pt, "
                                   r"orientation landscape, pages 1-3, booklet, framed, plain\n$")
        # The same file as input and output: the input is read whole first.
        same = self.path("inplace.pdf")
        shutil.copy(self.example, same)
        r = self.run_cli("-n", "2", same, same)
        self.assertEqual(r.returncode, 0, r.stderr)
        if PDFINFO:
            self.assertEqual(pdfinfo(same)[0], 3)

    def written(self, *args, out=None):
        """Runs a job that must succeed; the bytes written to `out` (by default
        the last argument), the file then removed."""
        out = out or args[-1]
        r = self.run_cli(*args)
        self.assertEqual((r.returncode, r.stderr), (0, ""), args)
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
        return data

    def test_pages_and_password_go_with_their_input(self):
        # After a name: that input's; before the first name: every input's
        # without its own. On a 1x1 grid each cell is a sheet.
        if not (PDFINFO and QPDF):
            self.skipTest("pdfinfo or qpdf not found")
        ex, out = self.example, self.path("per-input.pdf")
        enc = self.path("locked.pdf")
        subprocess.run([QPDF, "--encrypt", "secret", "owner", "256", "--", ex, enc], check=True)
        # One input: every spelling is the same sheetlay_nup call.
        want = self.written("--pages", "2-3", ex, out)
        for spelling in ([ex, "--pages", "2-3", out], [ex, out, "--pages", "2-3"],
                         ["--pages", "1", ex, "--pages=z", "--pages", "2-3", out]):
            with self.subTest(spelling=spelling):
                self.assertTrue(self.written(*spelling, out=out) == want)
        # Several: (spelling, cells or the failure's message).
        for spelling, want in [
                ([ex, enc, "--password", "secret"], 12),
                (["--pages", "1", "--password", "secret", ex, enc, "--pages", "2-4", ex], 5),
                ([ex, "--pages", "z-1", enc, "--pages", "2,_,3", "--password=secret"], 9),
                ([ex, ex, "--pages", "9"], "page 9 does not exist in %s (it has 6 pages)" % ex),
                ([enc, ex, "--password", "secret"], "%s needs a password" % enc),
                (["--password", "secret", ex, enc, "--password", "x"], "wrong password for " + enc)]:
            with self.subTest(spelling=spelling):
                r = self.run_cli("--grid", "1x1", *spelling, out)
                if isinstance(want, int):
                    self.assertEqual((r.returncode, r.stderr), (0, ""))
                    self.assertEqual(pdfinfo(out)[0], want)
                    os.remove(out)
                else:
                    self.assertEqual(r.returncode, 1)
                    self.assertIn(want, r.stderr)

    def test_imposition_flags_reach_the_library(self):
        # --plain leaves the sheets' content readable. (flags, what the bytes
        # show, the same job's flags without them)
        ex, out = self.example, self.path("flags.pdf")
        cm = re.compile(rb"\nq (\S+) (\S+) (\S+) (\S+) \S+ \S+ cm /F\d+ Do Q")

        def matrices(data):
            return [tuple(float(v) for v in m) for m in cm.findall(data)]

        slides = ["-n", "4", "--size", "a4", "--portrait", "--pages", "2,1,2"]  # 2 is wide
        cases = [
            (["--crop-marks"], lambda d: b"/Separation /All" in d, []),
            (["--cut-lines"], lambda d: b"[4 4] 0 d" in d, ["--gap", "8"]),
            (["--turn", "left"], lambda d: any(a == d_ == 0 and b > 0 > c
                                               for a, b, c, d_ in matrices(d)), slides),
            (["--turn", "right"], lambda d: any(a == d_ == 0 and b < 0 < c
                                                for a, b, c, d_ in matrices(d)), slides),
            (["--same-scale"], lambda d: len({round(math.hypot(a, b), 4)
                                              for a, b, _, _ in matrices(d)}) == 1, []),
            (["--long-edge"], lambda d: any(a < 0 and d_ < 0 for a, _, _, d_ in matrices(d)),
             ["--booklet", "--pages", "1,2,4,1,2,4"]),  # no page of /Rotate 180
        ]
        for flags, shows, base in cases:
            with self.subTest(flags=flags):
                self.assertTrue(shows(self.written("--plain", *base, *flags, ex, out)))
                self.assertFalse(shows(self.written("--plain", *base, ex, out)))
        # Signatures reorder a booklet's sides: 6 pages in runs of 4 and 2+2.
        booklet = self.written("--booklet", ex, out)
        self.assertTrue(self.written("--booklet", "--signature", "0", ex, out) == booklet)
        self.assertTrue(self.written("--booklet", "--signature", "1", ex, out) != booklet)
        # Trimming: refused by the library until it is built.
        for flags in (["--trim"], ["--trim-same", "--trim-margin", "2mm"]):
            r = self.run_cli(*flags, ex, out)
            if r.returncode != 0:
                self.assertEqual((r.returncode, r.stderr), (1, "sheetlay: trim is not built yet\n"))

    def test_verbose_names_inputs_and_imposition(self):
        ex, out = self.example, self.path("verbose.pdf")
        r = self.run_cli("-v", "--booklet", "--signature", "2", "--long-edge", "--same-scale",
                         "--turn", "right", "--crop-marks", "--cut-lines", ex, "--pages", "1-3",
                         ex, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^sheetlay: wrote \S+verbose\.pdf \(\d+ bytes\) from 2 inputs: "
                                   r"2x1 grid, .*, pages 1-3; all, booklet, signatures of 2 sheets, "
                                   r"long-edge duplex, same scale, turned right, crop marks, "
                                   r"cut lines, compact\n$")

    def test_progress(self):
        # Forced on, the bar is drawn on stderr and wiped at the end (bytes:
        # text mode would turn its carriage returns into newlines).
        out = self.path("progress.pdf")
        r = subprocess.run([*EMULATOR, CLI, "--progress", "-v", self.example, out],
                           capture_output=True, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith(b"sheetlay: wrote"), r.stdout)
        self.assertRegex(r.stderr, rb"^\rsheetlay: \[[#.]{30}\] \d+/6 pages[^\n]*\r {72}\r$")
        r = self.run_cli("--progress", "--no-progress", self.example, out)
        self.assertEqual((r.returncode, r.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
