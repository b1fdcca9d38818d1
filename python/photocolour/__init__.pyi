# Types of the package photocolour, for editors and type checkers. Each
# function's docstring is in photocolour/__init__.py (help(photocolour)).
from typing import Dict, Iterable, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union

import pandas

from ._types import ChannelOrder, Float32Image, FloatImage, Image8, PathArg, Profiles, White

__version__: str

class ImageError(ValueError): ...
class ImageNotFoundError(FileNotFoundError, ImageError): ...
class ImagePermissionError(PermissionError, ImageError): ...

class PerceptualFigures(NamedTuple):
    Q: float
    J: float
    C: float
    M: float
    s: float

class LabFigures(NamedTuple):
    L: float
    ab: float

class ImageFacts(NamedTuple):
    format: str
    width: int
    height: int
    bit_depth: int
    grey: bool
    cmyk: bool
    alpha: bool
    non_opaque_share: Optional[float]
    profile: Optional[str]
    profile_action: Literal["none", "kept", "converted", "ignored", "unusable"]
    reading: str
    warning: Optional[str]
    top_lightness_share: float

class PairRow(NamedTuple):
    first: PathArg
    second: PathArg
    status: str
    Q: Optional[float]
    J: Optional[float]
    C: Optional[float]
    M: Optional[float]
    s: Optional[float]
    L: Optional[float]
    ab: Optional[float]
    a: Optional[float]
    b: Optional[float]
    first_size: Optional[str]
    first_bits: Optional[int]
    first_profile: Optional[str]
    first_reading: Optional[str]
    first_white: Optional[float]
    second_size: Optional[str]
    second_bits: Optional[int]
    second_profile: Optional[str]
    second_reading: Optional[str]
    second_white: Optional[float]

def read_image(path: PathArg, profiles: Profiles = "convert", *,
               channel_order: ChannelOrder = "bgr") -> Image8: ...
def image_facts(path: PathArg, profiles: Profiles = "convert") -> ImageFacts: ...
def top_lightness_share(img: Image8, *, channel_order: ChannelOrder = "bgr") -> float: ...
def perceptual_metrics(first: Image8, second: Image8, debug_dir: Optional[PathArg] = None, *,
                       channel_order: ChannelOrder = "bgr") -> PerceptualFigures: ...
def lab_compare(first: Image8, second: Image8, *,
                channel_order: ChannelOrder = "bgr") -> LabFigures: ...
def appearance(img: Union[Image8, FloatImage], debug_dir: Optional[PathArg] = None, *,
               channel_order: ChannelOrder = "bgr") -> Dict[str, Float32Image]: ...
def compare_pairs(pairs: Iterable[Tuple[PathArg, PathArg]], jobs: Optional[int] = None,
                  metrics: str = "perceptual,lab", profiles: Profiles = "convert") -> List[PairRow]: ...
def to_dataframe(rows: Sequence[PairRow]) -> "pandas.DataFrame": ...
def srgb_to_xyz(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def xyz_to_srgb(xyz: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def srgb_to_lms(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def lms_to_lalphabeta(lms: FloatImage) -> Float32Image: ...
def lalphabeta_to_lms(lab: FloatImage) -> Float32Image: ...
def lms_to_srgb(lms: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def srgb_to_opponent(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def srgb_to_yuv(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def srgb_to_lab(img: FloatImage, white: Sequence[float] = (1.0, 1.0, 1.0), *,
                channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def lab_to_srgb(lab: FloatImage, white: Sequence[float] = (1.0, 1.0, 1.0), *,
                channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def xyz_to_sharpened(xyz: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def sharpened_to_xyz(sharpened: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def icam_cat(sharpened: FloatImage, white_src: White, white_dst: White, blend: float = 1.0, *,
             channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def inverse_cat(adapted: FloatImage, white_dst: White, white_src: White,
                luminance_from: Optional[FloatImage] = None, *,
                channel_order: ChannelOrder = "bgr") -> Float32Image: ...
def guided_filter(p: FloatImage, guide: FloatImage, r: int, eps: float) -> Float32Image: ...
def optimal_transport(src: FloatImage, target: FloatImage, t: float = 1.0, dims: int = 3,
                      debug_dir: Optional[PathArg] = None) -> Float32Image: ...
def tonemap_durand(hdr: FloatImage, gamma: float = 1.0, contrast: float = 4.0,
                   saturation: float = 1.0, sigma_space: float = 2.0, sigma_color: float = 2.0, *,
                   channel_order: ChannelOrder = "bgr") -> Float32Image: ...
