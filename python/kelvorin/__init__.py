"""Interferometer data files as numpy arrays, and the RSS of their height maps.

    import kelvorin
    df = kelvorin.read("lens_a.dat")      # header attributes and maps
    nm = df.heights("nm")                 # float64, NaN where there is no data
    kelvorin.write("copy.dat", df)        # byte for byte what was read
    kelvorin.rss(["a.dat", "b.dat"], "total.dat", overwrite=True)

The reading, writing, checking and the RSS are the Kelvorin library's own,
compiled into kelvorin._core; they release the GIL while they work.
"""

from collections import namedtuple as _namedtuple

Window = _namedtuple("Window", "x y width height")
Window.__doc__ = "A rectangle of camera pixels: column and row of its top-left pixel, its size."

class Error(Exception):
    """A failure of the Kelvorin library.

    code      the library's name of the condition, "ERR_..."
    path      the file concerned, or None
    message   the one-line text of an attribute check or a run, or ""
    messages  every message text of a failed run (what the kelvorin tool
              prints after "ERROR: "), else []
    """

    def __init__(self, code, path=None, message="", messages=()):
        super().__init__(code, path, message)
        self.code = code
        self.path = path
        self.message = message
        self.messages = list(messages)

    def __str__(self):
        text = self.code
        if self.path is not None:
            text += ": " + str(self.path)
        detail = self.message or _error_meaning(self.code)
        if detail:
            text += ": " + detail
        return text

    def __reduce__(self):
        return (type(self), (self.code, self.path, self.message, self.messages))


from ._core import (  # noqa: E402  (Error and Window must exist first)
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

__all__ = [
    "INVALID",
    "DataFile",
    "Error",
    "Window",
    "__version__",
    "check",
    "counts_per_fringe",
    "read",
    "rss",
    "write",
]
