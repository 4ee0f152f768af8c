"""The keyword arguments of nup() and nup_bytes() turned into the structures handed
to C: checked here as far as C could misread them (types, names, NUL characters);
ranges are the library's to judge, so its message is the one raised."""

from __future__ import annotations

import ctypes
import os
import sys
from collections.abc import Mapping as _MappingType
from typing import Any, List, Mapping, Tuple

from ._types import (DUPLEX, FITS, GRIDS, KEEP, MARKS, ORDERS, ORIENTATIONS, SIZES, TRIMS, TURNS,
                     SheetlayError, _KEEP_ALL, _FLOW_BOTTOM_UP, _FLOW_COLUMNS, _FLOW_RTL, _Options,
                     _PROGRESS)

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
