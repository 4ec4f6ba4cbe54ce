"""Interferometer data files as numpy arrays, and the RSS of their height maps.

    import kelvorin
    df = kelvorin.read("lens_a.dat")      # header attributes and maps
    nm = df.heights("nm")                 # numpy.ma array, masked where there is no data
    df.set_heights(nm / 2, "nm")          # heights back in as phase counts
    kelvorin.write("half.dat", df)        # whole or not at all
    result = kelvorin.rss(["a.dat", "b.dat"], "total.dat", overwrite=True)
    budget = kelvorin.budget(["a.dat", "b.dat"], weights=[2.0, 2.0])  # k = 2

The reading, writing, checking and the RSS are the Kelvorin library's own,
compiled into kelvorin._core; they release the GIL while they work.
"""

import errno as _errno
import os as _os
import stat as _stat
from collections import namedtuple as _namedtuple

Window = _namedtuple("Window", "x y width height")
Window.__doc__ = "A rectangle of camera pixels: column and row of its top-left pixel, its size."

RssResult = _namedtuple("RssResult", "report budget")
RssResult.__doc__ = """What kelvorin.rss() gives back.

report  the report text of a verbose run (what the kelvorin tool prints on
        standard output, less its closing "Done"), else ""
budget  the kelvorin.Budget when asked for with budget=True, else None
"""

BudgetRow = _namedtuple("BudgetRow", "name weight rms_nm max_nm share dominant valid")
BudgetRow.__doc__ = """One input's line of a kelvorin.Budget.

Over V, the pixels valid in the result, with x the input's height there
and c its coefficient:
name      the input's path, as given (str)
weight    its coefficient c (1.0 without weights)
rms_nm    the root of the mean of (c x)^2, in nm
max_nm    the largest |c x|, in nm
share     its (c x)^2 summed, over that of all inputs (0 to 1; 0 when that is 0)
dominant  the fraction of V where its (c x)^2 is the largest of all inputs,
          the earlier input winning a tie (0 to 1)
valid     the pixels with data in the input itself
"""

BudgetCombined = _namedtuple("BudgetCombined", "rms_nm max_nm valid")
BudgetCombined.__doc__ = """The result's line of a kelvorin.Budget: the root of the
mean of its squares and its largest value over V before rounding (nm), and
the pixels in V."""


class Budget:
    """The uncertainty budget of an RSS run: which input dominates the result.

    rows              a BudgetRow per input, in input order
    combined          the BudgetCombined of the result
    dominance         with dominance=True, an int32 array over
                      dominance_window: at each pixel the index of the
                      input that dominates it, -1 outside V; else None
    dominance_window  the kelvorin.Window of that array (the smallest that
                      holds V, as the output's phase window), or None

    V is the set of pixels valid in the result: valid in every input, and
    with a result that a data file can hold. Heights are in the output's
    units, before rounding, in nm. [r._asdict() for r in budget.rows] makes
    a pandas.DataFrame.
    """

    __slots__ = ("_rows", "_combined", "_dominance", "_dominance_window")

    def __init__(self, rows, combined, dominance=None, dominance_window=None):
        self._rows = tuple(rows)
        self._combined = combined
        self._dominance = dominance
        self._dominance_window = dominance_window

    rows = property(lambda self: self._rows, doc="A BudgetRow per input, in input order.")
    combined = property(lambda self: self._combined, doc="The BudgetCombined of the result.")
    dominance = property(lambda self: self._dominance,
                         doc="The index of the dominant input per pixel (-1 outside V), or None.")
    dominance_window = property(lambda self: self._dominance_window,
                                doc="The Window of dominance, or None.")

    def __repr__(self):
        rows = "".join(f"\n    {row!r}," for row in self._rows)
        text = f"Budget(rows=({rows}\n), combined={self._combined!r}"
        if self._dominance is not None:
            text += f", dominance=<{self._dominance.shape[0]}x{self._dominance.shape[1]} map>"
            text += f", dominance_window={self._dominance_window!r}"
        return text + ")"

    def __eq__(self, other):
        if not isinstance(other, Budget):
            return NotImplemented
        a, b = self._dominance, other._dominance
        same_maps = a is b or (a is not None and b is not None and a.shape == b.shape and
                               bool((a == b).all()))
        return ((self._rows, self._combined, self._dominance_window) ==
                (other._rows, other._combined, other._dominance_window) and same_maps)

    __hash__ = None

    def __reduce__(self):
        return (Budget, (self._rows, self._combined, self._dominance, self._dominance_window))


