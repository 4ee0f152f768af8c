"""Make n-up PDF files with the sheetlay shared library.

    import sheetlay
    sheetlay.nup("report.pdf", "report-4up.pdf")                  # 2 x 2 a sheet
    sheetlay.nup("report.pdf", "report-9up.pdf", n=9, order="rtl", size="a4")
    sheetlay.nup("talk.pdf", "talk.pdf", grid=(3, 1), margin=20, gap=10, pages="1-9")
    data = sheetlay.nup_bytes(open("zine.pdf", "rb").read(), booklet=True)
    sheetlay.nup([("a.pdf", "1-3"), "b.pdf"], "handouts.pdf", n=4)   # several inputs
    sheetlay.nup("book.pdf", "book-print.pdf", booklet=True, signature=3, duplex="long")

A failure of the library raises SheetlayError, whose message is the library's
own error text ("cannot open report.pdf", "columns must be 1 to 32 (got 40)").
Each call gets its message from its own error buffer, so calls on several
threads at once need no lock and always report their own failure.

The library is looked for, in this order: the file named by the environment
variable SHEETLAY_LIBRARY; the copy inside this package (an installed package
carries one); the system's loader (ctypes.util.find_library, then the plain
library name). `python -m sheetlay ARGS` runs the command-line program
installed with the package.

Pure Python, no dependencies beyond the standard library.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import re
import sys
import threading
from collections.abc import Mapping as _MappingType
from typing import (Any, Callable, Collection, List, Mapping, Optional, Tuple,
                    Union)

__all__ = ["nup", "nup_bytes", "version", "SheetlayError", "ORDERS", "SIZES", "ORIENTATIONS",
           "GRIDS", "KEEP", "FITS", "DUPLEX", "TURNS", "MARKS", "TRIMS", "load_library",
           "__version__"]


def _source_version() -> str:
    # A copy used straight from the source tree (the tests under CTest): the
    # version of the project() line that the installed package is built with.
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
    try:
        with open(os.path.join(top, "CMakeLists.txt"), encoding="utf-8") as f:
            m = re.search(r"^project\(\s*sheetlay\s+VERSION\s+([0-9.]+)", f.read(), re.M)
    except OSError:
        m = None
    return m.group(1) if m else "0+unknown"


try:
    from ._version import version as __version__
except ImportError:
    __version__ = _source_version()

#: A path: str, bytes or os.PathLike.
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
#: A PDF in memory.
DataArg = Union[bytes, bytearray, memoryview]
#: One input: a source, (source, pages) or (source, pages, password), or a
#: mapping with "path" or "data" and optionally "pages" and "password".
InputArg = Union[PathArg, DataArg, Tuple[Any, ...], Mapping[str, Any]]

#: Reading orders accepted by nup(): the direction rows run in.
ORDERS = {"ltr": 0, "rtl": 1}
#: Named sheet sizes in points, portrait; "first" (None) is the size of the
#: first selected page as it is displayed.
SIZES = {"first": None, "a4": (595.28, 841.89), "a3": (841.89, 1190.55),
         "a5": (419.53, 595.28), "letter": (612.0, 792.0), "legal": (612.0, 1008.0),
         "tabloid": (792.0, 1224.0)}
#: Sheet orientations; "auto" takes whichever of portrait and landscape shows
#: the first page larger.
ORIENTATIONS = {"auto": 0, "portrait": 1, "landscape": 2, "as-given": 3, "as_given": 3}
#: The classic grids: pages per sheet -> (columns, rows).
GRIDS = {2: (2, 1), 4: (2, 2), 6: (3, 2), 9: (3, 3), 16: (4, 4)}
#: What of the input is carried into the output besides the pages.
KEEP = {"links": 1, "annotations": 2, "outline": 4, "info": 8}
#: How a page is scaled into its cell: to fit it, only down, or all pages at
#: one scale (the largest at which every page fits).
FITS = {"scale": 0, "shrink": 1, "same": 2}
#: The edge a duplex printer flips booklet sheets on.
DUPLEX = {"short": 0, "long": 1}
#: Which way a page that shows larger turned is turned a quarter.
TURNS = {"none": 0, "left": 1, "right": 2}
#: Marks drawn on the sheets: crop marks at the corners of each placed page,
#: cut lines through the middle of the gaps.
MARKS = {"crop": 1, "cut": 2}
#: Trimming each page to what it draws, or all pages of an input to one box.
TRIMS = {"none": 0, "each": 1, "same": 2}

_FLOW_RTL, _FLOW_COLUMNS, _FLOW_BOTTOM_UP = 1, 2, 4
_KEEP_ALL = 15

_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32)


class _Options(ctypes.Structure):
    """struct sheetlay_options, field for field (the 0.3 structure)."""
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("columns", ctypes.c_int32),
        ("rows", ctypes.c_int32),
        ("flow", ctypes.c_uint32),
        ("sheet_width", ctypes.c_double),
        ("sheet_height", ctypes.c_double),
        ("orientation", ctypes.c_int32),
        ("fit", ctypes.c_int32),
        ("margin", ctypes.c_double),
        ("gap", ctypes.c_double),
        ("border", ctypes.c_double),
        ("pages", ctypes.c_char_p),
        ("booklet", ctypes.c_int32),
        ("keep", ctypes.c_uint32),
        ("compress", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("password", ctypes.c_char_p),
        ("progress", _PROGRESS),
        ("progress_user", ctypes.c_void_p),
        # added in 0.3
        ("signature", ctypes.c_int32),
        ("duplex", ctypes.c_int32),
        ("turn", ctypes.c_int32),
        ("marks", ctypes.c_uint32),
        ("trim", ctypes.c_int32),
        ("reserved2", ctypes.c_int32),
        ("trim_margin", ctypes.c_double),
    ]


#: The structure of a 0.2 library ends where the 0.3 fields begin.
_SIZE_0_2 = _Options.signature.offset
#: The 0.3 fields, their defaults and the keywords that set them.
_NEW_FIELDS = (("signature", 0, "signature"), ("duplex", 0, "duplex"), ("turn", 0, "turn"),
               ("marks", 0, "marks"), ("trim", 0, "trim"), ("trim_margin", 0.0, "trim_margin"))


class _Input(ctypes.Structure):
    """struct sheetlay_input."""
    _fields_ = [
        ("path", ctypes.c_char_p),
        ("data", ctypes.c_void_p),
        ("data_len", ctypes.c_size_t),
        ("pages", ctypes.c_char_p),
        ("password", ctypes.c_char_p),
    ]


class SheetlayError(Exception):
    """The library failed; ``message`` holds its error text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


