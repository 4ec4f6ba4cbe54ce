import os
from typing import Any, ClassVar, Iterable, Literal, NamedTuple, Sequence, Union, overload

import numpy
import numpy.typing
from typing_extensions import deprecated

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str
INVALID: int

class Window(NamedTuple):
    x: int
    y: int
    width: int
    height: int

class RssResult(NamedTuple):
    report: str
    budget: Any | None

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
    # The file's own names, deprecated.
    @property
    @deprecated("use time_stamp")
    def TimeStamp(self) -> int: ...
    @TimeStamp.setter
    @deprecated("use time_stamp")
    def TimeStamp(self, value: int) -> None: ...
    @property
    @deprecated("use intf_scale_factor")
    def IntfScaleFactor(self) -> float: ...
    @IntfScaleFactor.setter
    @deprecated("use intf_scale_factor")
    def IntfScaleFactor(self, value: float) -> None: ...
    @property
    @deprecated("use wavelength_in")
    def WavelengthIn(self) -> float: ...
    @WavelengthIn.setter
    @deprecated("use wavelength_in")
    def WavelengthIn(self, value: float) -> None: ...
    @property
    @deprecated("use obliquity_factor")
    def ObliquityFactor(self) -> float: ...
    @ObliquityFactor.setter
    @deprecated("use obliquity_factor")
    def ObliquityFactor(self, value: float) -> None: ...
    @property
    @deprecated("use camera_res")
    def CameraRes(self) -> float: ...
    @CameraRes.setter
    @deprecated("use camera_res")
    def CameraRes(self, value: float) -> None: ...
    @property
    @deprecated("use phase_res")
    def PhaseRes(self) -> int: ...
    @PhaseRes.setter
    @deprecated("use phase_res")
    def PhaseRes(self, value: int) -> None: ...
    @property
    @deprecated("use camera_width")
    def CameraWidth(self) -> int: ...
    @CameraWidth.setter
    @deprecated("use camera_width")
    def CameraWidth(self, value: int) -> None: ...
    @property
    @deprecated("use camera_height")
    def CameraHeight(self) -> int: ...
    @CameraHeight.setter
    @deprecated("use camera_height")
    def CameraHeight(self, value: int) -> None: ...
    @property
    @deprecated("use pixel_width")
    def PixelWidth(self) -> float: ...
    @PixelWidth.setter
    @deprecated("use pixel_width")
    def PixelWidth(self, value: float) -> None: ...
    @property
    @deprecated("use pixel_height")
    def PixelHeight(self) -> float: ...
    @PixelHeight.setter
    @deprecated("use pixel_height")
    def PixelHeight(self, value: float) -> None: ...
    @property
    def phase(self) -> numpy.ndarray | None: ...
    @phase.setter
    def phase(self, value: numpy.typing.ArrayLike | None) -> None: ...
    @property
    def phase_window(self) -> Window | None: ...
    @phase_window.setter
    def phase_window(self, value: tuple[int, int, int, int]) -> None: ...
    @property
    def intensity(self) -> numpy.ndarray | None: ...
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
    def set_heights(self, values: numpy.typing.ArrayLike, unit: str = ...) -> None: ...
    @property
    def valid(self) -> numpy.ndarray | None: ...

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
    weights: Sequence[float] | None = ...,
    budget: bool = ...,
) -> RssResult: ...
def budget(
    inputs: Iterable[_Path],
    *,
    phase_res: int | str | None = ...,
    weights: Sequence[float] | None = ...,
) -> Any: ...
