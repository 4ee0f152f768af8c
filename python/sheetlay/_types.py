"""The C side's structures and the names the keywords take, shared by the argument
conversion (_args) and the calls (__init__)."""

from __future__ import annotations

import ctypes
import os
from typing import Any, Mapping, Tuple, Union

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