_lib: Optional[ctypes.CDLL] = None
#: The size of the options structure the loaded library reads (112 or 144).
_lib_options_size = 0
_load_lock = threading.Lock()
_ERR_SIZE = 1024


def _library_names() -> List[str]:
    if sys.platform == "win32":
        return ["sheetlay.dll"]
    if sys.platform == "darwin":
        return ["libsheetlay.dylib", "libsheetlay.0.dylib"]
    return ["libsheetlay.so", "libsheetlay.so.0"]


def _bundled_library() -> Optional[str]:
    """The library installed inside this package, or None (a source copy)."""
    here = os.path.dirname(os.path.abspath(__file__))
    for n in _library_names():
        if os.path.exists(os.path.join(here, n)):
            return os.path.join(here, n)
    return None


def _candidates() -> Tuple[List[str], bool]:
    env = os.environ.get("SHEETLAY_LIBRARY")
    if env:
        # An explicit choice is the only one tried: a wrong path is an error,
        # not a reason to pick up some other copy.
        return [env], True
    paths = []
    bundled = _bundled_library()
    if bundled:
        paths.append(bundled)
    found = ctypes.util.find_library("sheetlay")
    if found:
        paths.append(found)
    paths.extend(_library_names())
    return paths, False


def load_library() -> ctypes.CDLL:
    """Loads the shared library (once) and returns the ctypes handle.

    Raises OSError when no library can be loaded, or when the library's
    options structure is not one this module was written for."""
    global _lib, _lib_options_size
    with _load_lock:
        if _lib is not None:
            return _lib
        paths, explicit = _candidates()
        errors = []
        for path in paths:
            try:
                lib = ctypes.CDLL(path)
                _declare(lib)
            except (OSError, AttributeError) as e:
                errors.append("%s: %s" % (path, e))
                continue
            _lib_options_size = _check_layout(lib, path)
            _lib = lib
            return lib
        where = "SHEETLAY_LIBRARY=%s" % paths[0] if explicit else "tried " + ", ".join(paths)
        raise OSError("cannot load the sheetlay library (%s)\n  %s" % (where, "\n  ".join(errors)))


