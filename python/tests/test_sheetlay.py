"""Tests of the ctypes module: python3 -m unittest test_sheetlay, or pytest.

Under CTest, PYTHONPATH reaches the package in the source tree and
SHEETLAY_LIBRARY names the build's library; in CI the same tests run with
pytest against the installed package, which finds its own library. pdfinfo
(poppler-utils), when present, checks page counts and sizes.
"""

import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import sheetlay

PDFINFO = shutil.which("pdfinfo")


def make_pdf(sizes):
    """A classic-xref PDF with one page per (width, height), each with a
    line of Helvetica text."""
    objs = {1: b"<< /Type /Catalog /Pages 2 0 R >>",
            3: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"}
    kids = []
    for i, (w, h) in enumerate(sizes):
        page, content = 4 + 2 * i, 5 + 2 * i
        kids.append(b"%d 0 R" % page)
        objs[page] = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] "
                      b"/Resources << /Font << /F1 3 0 R >> >> /Contents %d 0 R >>"
                      % (w, h, content))
        text = b"BT /F1 24 Tf 20 20 Td (page %d) Tj ET" % (i + 1)
        objs[content] = b"<< /Length %d >>\nstream\n%s\nendstream" % (len(text), text)
    objs[2] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), len(sizes))
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for num in sorted(objs):
        offsets[num] = len(out)
        out += b"%d 0 obj\n%s\nendobj\n" % (num, objs[num])
    xref = len(out)
    size = max(objs) + 1
    out += b"xref\n0 %d\n0000000000 65535 f \n" % size
    for num in range(1, size):
        out += b"%010d 00000 n \n" % offsets[num]
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, xref)
    return bytes(out)


def pdfinfo(path):
    """(pages, (width, height) of page 1) from pdfinfo."""
    text = subprocess.run([PDFINFO, path], capture_output=True, text=True, check=True).stdout
    pages = int(re.search(r"^Pages:\s+(\d+)", text, re.M).group(1))
    m = re.search(r"^Page size:\s+([\d.]+) x ([\d.]+)", text, re.M)
    return pages, (float(m.group(1)), float(m.group(2)))


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sheetlay-py-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.input = self.path("in.pdf")
        with open(self.input, "wb") as f:
            f.write(make_pdf([(612, 792)] * 5))

    def path(self, name):
        return os.path.join(self.dir, name)


