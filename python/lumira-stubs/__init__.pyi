"""Types of the `lumira` extension module."""

from struct import unpack as unpack
from typing import Any, Literal, Optional, Sequence, Union, overload

import numpy as np
from _typeshed import FileDescriptorOrPath
from numpy.typing import NDArray

__all__ = [
    "unpack", "np", "BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
    "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region",
    "MultiRegionTRCDataReturn", "help", "listContents", "isOpusFile", "getOpusData", "paramDict",
]

ParameterValue = Union[int, float, str]
Float32Array = NDArray[np.float32]
Float64Array = NDArray[np.float64]

class BaseDataReturn:
    dimension: str
    dataType: str
    derivative: str
    parameters: dict[str, ParameterValue]
    x: Float64Array
    minY: float
    maxY: float
    description: str
    def __init__(self, dimension: str, dataType: str, deriv: str, parameters: dict[str, ParameterValue],
                 x: Float64Array, minY: float, maxY: float) -> None: ...

class SingleDataReturn(BaseDataReturn):
    y: Float32Array
    def __init__(self, y: Float32Array, **kwds: Any) -> None: ...

class ImageDataReturn(BaseDataReturn):
    mapX: Float64Array
    mapY: Float64Array
    spectra: Float32Array  # (NPY, NPX, NPT)
    def __init__(self, mapX: Float64Array, mapY: Float64Array, spectra: Float32Array, **kwds: Any) -> None: ...

class ImageTRCDataReturn(BaseDataReturn):
    mapX: Float64Array
    mapY: Float64Array
    labels: list[str]
    traces: Float32Array  # (NPY, NPX, traces)
    def __init__(self, mapX: Float64Array, mapY: Float64Array, labels: list[str], traces: Float32Array,
                 **kwds: Any) -> None: ...

class TimeResolvedDataReturn(BaseDataReturn):
    z: Float64Array
    spectra: Float32Array  # (records, NPT)
    def __init__(self, z: Float64Array, spectra: Float32Array, **kwds: Any) -> None: ...

class TimeResolvedTRCDataReturn(BaseDataReturn):
    labels: list[str]
    traces: Float32Array  # (traces, NPT)
    def __init__(self, labels: list[str], traces: Float32Array, **kwds: Any) -> None: ...

class Region:
    title: str
    mapX: Float64Array
    mapY: Float64Array
    start_time: Optional[Float64Array]  # None in trace regions
    spectra: Float32Array  # (points, NPT) or (points, traces)
    def __init__(self, title: str, mapX: Float64Array, mapY: Float64Array, start_time: Optional[Float64Array],
                 spectra: Float32Array) -> None: ...

class MultiRegionDataReturn(BaseDataReturn):
    regions: list[Region]
    def __init__(self, regions: list[Region], **kwds: Any) -> None: ...

class MultiRegionTRCDataReturn(BaseDataReturn):
    labels: list[str]
    regions: list[Region]
    def __init__(self, labels: list[str], regions: list[Region], **kwds: Any) -> None: ...

def help() -> None: ...
def listContents(path: FileDescriptorOrPath, /) -> list[tuple[str, str, str]]: ...
def isOpusFile(path: FileDescriptorOrPath, /) -> bool: ...
@overload
def getOpusData(path: str, datablock: tuple[str, Literal["2D", "2d"], str]) -> SingleDataReturn: ...
# Which class a 3D block gives depends on its parameters, not on the request: narrow with isinstance, or annotate.
@overload
def getOpusData(path: str, datablock: Sequence[str]) -> Any: ...

paramDict: dict[str, str]