def _declare(lib: ctypes.CDLL) -> None:
    i32, cstr, vp, size_t = ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t
    opts = ctypes.POINTER(_Options)
    lib.sheetlay_init.argtypes = []
    lib.sheetlay_init.restype = i32
    lib.sheetlay_cleanup.argtypes = []
    lib.sheetlay_cleanup.restype = None
    lib.sheetlay_last_error.argtypes = []
    lib.sheetlay_last_error.restype = cstr
    lib.sheetlay_create.argtypes = [cstr, cstr, i32, i32]
    lib.sheetlay_create.restype = i32
    lib.sheetlay_create_sized.argtypes = [cstr, cstr, i32, i32, i32]
    lib.sheetlay_create_sized.restype = i32
    lib.sheetlay_create_bordered.argtypes = [cstr, cstr, i32, i32, i32]
    lib.sheetlay_create_bordered.restype = i32
    # The structure goes in as raw memory here, so the layout check can hand
    # the library a block larger than the structure this module knows.
    lib.sheetlay_options_init.argtypes = [vp]
    lib.sheetlay_options_init.restype = None
    lib.sheetlay_nup.argtypes = [cstr, cstr, opts, ctypes.c_char_p, size_t]
    lib.sheetlay_nup.restype = i32
    lib.sheetlay_nup_mem.argtypes = [ctypes.c_char_p, size_t, ctypes.POINTER(vp),
                                     ctypes.POINTER(size_t), opts, ctypes.c_char_p, size_t]
    lib.sheetlay_nup_mem.restype = i32
    lib.sheetlay_free.argtypes = [vp]
    lib.sheetlay_free.restype = None
    lib.sheetlay_version.argtypes = []
    lib.sheetlay_version.restype = cstr
    # Added in 0.3; a 0.2 library lacks them and serves the 0.2 keywords.
    inputs = ctypes.POINTER(_Input)
    if hasattr(lib, "sheetlay_options_init_sized"):
        lib.sheetlay_options_init_sized.argtypes = [vp, size_t]
        lib.sheetlay_options_init_sized.restype = None
    if hasattr(lib, "sheetlay_nup_inputs"):
        lib.sheetlay_nup_inputs.argtypes = [inputs, i32, cstr, opts, ctypes.c_char_p, size_t]
        lib.sheetlay_nup_inputs.restype = i32
    if hasattr(lib, "sheetlay_nup_inputs_mem"):
        lib.sheetlay_nup_inputs_mem.argtypes = [inputs, i32, ctypes.POINTER(vp),
                                                ctypes.POINTER(size_t), opts,
                                                ctypes.c_char_p, size_t]
        lib.sheetlay_nup_inputs_mem.restype = i32


def _check_layout(lib: ctypes.CDLL, path: str) -> int:
    """The size of options structure to hand this library: 144 (this module's)
    for a library with the sized init, 112 for a 0.2 library (whose calls then
    read only the fields before `signature`). Anything else is refused rather
    than called: the library would read the fields at the wrong places."""
    ours = ctypes.sizeof(_Options)
    block = ctypes.create_string_buffer(b"\xee" * (4 * ours), 4 * ours)
    if hasattr(lib, "sheetlay_options_init_sized"):
        lib.sheetlay_options_init_sized(block, ours)
        want = ours
    else:
        lib.sheetlay_options_init(block)
        want = _SIZE_0_2
    theirs = ctypes.c_uint32.from_buffer(block).value
    if theirs != want or block.raw[want:] != b"\xee" * (len(block) - want):
        raise OSError("%s: the library's options structure has %d bytes, this module's %d"
                      % (path, theirs, ours))
    return want