LETTER, LETTER_WIDE, A4 = (612, 792), (792, 612), (595.28, 841.89)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Success(Base):
    def test_layouts(self):
        # (arguments, sheets for the 5 Letter pages, sheet size). Auto
        # orientation turns a sheet when the page shows larger that way.
        cases = [
            ({}, 2, LETTER),
            ({"n": 2}, 3, LETTER_WIDE),
            ({"n": 2, "plain": True}, 3, LETTER),  # the fixed-grid calls never turn a sheet
            ({"n": 16, "order": "RTL"}, 1, LETTER),
            ({"size": "a4"}, 2, A4),
            ({"size": "letter", "n": 9}, 1, LETTER),
            ({"border": 2}, 2, LETTER),
            ({"size": "first", "border": 1}, 2, LETTER),
            ({"size": "a4", "border": 2}, 2, A4),  # refused before the options interface
            ({"size": (500, 300.5), "orientation": "as-given"}, 2, (500, 300.5)),
            ({"grid": (1, 1), "gap": 400}, 5, LETTER),
            ({"columns": 5}, 1, LETTER_WIDE),  # rows stay 2
            ({"pages": "1-3,_,_,5", "columns_first": True, "bottom_up": True}, 2, LETTER),
            ({"booklet": True}, 4, LETTER_WIDE),  # padded to 8
        ]
        for kwargs, sheets, size in cases:
            with self.subTest(**kwargs):
                out = self.path("out.pdf")
                sheetlay.nup(self.input, out, **kwargs)
                self.assertRegex(read(out)[:9], rb"^%PDF-\d\.\d\s")
                if PDFINFO:
                    got_pages, got_size = pdfinfo(out)
                    self.assertEqual(got_pages, sheets)
                    self.assertAlmostEqual(got_size[0], size[0], delta=0.5)
                    self.assertAlmostEqual(got_size[1], size[1], delta=0.5)
                os.remove(out)

    def test_options_mapping(self):
        # Keyword arguments -> the fields of the structure handed to C.
        defaults = {"columns": 2, "rows": 2, "flow": 0, "sheet_width": 0, "sheet_height": 0,
                    "orientation": 0, "fit": 0, "margin": 0, "gap": 0, "border": 0,
                    "pages": None, "booklet": 0, "keep": 15, "compress": 1, "password": None}
        cases = [
            ({}, {}),
            ({"grid": [7, 3]}, {"columns": 7, "rows": 3}),
            ({"rows": 4}, {"rows": 4}),
            ({"order": "rtl", "columns_first": True, "bottom_up": 1}, {"flow": 7}),
            ({"size": "A3"}, {"sheet_width": 841.89, "sheet_height": 1190.55}),
            ({"size": (100, 200.25)}, {"sheet_width": 100, "sheet_height": 200.25}),
            ({"orientation": "as_given", "shrink_only": True}, {"orientation": 3, "fit": 1}),
            ({"margin": 1, "gap": 2.5, "border": 0.25}, {"margin": 1, "gap": 2.5, "border": 0.25}),
            ({"pages": "1-3,z", "booklet": True}, {"pages": b"1-3,z", "booklet": 1, "rows": 1}),
            ({"keep": ["info", "links", "info"], "compress": "none"}, {"keep": 9, "compress": 0}),
            ({"keep": 0x30, "compress": False}, {"keep": 0x30, "compress": 0}),
            ({"password": "s\u00e9same"}, {"password": "s\u00e9same".encode("utf-8")}),
            ({"plain": True}, {"keep": 0, "compress": 0, "orientation": 3}),
            ({"plain": True, "orientation": "auto", "keep": 4}, {"keep": 4, "compress": 0}),
        ]
        for kwargs, changed in cases:
            with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                opt, _ = sheetlay._options(**kwargs)
                got = {name: getattr(opt, name) for name in defaults}
                self.assertEqual(got, dict(defaults, **changed))

    def test_structure_matches_the_library(self):
        # The exported sheetlay_options_init fills a 0.2 structure (112
        # bytes, as hosts built against 0.2 call it) and writes nothing past
        # it; the sized init of a 0.3 library fills this module's 144 bytes.
        lib = sheetlay.load_library()
        self.assertEqual(sheetlay._SIZE_0_2, 112)
        calls = [("sheetlay_options_init", lambda b: lib.sheetlay_options_init(b), 112)]
        if hasattr(lib, "sheetlay_options_init_sized"):
            calls.append(("sheetlay_options_init_sized",
                          lambda b: lib.sheetlay_options_init_sized(b, ctypes.sizeof(sheetlay._Options)),
                          ctypes.sizeof(sheetlay._Options)))
            self.assertEqual(ctypes.sizeof(sheetlay._Options), 144)
        for name, call, want in calls:
            with self.subTest(call=name):
                block = ctypes.create_string_buffer(b"\xee" * 512, 512)
                call(block)
                size = ctypes.c_uint32.from_buffer(block).value
                self.assertEqual(size, want)
                self.assertEqual(block.raw[size:], b"\xee" * (512 - size))
        self.assertEqual(sheetlay._lib_options_size, calls[-1][2])

    def test_path_types(self):
        # str, bytes and os.PathLike all reach the library unchanged.
        for make in (str, os.fsencode, pathlib.Path):
            with self.subTest(type=make.__name__):
                out = self.path("typed.pdf")
                sheetlay.nup(make(self.input), make(out))
                self.assertTrue(os.path.exists(out))
                os.remove(out)

    def test_options_select_the_matching_call(self):
        # The defaults and their explicit spellings give the same bytes; a
        # border or another order gives different ones; plain=True gives
        # exactly what the fixed-grid calls write.
        def run(name, **kwargs):
            out = self.path(name)
            sheetlay.nup(self.input, out, **kwargs)
            return read(out)

        plain = run("plain.pdf")
        self.assertEqual(run("explicit.pdf", n=4, order="ltr", size="first", border=0), plain)
        self.assertEqual(run("spelled.pdf", grid=(2, 2), orientation="auto", keep=15), plain)
        self.assertNotEqual(run("framed.pdf", border=3), plain)
        self.assertNotEqual(run("rtl.pdf", order="rtl"), plain)
        lib, old = sheetlay.load_library(), self.path("old.pdf")
        self.assertEqual(lib.sheetlay_create_sized(self.input.encode(), old.encode(), 9, 1, 0), 1)
        self.assertEqual(run("new.pdf", plain=True, n=9, order="rtl", size="a4"), read(old))

    def test_nup_bytes_equals_the_file(self):
        data = read(self.input)
        for kwargs in ({}, {"n": 2, "plain": True}, {"booklet": True, "pages": "5,_,1"}):
            with self.subTest(**kwargs):
                out = self.path("file.pdf")
                sheetlay.nup(self.input, out, **kwargs)
                self.assertEqual(sheetlay.nup_bytes(data, **kwargs), read(out))
                self.assertEqual(sheetlay.nup_bytes(bytearray(data), **kwargs), read(out))

