"""Tests of several inputs and the imposition keywords (signature, duplex, turn,
fit="same", marks, trim): how the arguments reach the structures handed to C,
and, with a 0.3 library, what the library makes of them. Runs as test_sheetlay
does (unittest under CTest, pytest against the installed package)."""

import ctypes
import os
import pathlib
import shutil
import tempfile
import unittest
from unittest import mock

import sheetlay
from test_sheetlay import PDFINFO, make_pdf, pdfinfo, read


def library_version():
    try:
        return tuple(int(p) for p in sheetlay.version().split(".")[:3])
    except (OSError, ValueError):
        return (0, 0, 0)


def library_has(name):
    try:
        return hasattr(sheetlay.load_library(), name)
    except OSError:
        return False


needs_0_3 = unittest.skipIf(library_version() < (0, 3, 0), "needs the sheetlay library 0.3")
needs_inputs = unittest.skipUnless(library_has("sheetlay_nup_inputs"), "the library has no sheetlay_nup_inputs")


def as_dict(src):
    return {k: getattr(src, k) for k in ("path", "data", "pages", "password") if getattr(src, k) is not None}


class Normalize(unittest.TestCase):
    """Inputs as given -> (path, data, pages, password) of each sheetlay_input."""

    def test_forms(self):
        pdf = b"%PDF-1.4 data"
        cases = [
            # (value, bytes are data, inputs, given as a list)
            ("a.pdf", False, [{"path": b"a.pdf"}], False),
            (pathlib.Path("a.pdf"), False, [{"path": b"a.pdf"}], False),
            (b"a.pdf", False, [{"path": b"a.pdf"}], False),  # nup(): bytes are a path, as for open()
            (b"a.pdf", True, [{"data": b"a.pdf"}], False),  # nup_bytes(): bytes are the PDF
            (bytearray(pdf), False, [{"data": pdf}], False),
            (memoryview(pdf), False, [{"data": pdf}], False),
            (("a.pdf", "1-3"), False, [{"path": b"a.pdf", "pages": b"1-3"}], False),
            (("a.pdf", None, "s\u00e9same"), False,
             [{"path": b"a.pdf", "password": "s\u00e9same".encode()}], False),
            ((pdf, "2", b"pw"), True, [{"data": pdf, "pages": b"2", "password": b"pw"}], False),
            ({"path": "a.pdf", "pages": "z-1"}, False, [{"path": b"a.pdf", "pages": b"z-1"}], False),
            ({"data": bytearray(pdf)}, False, [{"data": pdf}], False),
            ({"path": b"raw.pdf"}, True, [{"path": b"raw.pdf"}], False),
            ([("a.pdf", "1-3"), "b.pdf", {"data": pdf, "pages": "_"}], False,
             [{"path": b"a.pdf", "pages": b"1-3"}, {"path": b"b.pdf"}, {"data": pdf, "pages": b"_"}],
             True),
            (["a.pdf"], False, [{"path": b"a.pdf"}], True),
            ([], False, [], True),
        ]
        for value, bytes_is_data, want, several in cases:
            with self.subTest(value=repr(value)[:40], bytes_is_data=bytes_is_data):
                got, got_several = sheetlay._inputs(value, bytes_is_data)
                self.assertEqual([as_dict(s) for s in got], want)
                self.assertEqual(got_several, several)

    def test_array_handed_to_c(self):
        # What the library reads through each sheetlay_input: the data's bytes
        # at the pointer, NULL for what is not given.
        pdf = b"%PDF-1.4\n" + bytes(range(256)) * 4
        sources, _ = sheetlay._inputs([("a.pdf", "1-3", "pw"), {"data": pdf, "pages": "_"}, b"b.pdf"],
                                      False)
        array = sheetlay._input_array(sources)
        self.assertEqual(ctypes.sizeof(sheetlay._Input), 40)
        got = [(x.path, ctypes.string_at(x.data, x.data_len) if x.data else None, x.data_len,
                x.pages, x.password) for x in array]
        self.assertEqual(got, [(b"a.pdf", None, 0, b"1-3", b"pw"), (None, pdf, len(pdf), b"_", None),
                               (b"b.pdf", None, 0, None, None)])
        self.assertEqual(len(sheetlay._input_array([])), 1)

    def test_refused(self):
        cases = [
            (b"%PDF-1.7\n...", False, TypeError),  # data where nup() reads a path
            (("a.pdf", "1", "pw", "x"), False, TypeError),
            ((), False, TypeError),
            ((("a.pdf", "1"), "2"), False, TypeError),
            ([["a.pdf"]], False, TypeError),
            ({"path": "a.pdf", "data": b"x"}, False, TypeError),
            ({"pages": "1"}, False, TypeError),
            ({"path": "a.pdf", "file": "b.pdf"}, False, TypeError),
            ({"data": 42}, False, TypeError),
            (("a.pdf", 5), False, TypeError),
            (("a.pdf", "1\0"), False, ValueError),
            ("a\0b.pdf", False, ValueError),
            (42, False, TypeError),
            (None, True, TypeError),
        ]
        for value, bytes_is_data, exc in cases:
            with self.subTest(value=repr(value)[:40]):
                with self.assertRaises(exc):
                    sheetlay._inputs(value, bytes_is_data)