def version() -> str:
    """The library's version, "MAJOR.MINOR.PATCH"."""
    return load_library().sheetlay_version().decode("ascii", "replace")


# ---- arguments -------------------------------------------------------------

def _path_bytes(path: Any, what: str) -> bytes:
    if isinstance(path, bytes):
        raw = path
    else:
        try:
            path = os.fspath(path)
        except TypeError:
            raise TypeError("%s must be a path (str, bytes or os.PathLike), not %s"
                            % (what, type(path).__name__)) from None
        if isinstance(path, bytes):
            raw = path
        elif sys.platform == "win32":
            # The library hands paths to the C runtime's fopen, which reads
            # them in the ANSI code page.
            try:
                raw = path.encode("mbcs", "strict")
            except UnicodeEncodeError:
                raise ValueError("%s cannot be written in the ANSI code page: %r"
                                 % (what, path)) from None
        else:
            raw = os.fsencode(path)
    if b"\0" in raw:
        raise ValueError("%s contains a NUL character" % what)
    return raw


def _int32(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not -2**31 <= value < 2**31:
        raise ValueError("%s out of range: %d" % (what, value))
    return value


def _number(value: Any, what: str) -> float:
    # Range checks (negative margins, NaN, sheets too large) are the
    # library's: its message is the one raised.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number, not %s" % (what, type(value).__name__))
    return float(value)


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, (bool, int)) or value not in (0, 1):
        raise TypeError("%s must be True or False, not %r" % (what, value))
    return bool(value)


def _choice(value: Any, table: Mapping[str, Any], what: str) -> Any:
    key = value.lower() if isinstance(value, str) else value
    if not isinstance(key, str) or key not in table:
        raise ValueError("%s must be one of %s (got %r)" % (what, ", ".join(table), value))
    return table[key]


def _text(value: Any, what: str) -> bytes:
    if isinstance(value, str):
        value = value.encode("utf-8")
    if not isinstance(value, bytes):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
    if b"\0" in value:
        raise ValueError("%s contains a NUL character" % what)
    return value


def _grid(n, grid, columns, rows, booklet):
    given = [name for name, v in (("n", n), ("grid", grid), ("columns/rows", rows if columns is None else columns))
             if v is not None]
    if len(given) > 1:
        raise ValueError("give only one of n, grid and columns/rows (got %s)" % " and ".join(given))
    if n is not None:
        n = _int32(n, "n")
        if n not in GRIDS:
            # The message and the exception the fixed-grid calls gave.
            raise SheetlayError("n must be 2, 4, 6, 9 or 16 (got %d)" % n)
        cols, rws = GRIDS[n]
    elif grid is not None:
        if not isinstance(grid, (tuple, list)) or len(grid) != 2:
            raise TypeError("grid must be a (columns, rows) pair, not %r" % (grid,))
        cols, rws = _int32(grid[0], "columns"), _int32(grid[1], "rows")
    else:
        cols = 2 if columns is None else _int32(columns, "columns")
        rws = 2 if rows is None else _int32(rows, "rows")
    if booklet:
        # A booklet sheet is one sheet folded once: two pages side by side.
        if given and (cols, rws) != (2, 1):
            raise ValueError("a booklet places pages 2x1; leave out %s" % given[0])
        cols, rws = 2, 1
    return cols, rws


def _size(size):
    if isinstance(size, str):
        pair = _choice(size, SIZES, "size")
        return pair or (0.0, 0.0)
    if isinstance(size, (tuple, list)) and len(size) == 2:
        return _number(size[0], "sheet width"), _number(size[1], "sheet height")
    raise ValueError("size must be one of %s or a (width, height) pair in points (got %r)"
                     % (", ".join(SIZES), size))


