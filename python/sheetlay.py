"""Make n-up PDF files with the sheetlay shared library.

    import sheetlay
    sheetlay.nup("report.pdf", "report-4up.pdf")                  # 2 x 2 a sheet
    sheetlay.nup("report.pdf", "report-9up.pdf", n=9, order="rtl", size="a4")
    sheetlay.nup("talk.pdf", "talk.pdf", grid=(3, 1), margin=20, gap=10, pages="1-9")
    data = sheetlay.nup_bytes(open("zine.pdf", "rb").read(), booklet=True)

A failure of the library raises SheetlayError, whose message is the library's
own error text ("cannot open report.pdf", "columns must be 1 to 32 (got 40)").
Each call gets its message from its own error buffer, so calls on several
threads at once need no lock and always report their own failure.

The library is looked for, in this order: the file named by the environment
variable SHEETLAY_LIBRARY; a copy beside this module; the system's loader
(ctypes.util.find_library, then the plain library name).

Pure Python, no dependencies beyond the standard library.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

__all__ = ["nup", "nup_bytes", "version", "SheetlayError", "ORDERS", "SIZES", "ORIENTATIONS",
           "GRIDS", "KEEP", "load_library"]

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

_FLOW_RTL, _FLOW_COLUMNS, _FLOW_BOTTOM_UP = 1, 2, 4
_KEEP_ALL = 15

_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32)


class _Options(ctypes.Structure):
    """struct sheetlay_options, field for field."""
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
    ]


class SheetlayError(Exception):
    """The library failed; ``message`` holds its error text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


_lib = None
_load_lock = threading.Lock()
_ERR_SIZE = 1024


def _candidates():
    env = os.environ.get("SHEETLAY_LIBRARY")
    if env:
        # An explicit choice is the only one tried: a wrong path is an error,
        # not a reason to pick up some other copy.
        return [env], True
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.platform == "win32":
        names = ["sheetlay.dll"]
    elif sys.platform == "darwin":
        names = ["libsheetlay.dylib", "libsheetlay.0.dylib"]
    else:
        names = ["libsheetlay.so", "libsheetlay.so.0"]
    paths = [os.path.join(here, n) for n in names if os.path.exists(os.path.join(here, n))]
    found = ctypes.util.find_library("sheetlay")
    if found:
        paths.append(found)
    paths.extend(names)
    return paths, False


def load_library():
    """Loads the shared library (once) and returns the ctypes handle.

    Raises OSError when no library can be loaded, or when the library's
    options structure is not the one this module was written for."""
    global _lib
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
            _check_layout(lib, path)
            _lib = lib
            return lib
        where = "SHEETLAY_LIBRARY=%s" % paths[0] if explicit else "tried " + ", ".join(paths)
        raise OSError("cannot load the sheetlay library (%s)\n  %s" % (where, "\n  ".join(errors)))


def _declare(lib):
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


def _check_layout(lib, path):
    # The library writes the size of its own structure into the first field;
    # a library built from another header would read this module's fields at
    # the wrong places, so it is refused rather than called.
    block = ctypes.create_string_buffer(4 * ctypes.sizeof(_Options))
    lib.sheetlay_options_init(block)
    theirs = ctypes.c_uint32.from_buffer(block).value
    if theirs != ctypes.sizeof(_Options):
        raise OSError("%s: the library's options structure has %d bytes, this module's %d"
                      % (path, theirs, ctypes.sizeof(_Options)))


def version():
    """The library's version, "MAJOR.MINOR.PATCH"."""
    return load_library().sheetlay_version().decode("ascii", "replace")


# ---- arguments -------------------------------------------------------------

def _path_bytes(path, what):
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