class Failure(Base):
    def test_library_errors(self):
        missing = self.path("missing.pdf")
        not_pdf = self.path("not.pdf")
        with open(not_pdf, "wb") as f:
            f.write(b"this is not a PDF file\n" * 20)
        # (input, keyword arguments, expected message or regular expression)
        cases = [
            (missing, {}, "cannot open " + missing),
            (missing, {"n": 5}, "n must be 2, 4, 6, 9 or 16 (got 5)"),  # options judged first now
            (self.input, {"n": 5}, "n must be 2, 4, 6, 9 or 16 (got 5)"),
            (self.input, {"n": -2}, "n must be 2, 4, 6, 9 or 16 (got -2)"),
            (self.input, {"border": -1}, "border must be a number >= 0"),
            (self.input, {"margin": float("nan")}, "margin must be a number >= 0"),
            # Placed where C reads it: a gap has no neighbour in one cell, a margin does.
            (self.input, {"grid": (1, 1), "margin": 400}, "margin and gap leave no room for the cells"),
            (self.input, {"columns": 33}, "columns must be 1 to 32 (got 33)"),
            (self.input, {"grid": (2, 0)}, "rows must be 1 to 32 (got 0)"),
            (self.input, {"size": (0, 100)}, re.compile(r"^sheet size must be")),
            (self.input, {"keep": 0x30}, "unknown keep flags 0x30"),
            (self.input, {"pages": "1-x"}, "bad page selection at 'x'"),
            (self.input, {"pages": "2,9"}, "page 9 does not exist (the document has 5 pages)"),
            (self.input, {"pages": "_"}, "page selection selects no pages"),
            (not_pdf, {}, re.compile(r".+")),
        ]
        for src, kwargs, want in cases:
            with self.subTest(input=os.path.basename(src), **kwargs):
                out = self.path("out.pdf")
                with self.assertRaises(sheetlay.SheetlayError) as cm:
                    sheetlay.nup(src, out, **kwargs)
                if isinstance(want, str):
                    self.assertEqual(cm.exception.message, want)
                else:
                    self.assertRegex(cm.exception.message, want)
                self.assertEqual(str(cm.exception), cm.exception.message)
                self.assertFalse(os.path.exists(out), "output written despite the failure")
                if src != missing:
                    with self.assertRaises(sheetlay.SheetlayError) as mem:
                        sheetlay.nup_bytes(read(src), **kwargs)
                    if isinstance(want, str):
                        self.assertEqual(mem.exception.message, want)

    def test_unwritable_output(self):
        out = self.path("no-such-folder/out.pdf")
        with self.assertRaises(sheetlay.SheetlayError) as cm:
            sheetlay.nup(self.input, out)
        self.assertIn(out, cm.exception.message)

    def test_argument_errors(self):
        # Refused before the library is called: nothing reaches C that it
        # could misread.
        cases = [
            ({"order": "up"}, ValueError),
            ({"size": "b5"}, ValueError),
            ({"n": 4.0}, TypeError),
            ({"n": True}, TypeError),
            ({"n": 2**31}, ValueError),
            ({"border": "1"}, TypeError),
            ({"n": 4, "grid": (2, 2)}, ValueError),
            ({"grid": (2,)}, TypeError),
            ({"booklet": True, "n": 4}, ValueError),
            ({"orientation": "sideways"}, ValueError),
            ({"keep": {"links", "bogus"}}, ValueError),
            ({"pages": "1\0"}, ValueError),
            ({"password": 5}, TypeError),
            ({"progress": 42}, TypeError),
            ({"colour": "red"}, TypeError),
        ]
        for kwargs, exc in cases:
            with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                with self.assertRaises(exc):
                    sheetlay.nup(self.input, self.path("out.pdf"), **kwargs)
                with self.assertRaises(exc):
                    sheetlay.nup_bytes(b"%PDF-", **kwargs)
        for bad in (None, 42, "a\0b"):
            with self.subTest(path=bad):
                with self.assertRaises((TypeError, ValueError)):
                    sheetlay.nup(bad, self.path("out.pdf"))

    def test_no_stale_error_after_success(self):
        with self.assertRaises(sheetlay.SheetlayError):
            sheetlay.nup(self.path("missing.pdf"), self.path("out.pdf"))
        sheetlay.nup(self.input, self.path("out.pdf"))
        self.assertEqual(sheetlay.load_library().sheetlay_last_error(), b"")

    def test_threads_get_their_own_messages(self):
        # No lock around the calls: each reads its own error buffer, so
        # every failure reports its own file even while others fail or
        # succeed at the same moment.
        errors = {}
        start = threading.Barrier(6)
        data = read(self.input)

        def work(i):
            start.wait()
            for j in range(20):
                missing = self.path("missing-%d-%d.pdf" % (i, j))
                try:
                    if i % 3 == 1:
                        sheetlay.nup(self.input, self.path("ok-%d.pdf" % i))
                    elif i % 3 == 2:
                        sheetlay.nup_bytes(data, pages="%d" % (6 + j))
                    else:
                        sheetlay.nup(missing, self.path("out-%d.pdf" % i))
                except sheetlay.SheetlayError as e:
                    want = ("cannot open " + missing if i % 3 == 0 else
                            "page %d does not exist (the document has 5 pages)" % (6 + j))
                    if e.message != want:
                        errors[i] = e.message
                else:
                    if i % 3 != 1:
                        errors[i] = "no error"

        threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, {})

    def test_progress_cancels(self):
        # A true result or an exception stops the call; no file is left and
        # the exception itself comes out of nup. Before that, the callable
        # hears of progress over the 5 pages.
        class Stop(Exception):
            pass

        def stop(done, total):
            seen.append((done, total))
            raise Stop()

        out, seen = self.path("cancelled.pdf"), []
        for progress, exc in ((lambda d, t: True, sheetlay.SheetlayError), (stop, Stop)):
            with self.subTest(exc=exc.__name__):
                with self.assertRaises(exc) as cm:
                    sheetlay.nup(self.input, out, progress=progress)
                self.assertFalse(os.path.exists(out))
                self.assertEqual(getattr(cm.exception, "message", "cancelled"), "cancelled")
                with self.assertRaises(exc):
                    sheetlay.nup_bytes(read(self.input), progress=progress)
        self.assertEqual(seen[0][1], 5)
        with open(out, "wb") as f:
            f.write(b"keep")
        with self.assertRaises(sheetlay.SheetlayError):  # late: after a page is placed
            sheetlay.nup(self.input, out, progress=lambda d, t: d > 0)
        self.assertEqual(read(out), b"keep")

class Loading(unittest.TestCase):
    def run_python(self, code, library):
        env = dict(os.environ, SHEETLAY_LIBRARY=library)
        here = os.path.dirname(os.path.abspath(__file__))
        return subprocess.run([sys.executable, "-c", code], env=env, cwd=here,
                              capture_output=True, text=True)

    def test_wrong_library_path_is_reported(self):
        # An explicit SHEETLAY_LIBRARY that does not load is an error naming
        # it, not a silent fallback to some other copy.
        r = self.run_python(
            "import sheetlay\n"
            "try:\n"
            "    sheetlay.nup('a.pdf', 'b.pdf')\n"
            "except OSError as e:\n"
            "    print(e)\n", "/nonexistent/libsheetlay.so")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("SHEETLAY_LIBRARY=/nonexistent/libsheetlay.so", r.stdout)

    def test_import_does_not_load(self):
        # Importing never fails for want of the library; the first call does.
        r = self.run_python("import sheetlay; print(sheetlay._lib)", "/nonexistent/x.so")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), "None")


if __name__ == "__main__":
    unittest.main()