def _bits(value: Any, table: Mapping[str, int], what: str) -> int:
    """An int of bits (unknown bits are the library's to refuse) or a set of
    the table's names."""
    if isinstance(value, bool):
        raise TypeError("%s must be an int or a set of names, not bool" % what)
    if isinstance(value, int):
        if not 0 <= value < 2**32:
            raise ValueError("%s out of range: %d" % (what, value))
        return value
    if isinstance(value, str):
        value = [value]
    try:
        return sum({table[_choice(k, {n: n for n in table}, what)] for k in value})
    except TypeError:
        raise TypeError("%s must be an int or a set of names, not %s"
                        % (what, type(value).__name__)) from None


def _compress(compress):
    if isinstance(compress, bool):
        return int(compress)
    return _choice(compress, {"compact": 1, "none": 0}, "compress")


def _fit(fit, shrink_only):
    shrink = _flag(shrink_only, "shrink_only")
    if fit is None:
        return FITS["shrink"] if shrink else FITS["scale"]
    value = _choice(fit, FITS, "fit")
    if shrink and value != FITS["shrink"]:
        raise ValueError("give fit=%r or shrink_only=True, not both" % (fit,))
    return value


def _named(value, table, what, none=0):
    """A name of `table`; None is the default `none`."""
    return none if value is None else _choice(value, table, what)


class _Progress:
    """The progress callback in C form; remembers an exception of the
    Python callable, which cancels the call and is raised after it."""

    def __init__(self, func):
        if not callable(func):
            raise TypeError("progress must be callable, not %s" % type(func).__name__)
        self.func, self.error = func, None
        self.c_func = _PROGRESS(self._call)

    def _call(self, _user, done, total):
        if self.error is not None:
            return 1
        try:
            return 1 if self.func(done, total) else 0
        except BaseException as e:  # KeyboardInterrupt too: it must not vanish in C
            self.error = e
            return 1


def _options(n=None, order="ltr", size="first", border=0, *, grid=None, columns=None, rows=None,
             columns_first=False, bottom_up=False, orientation=None, fit=None, shrink_only=False,
             margin=0, gap=0, pages=None, booklet=False, signature=0, duplex=None, turn=None,
             marks=None, trim=None, trim_margin=0, keep=None, compress=None, password=None,
             progress=None, plain=False):
    """The options structure for the keyword arguments of nup(), and the
    progress wrapper (or None) that must live as long as the call."""
    plain = _flag(plain, "plain")
    booklet = _flag(booklet, "booklet")
    o = _Options()
    o.size = ctypes.sizeof(_Options)
    o.columns, o.rows = _grid(n, grid, columns, rows, booklet)
    o.flow = ((_FLOW_RTL if _choice(order, ORDERS, "order") else 0)
              | (_FLOW_COLUMNS if _flag(columns_first, "columns_first") else 0)
              | (_FLOW_BOTTOM_UP if _flag(bottom_up, "bottom_up") else 0))
    o.sheet_width, o.sheet_height = _size(size)
    # Plain output is what the fixed-grid functions write, sheets included:
    # they never turn a sheet.
    if orientation is None:
        orientation = "as-given" if plain else "auto"
    o.orientation = _choice(orientation, ORIENTATIONS, "orientation")
    o.fit = _fit(fit, shrink_only)
    o.margin = _number(margin, "margin")
    o.gap = _number(gap, "gap")
    o.border = _number(border, "border")
    o.pages = None if pages is None else _text(pages, "pages")
    o.booklet = int(booklet)
    # Signatures and the duplex edge are for booklets; the library says so.
    o.signature = _int32(signature, "signature")
    o.duplex = _named(duplex, DUPLEX, "duplex")
    o.turn = _named(turn, TURNS, "turn")
    o.marks = 0 if marks is None else _bits(marks, MARKS, "marks")
    o.trim = _named(trim, TRIMS, "trim")
    o.trim_margin = _number(trim_margin, "trim_margin")
    o.keep = _bits(keep, KEEP, "keep") if keep is not None else 0 if plain else _KEEP_ALL
    o.compress = _compress(compress) if compress is not None else 0 if plain else 1
    o.password = None if password is None else _text(password, "password")
    wrapper = None
    if progress is not None:
        wrapper = _Progress(progress)
        o.progress = wrapper.c_func
    return o, wrapper


# ---- inputs ----------------------------------------------------------------

