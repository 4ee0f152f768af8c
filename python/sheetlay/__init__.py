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

The module is pure Python (ctypes, nothing beyond the standard library); an
installed package carries the library and the program beside it.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import re
import sys
import threading
from typing import Any, Callable, Collection, List, Optional, Tuple, Union

from ._args import _inputs, _options, _path_bytes
from ._types import (DUPLEX, FITS, GRIDS, KEEP, MARKS, ORDERS, ORIENTATIONS, SIZES, TRIMS, TURNS,
                     InputArg, PathArg, SheetlayError, _Input, _NEW_FIELDS, _Options,
                     _SIZE_0_2)

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


# ---- calls -----------------------------------------------------------------

def _finish(ok, err, wrapper):
    if wrapper is not None and wrapper.error is not None:
        raise wrapper.error
    if not ok:
        raise SheetlayError(err.value.decode("utf-8", "replace") or "failed (no reason given)")


def _needs_0_3(lib, what):
    raise SheetlayError("%s: the sheetlay library %s cannot do this (0.3 or later can)"
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


def _input_array(sources):
    """The sheetlay_input array of the inputs (one slot at least, so that the
    pointer is never NULL and the library judges the count)."""
    array = (_Input * max(len(sources), 1))()
    for slot, s in zip(array, sources):
        slot.path, slot.pages, slot.password = s.path, s.pages, s.password
        if s.data is not None:
            # c_char_p points at the bytes object's own buffer, which the
            # caller's `sources` keeps alive until the call returns.
            slot.data = ctypes.cast(ctypes.c_char_p(s.data), ctypes.c_void_p)
            slot.data_len = len(s.data)
    return array


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
        array = _input_array(sources)
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