class Keywords(unittest.TestCase):
    FIELDS = ("fit", "booklet", "signature", "duplex", "turn", "marks", "trim", "trim_margin", "reserved2")

    def test_mapping(self):
        defaults = dict.fromkeys(self.FIELDS, 0)
        cases = [
            ({}, {}),
            ({"fit": "same"}, {"fit": 2}),
            ({"fit": "SHRINK"}, {"fit": 1}),
            ({"shrink_only": True}, {"fit": 1}),
            ({"fit": "shrink", "shrink_only": True}, {"fit": 1}),
            ({"booklet": True, "signature": 3, "duplex": "long"}, {"booklet": 1, "signature": 3, "duplex": 1}),
            ({"duplex": "short"}, {}),
            ({"turn": "left"}, {"turn": 1}),
            ({"turn": "Right"}, {"turn": 2}),
            ({"turn": "none"}, {}),
            ({"marks": {"crop", "cut"}}, {"marks": 3}),
            ({"marks": "crop"}, {"marks": 1}),
            ({"marks": ["cut", "cut"]}, {"marks": 2}),
            ({"marks": 0x10}, {"marks": 0x10}),  # unknown bits are the library's to refuse
            ({"trim": "each", "trim_margin": 4}, {"trim": 1, "trim_margin": 4.0}),
            ({"trim": "same"}, {"trim": 2}),
        ]
        for kwargs, changed in cases:
            with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                opt, _ = sheetlay._options(**kwargs)
                self.assertEqual({f: getattr(opt, f) for f in self.FIELDS}, dict(defaults, **changed))
                self.assertEqual(opt.size, 144)

    def test_refused(self):
        cases = [
            ({"fit": "tight"}, ValueError),
            ({"fit": "same", "shrink_only": True}, ValueError),
            ({"duplex": "both"}, ValueError),
            ({"duplex": 1}, ValueError),
            ({"turn": "up"}, ValueError),
            ({"marks": {"crop", "bleed"}}, ValueError),
            ({"marks": True}, TypeError),
            ({"marks": -1}, ValueError),
            ({"signature": 1.5}, TypeError),
            ({"trim": "all"}, ValueError),
            ({"trim_margin": "1"}, TypeError),
        ]
        for kwargs, exc in cases:
            with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                with self.assertRaises(exc):
                    sheetlay.nup("in.pdf", "out.pdf", **kwargs)
                with self.assertRaises(exc):
                    sheetlay.nup_bytes(b"%PDF-", **kwargs)


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sheetlay-inputs-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.a = self.write("a.pdf", make_pdf([(612, 792)] * 5))
        self.b = self.write("b.pdf", make_pdf([(792, 612)] * 3))

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def out(self, name="out.pdf"):
        return os.path.join(self.dir, name)