class _Source:
    """One input, normalized: a path or data, and its own selection and
    password (None: the call's `pages` / `password`)."""
    __slots__ = ("path", "data", "pages", "password")

    def __init__(self, path=None, data=None, pages=None, password=None):
        self.path, self.data, self.pages, self.password = path, data, pages, password

    def __repr__(self):
        return "_Source(%r)" % ({k: getattr(self, k) for k in self.__slots__},)


_DATA_TYPES = (bytes, bytearray, memoryview)


def _data(value: Any, what: str) -> bytes:
    try:
        return value if isinstance(value, bytes) else memoryview(value).tobytes()
    except TypeError:
        raise TypeError("%s must be bytes-like, not %s" % (what, type(value).__name__)) from None


def _source(value: Any, bytes_is_data: bool, what: str) -> _Source:
    if isinstance(value, (bytearray, memoryview)) or (bytes_is_data and isinstance(value, bytes)):
        return _Source(data=_data(value, what))
    if isinstance(value, bytes) and value.startswith(b"%PDF-"):
        # In nup(), bytes are a path (as for open()); a PDF in memory goes in
        # as bytearray, memoryview or {"data": ...}.
        raise TypeError("%s: bytes are a path here, and these look like a PDF file's data; "
                        "pass data as {'data': ...}, a bytearray or a memoryview" % what)
    if isinstance(value, (tuple, list, _MappingType)):
        raise TypeError("%s must be a path or PDF data, not %s" % (what, type(value).__name__))
    return _Source(path=_path_bytes(value, what))


def _one_input(item: Any, bytes_is_data: bool, what: str) -> _Source:
    if isinstance(item, tuple):
        if not 1 <= len(item) <= 3:
            raise TypeError("%s: a tuple is (source, pages) or (source, pages, password), not %d items"
                            % (what, len(item)))
        src = _source(item[0], bytes_is_data, what)
        pages = item[1] if len(item) > 1 else None
        password = item[2] if len(item) > 2 else None
    elif isinstance(item, _MappingType):
        unknown = set(item) - {"path", "data", "pages", "password"}
        if unknown:
            raise TypeError("%s: unknown keys %s (path, data, pages, password)"
                            % (what, ", ".join(sorted(map(str, unknown)))))
        if ("path" in item) == ("data" in item):
            raise TypeError("%s needs exactly one of 'path' and 'data'" % what)
        src = (_Source(path=_path_bytes(item["path"], what)) if "path" in item
               else _Source(data=_data(item["data"], what)))
        pages, password = item.get("pages"), item.get("password")
    else:
        return _source(item, bytes_is_data, what)
    src.pages = None if pages is None else _text(pages, what + " pages")
    src.password = None if password is None else _text(password, what + " password")
    return src


def _inputs(value: Any, bytes_is_data: bool) -> Tuple[List[_Source], bool]:
    """The inputs of a call and whether they were given as a list."""
    if isinstance(value, list):
        return [_one_input(v, bytes_is_data, "input %d" % (i + 1)) for i, v in enumerate(value)], True
    return [_one_input(value, bytes_is_data, "input")], False


# ---- calls -----------------------------------------------------------------

def _finish(ok, err, wrapper):
    if wrapper is not None and wrapper.error is not None:
        raise wrapper.error
    if not ok:
        raise SheetlayError(err.value.decode("utf-8", "replace") or "failed (no reason given)")


def _needs_0_3(lib, what):
    raise SheetlayError("%s needs the sheetlay library 0.3 or later (this one is %s)"
                        % (what, lib.sheetlay_version().decode("ascii", "replace")))


def _prepare(lib, opt):
    """Sizes the structure for the loaded library; a 0.2 library reads only
    its first 112 bytes, so a keyword of the fields after them is refused
    here instead of silently ignored."""
    opt.size = _lib_options_size
    if _lib_options_size < ctypes.sizeof(_Options):
        for field, default, keyword in _NEW_FIELDS:
            if getattr(opt, field) != default:
                _needs_0_3(lib, keyword)
        if opt.fit == FITS["same"]:
            _needs_0_3(lib, 'fit="same"')