class Error(Exception):
    """A failure of the Kelvorin library.

    code      the library's name of the condition, "ERR_..."
    path      the file concerned, or None
    message   the one-line text of an attribute check or a run, or ""
    messages  every message text of a failed run (what the kelvorin tool
              prints after "ERROR: "), else []

    A file that cannot be opened or created raises an Error that is also an
    OSError, with .errno, .strerror and .filename: FileNotFoundError,
    PermissionError, IsADirectoryError, NotADirectoryError or, for any
    other reason (or none found), OSError itself. Their classes are
    Error.FileNotFoundError and so on, all below Error.OSError.
    """

    def __init__(self, code, path=None, message="", messages=()):
        Exception.__init__(self, code, path, message)
        self.code = code
        self.path = path
        self.message = message
        self.messages = list(messages)

    def __str__(self):
        text = self.code
        if self.path is not None:
            text += ": " + str(self.path)
        detail = self.message or _error_meaning(self.code)
        reason = getattr(self, "strerror", None)  # of a file that cannot be opened or created
        if reason:
            detail = f"{self.message} ({reason})" if self.message else reason
        if detail:
            text += ": " + detail
        return text

    def __reduce__(self):
        return (type(self), (self.code, self.path, self.message, self.messages))


def _file_error_type(base, parent):
    def __init__(self, code, path=None, message="", messages=(), errno=None, strerror=None):
        Error.__init__(self, code, path, message, messages)
        self.errno, self.strerror, self.filename = errno, strerror, path

    def __reduce__(self):
        return (type(self), (self.code, self.path, self.message, self.messages, self.errno,
                             self.strerror))

    cls = type(base.__name__, (parent, base), {
        "__init__": __init__, "__reduce__": __reduce__, "__module__": __name__,
        "__qualname__": "Error." + base.__name__,
        "__doc__": f"A kelvorin.Error that is also a {base.__name__}: a file that cannot be "
                   "opened or created.",
    })
    setattr(Error, base.__name__, cls)
    return cls


_file_error_type(OSError, Error)
for _base in (FileNotFoundError, PermissionError, IsADirectoryError, NotADirectoryError):
    _file_error_type(_base, Error.OSError)


# Why a file cannot be read or created, as (errno, text), asked of the file
# system after the library's attempt failed; None when nothing is wrong now.
def _why_unreadable(path):
    try:
        mode = _os.stat(path).st_mode
        if _stat.S_ISDIR(mode):
            return _errno.EISDIR, _os.strerror(_errno.EISDIR)
        if not _stat.S_ISREG(mode):
            return None, "Not a regular file"
        open(path, "rb").close()
    except OSError as e:
        return e.errno, e.strerror
    return None


def _why_uncreatable(path):
    if _os.path.isdir(path):
        return _errno.EISDIR, _os.strerror(_errno.EISDIR)
    folder = _os.path.dirname(path) or _os.curdir
    try:
        if not _stat.S_ISDIR(_os.stat(folder).st_mode):
            return _errno.ENOTDIR, _os.strerror(_errno.ENOTDIR)
    except OSError as e:
        return e.errno, e.strerror
    if not _os.access(folder, _os.W_OK | _os.X_OK):
        read_only = hasattr(_os, "statvfs") and _os.statvfs(folder).f_flag & _os.ST_RDONLY
        err = _errno.EROFS if read_only else _errno.EACCES
        return err, _os.strerror(err)
    return None


_FILE_CODES = {
    "ERR_CANT_OPEN_FILE": _why_unreadable,
    "ERR_CANT_CREATE_FILE": _why_uncreatable,
    "RSS_ERR_CANNOT_CREATE_OUTPUT": _why_uncreatable,
}


def _error(code, path=None, message="", messages=(), inputs=()):
    """The Error to raise for a library code; for a file that cannot be
    opened or created, also the matching OSError. Without a path, the file
    that cannot be opened is the first of inputs that cannot be read."""
    why = _FILE_CODES.get(code)
    if why is None:
        return Error(code, path, message, messages)
    reason = None
    if path is None:
        for name in inputs:
            reason = _why_unreadable(name)
            if reason is not None:
                path = name
                break
    else:
        reason = why(path)
    err, text = reason or (None, None)
    base = type(OSError(err, "")) if err is not None else OSError
    cls = getattr(Error, base.__name__, Error.OSError)
    return cls(code, path, message, messages, err, text)


from ._core import (  # noqa: E402  (the types it makes must exist first)
    INVALID,
    _error_meaning,
    DataFile,
    __version__,
    check,
    counts_per_fringe,
    read,
    rss,
    write,
)


def budget(inputs, *, phase_res=None, weights=None, dominance=False):
    """The uncertainty budget (a kelvorin.Budget) of the RSS of the inputs,
    with no output file.

    The short form of kelvorin.rss(inputs, None, phase_res=phase_res,
    weights=weights, budget=True, dominance=dominance).budget.
    """
    return rss(inputs, None, phase_res=phase_res, weights=weights, budget=True,
               dominance=dominance).budget


__all__ = [
    "INVALID",
    "Budget",
    "BudgetCombined",
    "BudgetRow",
    "DataFile",
    "Error",
    "RssResult",
    "Window",
    "__version__",
    "budget",
    "check",
    "counts_per_fringe",
    "read",
    "rss",
    "write",
]
