import os
from typing import Any, ClassVar, Iterable, Literal, NamedTuple, Sequence, Union, overload

import numpy
import numpy.typing

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str
INVALID: int

class Window(NamedTuple):
    x: int
    y: int
    width: int
    height: int

class BudgetRow(NamedTuple):
    name: str
    weight: float
    rms_nm: float
    max_nm: float
    share: float
    dominant: float
    valid: int

class BudgetCombined(NamedTuple):
    rms_nm: float
    max_nm: float
    valid: int

class Budget:
    def __init__(
        self,
        rows: Iterable[BudgetRow],
        combined: BudgetCombined,
        dominance: numpy.ndarray[Any, numpy.dtype[numpy.int32]] | None = ...,
        dominance_window: Window | None = ...,
    ) -> None: ...
    @property
    def rows(self) -> tuple[BudgetRow, ...]: ...
    @property
    def combined(self) -> BudgetCombined: ...
    @property
    def dominance(self) -> numpy.ndarray[Any, numpy.dtype[numpy.int32]] | None: ...
    @property
    def dominance_window(self) -> Window | None: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class RssResult(NamedTuple):
    report: str
    budget: Budget | None

class Error(Exception):
    code: str
    path: _Path | None
    message: str
    messages: list[str]
    def __init__(
        self, code: str, path: _Path | None = ..., message: str = ..., messages: Sequence[str] = ...
    ) -> None: ...
    # The Errors for files that cannot be opened or created.
    OSError: ClassVar[type[_FileError]]
    FileNotFoundError: ClassVar[type[_FileNotFoundError]]
    PermissionError: ClassVar[type[_PermissionError]]
    IsADirectoryError: ClassVar[type[_IsADirectoryError]]
    NotADirectoryError: ClassVar[type[_NotADirectoryError]]

class _FileError(Error, OSError):
    def __init__(
        self,
        code: str,
        path: _Path | None = ...,
        message: str = ...,
        messages: Sequence[str] = ...,
        errno: int | None = ...,
        strerror: str | None = ...,
    ) -> None: ...

class _FileNotFoundError(_FileError, FileNotFoundError): ...
class _PermissionError(_FileError, PermissionError): ...
class _IsADirectoryError(_FileError, IsADirectoryError): ...
class _NotADirectoryError(_FileError, NotADirectoryError): ...

class DataFile:
    def __init__(
        self,
        camera_width: int,
        camera_height: int,
        *,
        time_stamp: int = ...,
        comment: str = ...,
        intf_scale_factor: float = ...,
        wavelength_in: float = ...,
        obliquity_factor: float = ...,
        camera_res: float = ...,
        phase_res: int = ...,
        pixel_width: float = ...,
        pixel_height: float = ...,
        phase: numpy.typing.ArrayLike | None = ...,
    ) -> None: ...
    @property
    def header_format(self) -> int: ...
    @property
    def header_bytes(self) -> int: ...
    time_stamp: int
    comment: str
    comment_bytes: bytes
    intf_scale_factor: float
    wavelength_in: float
    obliquity_factor: float
    camera_res: float
    phase_res: int
    camera_width: int
    camera_height: int
    pixel_width: float
    pixel_height: float
    def attributes(self) -> dict[str, int | float | str]: ...
    # The file's own names: deprecated aliases (DeprecationWarning).
    TimeStamp: int  # use time_stamp
    IntfScaleFactor: float  # use intf_scale_factor
    WavelengthIn: float  # use wavelength_in
    ObliquityFactor: float  # use obliquity_factor
    CameraRes: float  # use camera_res
    PhaseRes: int  # use phase_res
    CameraWidth: int  # use camera_width
    CameraHeight: int  # use camera_height
    PixelWidth: float  # use pixel_width
    PixelHeight: float  # use pixel_height
    @property
    def phase(self) -> numpy.ndarray[Any, numpy.dtype[numpy.int32]] | None: ...
    @phase.setter
    def phase(self, value: numpy.typing.ArrayLike | None) -> None: ...
    @property
    def phase_window(self) -> Window | None: ...
    @phase_window.setter
    def phase_window(self, value: tuple[int, int, int, int]) -> None: ...
    @property
    def intensity(self) -> numpy.ndarray[Any, numpy.dtype[numpy.uint16]] | None: ...
    @intensity.setter
    def intensity(self, value: numpy.typing.ArrayLike | None) -> None: ...
    @property
    def intensity_window(self) -> Window | None: ...
    @intensity_window.setter
    def intensity_window(self, value: tuple[int, int, int, int]) -> None: ...
    @property
    def intensity_range(self) -> int | None: ...
    @intensity_range.setter
    def intensity_range(self, value: int) -> None: ...
    @overload
    def heights(
        self, unit: str = ..., masked: Literal[True] = ...
    ) -> numpy.ma.MaskedArray[Any, numpy.dtype[numpy.float64]] | None: ...
    @overload
    def heights(
        self, unit: str, masked: Literal[False]
    ) -> numpy.ndarray[Any, numpy.dtype[numpy.float64]] | None: ...
    @overload
    def heights(
        self, *, masked: Literal[False]
    ) -> numpy.ndarray[Any, numpy.dtype[numpy.float64]] | None: ...
    @overload
    def heights(
        self, unit: str = ..., masked: bool = ...
    ) -> numpy.ma.MaskedArray[Any, numpy.dtype[numpy.float64]] | numpy.ndarray[
        Any, numpy.dtype[numpy.float64]
    ] | None: ...
    def set_heights(self, values: numpy.typing.ArrayLike, unit: str = ...) -> None: ...
    @property
    def valid(self) -> numpy.ndarray[Any, numpy.dtype[numpy.bool_]] | None: ...

def read(path: _Path) -> DataFile: ...
def write(path: _Path, datafile: DataFile) -> None: ...
def check(datafile: DataFile, strict: bool = ...) -> None: ...
def counts_per_fringe(phase_res: int) -> int: ...
def rss(
    inputs: Iterable[_Path],
    output: _Path | None,
    *,
    phase_res: int | str | None = ...,
    overwrite: bool = ...,
    verbose: bool = ...,
    weights: Iterable[float] | None = ...,
    budget: bool = ...,
    dominance: bool = ...,
) -> RssResult: ...
def budget(
    inputs: Iterable[_Path],
    *,
    phase_res: int | str | None = ...,
    weights: Iterable[float] | None = ...,
    dominance: bool = ...,
) -> Budget: ...