def _run(sources, several, output, kwargs):
    """Runs one job: `output` a path (bytes) or None for memory output."""
    opt, wrapper = _options(**kwargs)
    for s in sources:
        # The call's pages and password serve every input without its own.
        if s.pages is None:
            s.pages = opt.pages
        if s.password is None:
            s.password = opt.password
    lib = load_library()
    _prepare(lib, opt)
    err = ctypes.create_string_buffer(_ERR_SIZE)
    out, out_len = ctypes.c_void_p(), ctypes.c_size_t()
    single = None if several else sources[0]
    if output is not None and single is not None and single.path is not None:
        opt.pages, opt.password = single.pages, single.password
        ok = lib.sheetlay_nup(single.path, output, ctypes.byref(opt), err, _ERR_SIZE)
    elif output is None and single is not None and single.data is not None:
        opt.pages, opt.password = single.pages, single.password
        ok = lib.sheetlay_nup_mem(single.data, len(single.data), ctypes.byref(out),
                                  ctypes.byref(out_len), ctypes.byref(opt), err, _ERR_SIZE)
    else:
        name = "sheetlay_nup_inputs" if output is not None else "sheetlay_nup_inputs_mem"
        if not hasattr(lib, name):
            _needs_0_3(lib, "several inputs" if several else
                       "a PDF in memory written to a file" if output is not None else
                       "a file input of nup_bytes")
        opt.pages, opt.password = None, None
        array = (_Input * max(len(sources), 1))()
        for slot, s in zip(array, sources):
            slot.path, slot.pages, slot.password = s.path, s.pages, s.password
            if s.data is not None:
                # c_char_p points at the bytes object's own buffer, which
                # `sources` keeps alive until the call returns.
                slot.data = ctypes.cast(ctypes.c_char_p(s.data), ctypes.c_void_p)
                slot.data_len = len(s.data)
        if output is not None:
            ok = lib.sheetlay_nup_inputs(array, len(sources), output, ctypes.byref(opt),
                                         err, _ERR_SIZE)
        else:
            ok = lib.sheetlay_nup_inputs_mem(array, len(sources), ctypes.byref(out),
                                             ctypes.byref(out_len), ctypes.byref(opt),
                                             err, _ERR_SIZE)
    try:
        _finish(ok, err, wrapper)
        if output is None:
            return ctypes.string_at(out, out_len.value) if out_len.value else b""
        return None
    finally:
        if out.value:
            lib.sheetlay_free(out)


_DOC_OPTIONS = """
    Inputs: one input, or a list of them whose selections are joined in order
    into one sequence. An input is a path (str, os.PathLike; in nup() also
    bytes), PDF data (bytearray, memoryview; in nup_bytes() also bytes), a
    tuple (source, pages) or (source, pages, password), or a mapping with
    "path" or "data" and optionally "pages" and "password". The keywords
    `pages` and `password` serve every input that has none of its own.

    n              2, 4, 6, 9 or 16: the classic grids 2x1, 2x2, 3x2, 3x3, 4x4
    grid           (columns, rows), 1 to 32 each (default (2, 2))
    columns, rows  the grid one number at a time (give only one of n, grid
                   and columns/rows)
    order          "ltr" or "rtl": the direction rows run in
    columns_first  fill each column before the next (default False)
    bottom_up      start at the bottom row (default False)
    size           "first" (the first selected page's size), "a4", "a3", "a5",
                   "letter", "legal", "tabloid", or (width, height) in points
    orientation    "auto" (default), "portrait", "landscape", "as-given"
    fit            "scale" (default: each page to its cell), "shrink" (never
                   enlarge), "same" (one scale for all pages: the largest at
                   which every page fits; needs library 0.3)
    shrink_only    True is fit="shrink"
    margin, gap    points around the sheet's edge / between cells
    border         line width in points of a frame around each placed page
    pages          page selection, e.g. "1-3,5,z,_,8-6" (default all)
    booklet        a saddle-stitched booklet (2x1, padded to a multiple of 4)
    signature      booklets: sheets per signature (0, the default: all sheets
                   in one)
    duplex         booklets: "short" (default) or "long", the edge the printer
                   flips on; "long" turns every back side upside down
    turn           None (default), "left" or "right": a page that shows larger
                   turned a quarter is turned that way (counter-clockwise /
                   clockwise)
    marks          a set of "crop" (crop marks at each placed page's corners)
                   and "cut" (cut lines through the gaps), or int bits
    trim           None (default), "each" (each page cut to what it draws) or
                   "same" (all pages of an input cut to one box)
    trim_margin    points kept around the content when trimming
    keep           int bits or a set of "links", "annotations", "outline",
                   "info" (default all)
    compress       "compact" (default) / "none", or True / False
    password       for an encrypted input (str or bytes)
    progress       callable(done, total); a true result cancels the call, as
                   does an exception, which is raised after it
    plain          the output of the fixed-grid calls: compress "none", keep
                   nothing and, unless given, orientation "as-given"

    A library older than 0.3 raises SheetlayError for signature, duplex,
    turn, marks, trim, trim_margin, fit="same", several inputs, data inputs
    of nup() and file inputs of nup_bytes().

    Raises SheetlayError with the library's message when the library fails
    (the output is then not written), ValueError or TypeError for arguments
    that cannot be passed to it, and OSError when the library cannot be
    loaded."""