class OneInput(Base):
    """A single input with its own selection goes through the single-input
    calls, so these hold with a 0.2 library too."""

    def test_own_selection_equals_the_keyword(self):
        sheetlay.nup(self.a, self.out("kw.pdf"), pages="2-4", n=2)
        want = read(self.out("kw.pdf"))
        data = read(self.a)
        cases = [((self.a, "2-4"), {}), ({"path": self.a, "pages": "2-4"}, {}),
                 ((self.a, None), {"pages": "2-4"}), ({"path": self.a}, {"pages": "2-4"})]
        for value, kwargs in cases:
            with self.subTest(value=repr(value)):
                sheetlay.nup(value, self.out(), n=2, **kwargs)
                self.assertEqual(read(self.out()), want)
        self.assertEqual(sheetlay.nup_bytes((data, "2-4"), n=2), want)
        self.assertEqual(sheetlay.nup_bytes({"data": data}, pages="2-4", n=2), want)

    def test_own_selection_wins_over_the_keyword(self):
        with self.assertRaises(sheetlay.SheetlayError) as cm:
            sheetlay.nup((self.a, "9"), self.out(), pages="1")
        self.assertEqual(cm.exception.message, "page 9 does not exist (the document has 5 pages)")
        self.assertFalse(os.path.exists(self.out()))

    def test_new_keywords_refused_by_a_0_2_library(self):
        # A 0.2 library reads 112 bytes: the fields after them would be
        # ignored without a word, so the module refuses them itself and
        # hands the library a structure of the size it knows.
        sheetlay.load_library()
        plain = sheetlay.nup_bytes(read(self.a))
        seen = []
        real = sheetlay._lib.sheetlay_nup_mem

        def spy(*args):
            seen.append(args[4]._obj.size)
            return real(*args)

        with mock.patch.object(sheetlay, "_lib_options_size", 112), \
                mock.patch.object(sheetlay._lib, "sheetlay_nup_mem", spy):
            self.assertEqual(sheetlay.nup_bytes(read(self.a)), plain)
            self.assertEqual(seen, [112])
            for kwargs in ({"signature": 1, "booklet": True}, {"duplex": "long", "booklet": True},
                           {"turn": "left"}, {"marks": {"cut"}}, {"trim": "each"},
                           {"trim_margin": 2}, {"fit": "same"}):
                with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                    with self.assertRaises(sheetlay.SheetlayError) as cm:
                        sheetlay.nup_bytes(read(self.a), **kwargs)
                    self.assertIn("(0.3 or later can)", cm.exception.message)


