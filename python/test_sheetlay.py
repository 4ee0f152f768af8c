"""Tests of the ctypes module: python3 -m unittest test_sheetlay

SHEETLAY_LIBRARY names the shared library under test (CTest sets it to the
build's). pdfinfo (poppler-utils), when present, checks page counts and sizes.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sheetlay  # noqa: E402

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


class Success(Base):
    def test_layouts(self):
        # (arguments, sheets for the 5 pages, sheet size or None for the first page's)
        cases = [
            ({}, 2, None),
            ({"n": 2}, 3, None),
            ({"n": 16, "order": "RTL"}, 1, None),
            ({"size": "a4"}, 2, (595.28, 841.89)),
            ({"size": "letter", "n": 9}, 1, (612, 792)),
            ({"border": 2}, 2, None),
            ({"size": "first", "border": 1}, 2, None),
            ({"size": "a4", "border": 0}, 2, (595.28, 841.89)),
        ]
        for kwargs, sheets, size in cases:
            with self.subTest(**kwargs):
                out = self.path("out.pdf")
                sheetlay.nup(self.input, out, **kwargs)
                with open(out, "rb") as f:
                    self.assertEqual(f.read(9), b"%PDF-1.4\n")
                if PDFINFO:
                    got_pages, got_size = pdfinfo(out)
                    self.assertEqual(got_pages, sheets)
                    want = size or (612, 792)
                    self.assertAlmostEqual(got_size[0], want[0], delta=0.5)
                    self.assertAlmostEqual(got_size[1], want[1], delta=0.5)
                os.remove(out)

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
        # border or another order gives different ones.
        def run(name, **kwargs):
            out = self.path(name)
            sheetlay.nup(self.input, out, **kwargs)
            with open(out, "rb") as f:
                return f.read()

        plain = run("plain.pdf")
        self.assertEqual(run("explicit.pdf", n=4, order="ltr", size="first", border=0), plain)
        self.assertNotEqual(run("framed.pdf", border=3), plain)
        self.assertNotEqual(run("rtl.pdf", order="rtl"), plain)


class Failure(Base):
    def test_library_errors(self):
        missing = self.path("missing.pdf")
        not_pdf = self.path("not.pdf")
        with open(not_pdf, "wb") as f:
            f.write(b"this is not a PDF file\n" * 20)
        # (input, keyword arguments, expected message or regular expression)
        cases = [
            (missing, {}, "cannot open " + missing),
            (missing, {"n": 5}, "cannot open " + missing),  # input judged first
            (self.input, {"n": 5}, "n must be 2, 4, 6, 9 or 16 (got 5)"),
            (self.input, {"n": -2}, "n must be 2, 4, 6, 9 or 16 (got -2)"),
            (self.input, {"border": -1}, "border_width must be >= 0 (got -1)"),
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
            ({"size": "a4", "border": 2}, ValueError),
            ({"n": 4.0}, TypeError),
            ({"n": True}, TypeError),
            ({"n": 2**31}, ValueError),
            ({"border": 1.5}, TypeError),
        ]
        for kwargs, exc in cases:
            with self.subTest(**kwargs):
                with self.assertRaises(exc):
                    sheetlay.nup(self.input, self.path("out.pdf"), **kwargs)
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
        # The library's error text is one buffer for the process; each
        # failure must still report its own file.
        errors = {}

        def work(i):
            for j in range(20):
                missing = self.path("missing-%d-%d.pdf" % (i, j))
                try:
                    if i % 2:
                        sheetlay.nup(self.input, self.path("ok-%d.pdf" % i))
                    else:
                        sheetlay.nup(missing, self.path("out-%d.pdf" % i))
                except sheetlay.SheetlayError as e:
                    if e.message != "cannot open " + missing:
                        errors[i] = e.message

        threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, {})


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