def nup(input: Union[InputArg, List[InputArg]], output: PathArg, n: Optional[int] = None,
        order: str = "ltr", size: Union[str, Tuple[float, float]] = "first",
        border: float = 0, *, grid: Optional[Tuple[int, int]] = None,
        columns: Optional[int] = None, rows: Optional[int] = None,
        columns_first: bool = False, bottom_up: bool = False,
        orientation: Optional[str] = None, fit: Optional[str] = None,
        shrink_only: bool = False, margin: float = 0, gap: float = 0,
        pages: Union[str, bytes, None] = None, booklet: bool = False, signature: int = 0,
        duplex: Optional[str] = None, turn: Optional[str] = None,
        marks: Union[int, Collection[str], None] = None, trim: Optional[str] = None,
        trim_margin: float = 0, keep: Union[int, Collection[str], None] = None,
        compress: Union[str, bool, None] = None, password: Union[str, bytes, None] = None,
        progress: Optional[Callable[[int, int], Any]] = None, plain: bool = False) -> None:
    kwargs = dict(locals())
    del kwargs["input"], kwargs["output"]
    sources, several = _inputs(input, bytes_is_data=False)
    dst = _path_bytes(output, "output")
    _run(sources, several, dst, kwargs)


nup.__doc__ = """Writes `output`: the pages of `input`, several per sheet.
""" + _DOC_OPTIONS


def nup_bytes(data: Union[InputArg, List[InputArg]], *, n: Optional[int] = None,
              order: str = "ltr", size: Union[str, Tuple[float, float]] = "first",
              border: float = 0, grid: Optional[Tuple[int, int]] = None,
              columns: Optional[int] = None, rows: Optional[int] = None,
              columns_first: bool = False, bottom_up: bool = False,
              orientation: Optional[str] = None, fit: Optional[str] = None,
              shrink_only: bool = False, margin: float = 0, gap: float = 0,
              pages: Union[str, bytes, None] = None, booklet: bool = False, signature: int = 0,
              duplex: Optional[str] = None, turn: Optional[str] = None,
              marks: Union[int, Collection[str], None] = None, trim: Optional[str] = None,
              trim_margin: float = 0, keep: Union[int, Collection[str], None] = None,
              compress: Union[str, bool, None] = None,
              password: Union[str, bytes, None] = None,
              progress: Optional[Callable[[int, int], Any]] = None,
              plain: bool = False) -> bytes:
    kwargs = dict(locals())
    del kwargs["data"]
    sources, several = _inputs(data, bytes_is_data=True)
    return _run(sources, several, None, kwargs)


nup_bytes.__doc__ = """As nup(), from a PDF in memory (bytes-like) to the bytes of the
    output; the library's messages name a data input "input" ("input N" in a
    list). `data` may also be a list of inputs as for nup().
""" + _DOC_OPTIONS