@needs_inputs
class SeveralInputs(Base):
    def test_joined_in_order(self):
        sheetlay.nup([self.a, self.b], self.out(), n=4, size="a4")
        both = read(self.out())
        if PDFINFO:
            self.assertEqual(pdfinfo(self.out())[0], 2)  # 5 + 3 pages, 4 a sheet
        # Paths and data, to a file and to memory: the same job, the same bytes.
        data_a, data_b = read(self.a), read(self.b)
        self.assertEqual(sheetlay.nup_bytes([data_a, data_b], n=4, size="a4"), both)
        self.assertEqual(sheetlay.nup_bytes([self.a, {"data": data_b}], n=4, size="a4"), both)
        sheetlay.nup([bytearray(data_a), pathlib.Path(self.b)], self.out("mixed.pdf"), n=4, size="a4")
        self.assertEqual(read(self.out("mixed.pdf")), both)

    def test_list_of_one_equals_the_single_call(self):
        for kwargs in ({}, {"pages": "3,_,1"}, {"booklet": True}):
            with self.subTest(**kwargs):
                sheetlay.nup(self.a, self.out("single.pdf"), **kwargs)
                sheetlay.nup([self.a], self.out("list.pdf"), **kwargs)
                self.assertEqual(read(self.out("list.pdf")), read(self.out("single.pdf")))

    def test_selections(self):
        # The keyword's selection serves inputs without their own.
        cases = [
            ([self.a, self.b], {"pages": "1"}, 1),
            ([(self.a, "1-5"), self.b], {"pages": "1"}, 2),
            ([(self.a, "_"), (self.b, "1")], {}, 1),
        ]
        for inputs, kwargs, sheets in cases:
            with self.subTest(inputs=repr(inputs), **kwargs):
                sheetlay.nup(inputs, self.out(), **kwargs)
                if PDFINFO:
                    self.assertEqual(pdfinfo(self.out())[0], sheets)

    def test_errors_name_their_input(self):
        data_b = read(self.b)
        cases = [
            ([self.a, (self.b, "9")], "page 9 does not exist in %s (it has 3 pages)" % self.b),
            ([self.a, (bytearray(data_b), "9")], "page 9 does not exist in input 2 (it has 3 pages)"),
            ([self.a, (self.b, "1-x")], "bad page selection of %s at 'x'" % self.b),
            ([(self.a, "_"), (self.b, "_")], "page selection selects no pages"),
            ([], "input count must be 1 to 4096 (got 0)"),
        ]
        for inputs, want in cases:
            with self.subTest(want=want):
                with self.assertRaises(sheetlay.SheetlayError) as cm:
                    sheetlay.nup(inputs, self.out())
                self.assertEqual(cm.exception.message, want)
                self.assertFalse(os.path.exists(self.out()))
                with self.assertRaises(sheetlay.SheetlayError) as mem:
                    sheetlay.nup_bytes(inputs)
                self.assertEqual(mem.exception.message, want)


@needs_0_3
class Imposition(Base):
    def test_keywords_reach_the_library(self):
        mixed = self.write("mixed.pdf", make_pdf([(612, 792)] * 3 + [(792, 612)] * 3))
        cases = [
            # (keywords, sides for the 6 pages)
            ({"booklet": True, "signature": 1}, 4),  # runs of 4 cells, the last padded to 4
            ({"booklet": True, "duplex": "long"}, 4),
            ({"turn": "left", "size": "a4", "orientation": "portrait", "grid": (1, 2)}, 3),
            ({"turn": "right", "size": "a4", "orientation": "portrait", "grid": (1, 2)}, 3),
            ({"fit": "same", "n": 4}, 2),
            ({"marks": {"crop", "cut"}, "gap": 12, "n": 4}, 2),
        ]
        for kwargs, sheets in cases:
            with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                sheetlay.nup(mixed, self.out(), **kwargs)
                if PDFINFO:
                    self.assertEqual(pdfinfo(self.out())[0], sheets)

    def test_library_messages(self):
        # Each message shows its field arrived where the library reads it.
        cases = [
            ({"signature": 2}, "signature and duplex are for booklets"),
            ({"duplex": "long"}, "signature and duplex are for booklets"),
            ({"booklet": True, "signature": 300}, "signature must be 0 to 256 (got 300)"),
            ({"booklet": True, "signature": -1}, "signature must be 0 to 256 (got -1)"),
            ({"marks": 4}, "unknown marks flags 0x4"),
            ({"trim_margin": -1}, "trim margin must be a number >= 0"),
            ({"trim_margin": float("nan")}, "trim margin must be a number >= 0"),
        ]
        for kwargs, want in cases:
            with self.subTest(**{k: str(v) for k, v in kwargs.items()}):
                with self.assertRaises(sheetlay.SheetlayError) as cm:
                    sheetlay.nup(self.a, self.out(), **kwargs)
                self.assertEqual(cm.exception.message, want)


if __name__ == "__main__":
    unittest.main()
