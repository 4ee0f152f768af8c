"""Make n-up PDF files with the sheetlay shared library.

    import sheetlay
    sheetlay.nup("report.pdf", "report-4up.pdf")                  # 4 pages a sheet
    sheetlay.nup("report.pdf", "report-9up.pdf", n=9, order="rtl", size="a4")

A failure of the library raises SheetlayError, whose message is the library's
own error text ("cannot open report.pdf", "n must be 2, 4, 6, 9 or 16 (got 5)").

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

__all__ = ["nup", "SheetlayError", "ORDERS", "SIZES", "load_library"]

#: Reading orders accepted by nup().
ORDERS = {"ltr": 0, "rtl": 1}
#: Sheet sizes accepted by nup(); "first" is the size of the first page.
SIZES = {"first": -1, "a4": 0, "letter": 1, "a3": 2}


class SheetlayError(Exception):
    """The library failed; ``message`` holds its error text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


_lib = None
_load_lock = threading.Lock()
# The library keeps one error text for the whole process, and ctypes lets
# other Python threads run during a call: a call and the reading of its
# message must not interleave with another call.
_call_lock = threading.Lock()


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

    Raises OSError when no library can be loaded."""
    global _lib
    with _load_lock:
        if _lib is not None:
            return _lib
        paths, explicit = _candidates()
        errors = []
        for path in paths:
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                errors.append("%s: %s" % (path, e))
                continue
            _declare(lib)
            _lib = lib
            return lib
        where = "SHEETLAY_LIBRARY=%s" % paths[0] if explicit else "tried " + ", ".join(paths)
        raise OSError("cannot load the sheetlay library (%s)\n  %s" % (where, "\n  ".join(errors)))


def _declare(lib):
    i32, cstr = ctypes.c_int32, ctypes.c_char_p
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


def _choice(value, table, what):
    key = value.lower() if isinstance(value, str) else value
    if key not in table:
        raise ValueError("%s must be one of %s (got %r)" % (what, ", ".join(table), value))
    return table[key]


def nup(input, output, n=4, order="ltr", size="first", border=0):
    """Writes `output`: the pages of `input`, `n` per sheet.

    n       pages per sheet: 2, 4, 6, 9 or 16
    order   "ltr" (left to right) or "rtl" (right to left)
    size    sheet size: "first" (the first page's size), "a4", "letter" or "a3"
    border  line width in points of a black frame around each placed page,
            0 for none; frames are available on sheets of the first page's
            size only

    Raises SheetlayError with the library's message when the library fails
    (the output is then not written), ValueError or TypeError for arguments
    that cannot be passed to it, and OSError when the library cannot be
    loaded."""
    src = _path_bytes(input, "input")
    dst = _path_bytes(output, "output")
    n = _int32(n, "n")
    order_code = _choice(order, ORDERS, "order")
    size_code = _choice(size, SIZES, "size")
    border = _int32(border, "border")
    if border != 0 and size_code >= 0:
        raise ValueError("border cannot be combined with size=%r: frames are drawn only on "
                         "sheets of the first page's size" % size)
    lib = load_library()
    with _call_lock:
        if border != 0:
            ok = lib.sheetlay_create_bordered(src, dst, n, order_code, border)
        elif size_code >= 0:
            ok = lib.sheetlay_create_sized(src, dst, n, order_code, size_code)
        else:
            ok = lib.sheetlay_create(src, dst, n, order_code)
        if not ok:
            message = (lib.sheetlay_last_error() or b"").decode("utf-8", "replace")
            raise SheetlayError(message or "failed (no reason given)")