def _int32(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not -2**31 <= value < 2**31:
        raise ValueError("%s out of range: %d" % (what, value))
    return value


def _number(value, what):
    # Range checks (negative margins, NaN, sheets too large) are the
    # library's: its message is the one raised.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number, not %s" % (what, type(value).__name__))
    return float(value)


def _flag(value, what):
    if not isinstance(value, (bool, int)) or value not in (0, 1):
        raise TypeError("%s must be True or False, not %r" % (what, value))
    return bool(value)


def _choice(value, table, what):
    key = value.lower() if isinstance(value, str) else value
    if not isinstance(key, str) or key not in table:
        raise ValueError("%s must be one of %s (got %r)" % (what, ", ".join(table), value))
    return table[key]


def _text(value, what):
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


def _keep(keep):
    if isinstance(keep, bool):
        raise TypeError("keep must be an int or a set of names, not bool")
    if isinstance(keep, int):
        if not 0 <= keep < 2**32:
            raise ValueError("keep out of range: %d" % keep)
        return keep  # unknown bits are the library's to refuse
    if isinstance(keep, str):
        keep = [keep]
    try:
        return sum({KEEP[_choice(k, {n: n for n in KEEP}, "keep")] for k in keep})
    except TypeError:
        raise TypeError("keep must be an int or a set of names, not %s"
                        % type(keep).__name__) from None


def _compress(compress):
    if isinstance(compress, bool):
        return int(compress)
    return _choice(compress, {"compact": 1, "none": 0}, "compress")


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
             columns_first=False, bottom_up=False, orientation=None, shrink_only=False,
             margin=0, gap=0, pages=None, booklet=False, keep=None, compress=None,
             password=None, progress=None, plain=False):
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
    o.fit = 1 if _flag(shrink_only, "shrink_only") else 0
    o.margin = _number(margin, "margin")
    o.gap = _number(gap, "gap")
    o.border = _number(border, "border")
    o.pages = None if pages is None else _text(pages, "pages")
    o.booklet = int(booklet)
    o.keep = _keep(keep) if keep is not None else 0 if plain else _KEEP_ALL
    o.compress = _compress(compress) if compress is not None else 0 if plain else 1
    o.password = None if password is None else _text(password, "password")
    wrapper = None
    if progress is not None:
        wrapper = _Progress(progress)
        o.progress = wrapper.c_func
    return o, wrapper


def _finish(ok, err, wrapper):
    if wrapper is not None and wrapper.error is not None:
        raise wrapper.error
    if not ok:
        raise SheetlayError(err.value.decode("utf-8", "replace") or "failed (no reason given)")


def nup(input, output, n=None, order="ltr", size="first", border=0, **options):
    """Writes `output`: the pages of `input`, several per sheet.

    Grid (one of): n (2, 4, 6, 9 or 16: 2x1, 2x2, 3x2, 3x3, 4x4), grid=(c, r),
                   columns=c / rows=r (1 to 32 each; default 2 x 2)
    order          "ltr" or "rtl": the direction rows run in
    columns_first  fill each column before the next (default False)
    bottom_up      start at the bottom row (default False)
    size           "first" (the first selected page's size), "a4", "a3", "a5",
                   "letter", "legal", "tabloid", or (width, height) in points
    orientation    "auto" (default), "portrait", "landscape", "as-given"
    shrink_only    never enlarge a page (default False: scale to fit)
    margin, gap    points around the sheet's edge / between cells
    border         line width in points of a frame around each placed page
    pages          page selection, e.g. "1-3,5,z,_,8-6" (default all)
    booklet        a saddle-stitched booklet (2x1, padded to a multiple of 4)
    keep           int bits or a set of "links", "annotations", "outline",
                   "info" (default all)
    compress       "compact" (default) / "none", or True / False
    password       for an encrypted input (str or bytes)
    progress       callable(done, total); a true result cancels the call, as
                   does an exception, which is raised after it
    plain          the output of the fixed-grid calls: compress "none", keep
                   nothing and, unless given, orientation "as-given"

    Raises SheetlayError with the library's message when the library fails
    (the output is then not written), ValueError or TypeError for arguments
    that cannot be passed to it, and OSError when the library cannot be
    loaded."""
    src = _path_bytes(input, "input")
    dst = _path_bytes(output, "output")
    opt, wrapper = _options(n, order, size, border, **options)
    lib = load_library()
    err = ctypes.create_string_buffer(_ERR_SIZE)
    ok = lib.sheetlay_nup(src, dst, ctypes.byref(opt), err, _ERR_SIZE)
    _finish(ok, err, wrapper)


def nup_bytes(data, **options):
    """As nup(), from a PDF in memory (bytes-like) to the bytes of the output.
    The library's messages name the input "input"."""
    if not isinstance(data, bytes):
        data = bytes(memoryview(data))
    opt, wrapper = _options(**options)
    lib = load_library()
    err = ctypes.create_string_buffer(_ERR_SIZE)
    out, out_len = ctypes.c_void_p(), ctypes.c_size_t()
    ok = lib.sheetlay_nup_mem(data, len(data), ctypes.byref(out), ctypes.byref(out_len),
                              ctypes.byref(opt), err, _ERR_SIZE)
    try:
        _finish(ok, err, wrapper)
        return ctypes.string_at(out, out_len.value) if out_len.value else b""
    finally:
        lib.sheetlay_free(out)
