import os
from typing import NamedTuple, Sequence, Union

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

class Error(Exception):
    code: str
    path: _Path | None
    message: str
    messages: list[str]
    def __init__(
        self, code: str, path: _Path | None = ..., message: str = ..., messages: Sequence[str] = ...
    ) -> None: ...

class DataFile:
    def __init__(
        self,
        camera_width: int,
        camera_height: int,
        *,
        TimeStamp: int = ...,
        comment: str = ...,
        IntfScaleFactor: float = ...,
        WavelengthIn: float = ...,
        ObliquityFactor: float = ...,
        CameraRes: float = ...,
        PhaseRes: int = ...,
        PixelWidth: float = ...,
        PixelHeight: float = ...,
        phase: numpy.typing.ArrayLike | None = ...,
    ) -> None: ...
    @property
    def header_format(self) -> int: ...
    @property
    def header_bytes(self) -> int: ...
    TimeStamp: int
    comment: str
    IntfScaleFactor: float
    WavelengthIn: float
    ObliquityFactor: float
    CameraRes: float
    PhaseRes: int
    CameraWidth: int
    CameraHeight: int
    PixelWidth: float
    PixelHeight: float
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
    def heights(self, unit: str = ...) -> numpy.ndarray | None: ...
    @property
    def valid(self) -> numpy.ndarray | None: ...

def read(path: _Path) -> DataFile: ...
def write(path: _Path, datafile: DataFile) -> None: ...
def check(datafile: DataFile, strict: bool = ...) -> None: ...
def counts_per_fringe(phase_res: int) -> int: ...
def rss(
    inputs: Sequence[_Path],
    output: _Path,
    *,
    phase_res: int | str | None = ...,
    overwrite: bool = ...,
    verbose: bool = ...,
) -> str: ...
