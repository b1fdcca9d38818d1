"""Colour-appearance comparison of photographs, colour spaces, CAT02 adaptation,
guided filtering, optimal-transport colour transfer and tone mapping, on numpy
arrays.

Images are H x W x 3 numpy arrays. Their channels are in OpenCV's order,
B, G, R, unless a function is given channel_order="rgb", as scikit-image,
Pillow and matplotlib hold them (the sharpened cone responses, S, M, L in
OpenCV's order, are then L, M, S). Each function says which dtypes it takes:
the comparisons (perceptual_metrics, lab_compare, top_lightness_share,
compare_pairs) take uint8 photographs, as read_image and cv2.imread give them;
the conversions take float32 or float64 (converted to float32) and return
float32; appearance takes either. Another dtype raises TypeError, another shape
ValueError; non-contiguous arrays are copied. Float images must hold finite
values: NaN or an infinity raises ValueError naming the argument and the
element (optimal_transport alone takes NaN, which it skips and passes
through). Whites are three finite numbers (a tuple or any sequence): another
length raises ValueError, anything else TypeError. Number arguments that are
NaN, infinite or out of range (r, dims, jobs, ...) raise ValueError, those of
another type TypeError. No function changes its arguments; results are new
arrays. The GIL is released while a function computes, so threads run in
parallel.

Paths are str, bytes or any os.PathLike. A file the reader refuses raises an
ImageError (a ValueError) with the reader's message: ImageNotFoundError (also
a FileNotFoundError) when nothing is at the path, ImagePermissionError (also a
PermissionError) when it may not be read.

Nothing is written or printed unless a function is given debug_dir, a
directory that must exist and be writable: FileNotFoundError,
NotADirectoryError or PermissionError is raised before any work otherwise.
"""
import collections
import os
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import _photocolour as _native
from ._photocolour import (
    ImageError,
    ImageFacts,
    ImageNotFoundError,
    ImagePermissionError,
    LabFigures,
    PerceptualFigures,
    __version__,
)
from ._types import ChannelOrder, Float32Image, FloatImage, Image8, PathArg, Profiles, White

__all__ = [
    "ImageError", "ImageFacts", "ImageNotFoundError", "ImagePermissionError", "LabFigures",
    "PairRow", "PerceptualFigures", "__version__", "appearance", "compare_pairs", "guided_filter",
    "icam_cat", "image_facts", "inverse_cat", "lab_compare", "lab_to_srgb", "lalphabeta_to_lms",
    "lms_to_lalphabeta", "lms_to_srgb", "optimal_transport", "perceptual_metrics", "read_image",
    "sharpened_to_xyz", "srgb_to_lab", "srgb_to_lms", "srgb_to_opponent", "srgb_to_xyz",
    "srgb_to_yuv", "to_dataframe", "tonemap_durand", "top_lightness_share", "xyz_to_sharpened",
    "xyz_to_srgb",
]

_WHITE = (1.0, 1.0, 1.0)


def read_image(path: PathArg, profiles: Profiles = "convert", *,
               channel_order: ChannelOrder = "bgr") -> Image8:
    """Reads a photograph as a uint8 H x W x 3 array in sRGB, as the programs measure it.

    An untagged file gives cv2.imread's pixels; an embedded colour profile is
    converted to sRGB (Little CMS, relative colorimetric) with
    profiles="convert" (the default), or ignored, the pixels taken as stored,
    with profiles="ignore"; another value raises ValueError. A profile that
    cannot be used gives a UserWarning naming the file, and the pixels are
    taken as sRGB. A missing file raises ImageNotFoundError (a
    FileNotFoundError), one that may not be read ImagePermissionError (a
    PermissionError); damaged files (a JPEG cut short, a PNG failing its
    checks), unsupported formats, non-regular files, images above the pixel
    limit (TOOLKIT_MAX_MEGAPIXELS, default 250) and paths holding a NUL byte
    raise ImageError, a ValueError. Channels B, G, R, or R, G, B with
    channel_order="rgb".
    """
    return _native.read_image(path, profiles, channel_order)


def image_facts(path: PathArg, profiles: Profiles = "convert") -> ImageFacts:
    """What an image file holds and how read_image reads it, as ImageFacts.

    Reads the file as read_image does (same arguments and errors, but no
    warning: an unusable profile is in the warning field): what the file holds
    (format, width, height, bit_depth, grey, cmyk, alpha, non_opaque_share),
    its colour profile and what was done with it (profile, profile_action,
    reading, warning), and the top_lightness_share of the pixels as read. See
    help(photocolour.ImageFacts) for each field.
    """
    return _native.image_facts(path, profiles)


def top_lightness_share(img: Image8, *, channel_order: ChannelOrder = "bgr") -> float:
    """The share, 0 to 1, of a uint8 image's pixels in the top lightness bin of perceptual_metrics.

    The pixels with J of 99.5 or more, J being relative to the image's
    brightest pixel after adaptation to D65: those that set the white the
    image's Q and J are relative to. A small share says that a handful of
    pixels decide them.
    """
    return _native.top_lightness_share(img, channel_order)


def perceptual_metrics(first: Image8, second: Image8, debug_dir: Optional[PathArg] = None, *,
                       channel_order: ChannelOrder = "bgr") -> PerceptualFigures:
    """Compares two uint8 photographs as perceptual-metrics does; the same figures, to the digit.

    Both are adapted to D65 (CAT02, each its own white) and taken through CIE
    CAM02 under LA = 20 cd/m^2, Yb = 20, dark surround. Returns
    PerceptualFigures(Q, J, C, M, s): the Bhattacharyya coefficients (1 =
    identical, 0 = disjoint) of the brightness, lightness, chroma,
    colourfulness and saturation histograms (bins 0..999). With debug_dir,
    writes the second image's A_before.jpg, t_before.jpg, mask.jpg and
    10_in.txt there.
    """
    return _native.perceptual_metrics(first, second, debug_dir, channel_order)


def lab_compare(first: Image8, second: Image8, *,
                channel_order: ChannelOrder = "bgr") -> LabFigures:
    """Compares two uint8 photographs as lab-compare does; the same figures, to the digit.

    OpenCV's float conversion to CIE L*a*b* (D65); returns LabFigures(L, ab):
    the Bhattacharyya coefficient of the L* histograms and the mean of those
    of a* and b* (bins -128..127).
    """
    return _native.lab_compare(first, second, channel_order)


def appearance(img: Union[Image8, FloatImage], debug_dir: Optional[PathArg] = None, *,
               channel_order: ChannelOrder = "bgr") -> Dict[str, Float32Image]:
    """The appearance attributes of every pixel of an image, as perceptual-metrics computes them.

    img is uint8, or float32 or float64 in [0, 1]. Returns a dict of float32
    H x W planes: Q (brightness), J (lightness, 0..100, relative to the
    image's brightest pixel), C (chroma), M (colourfulness), s (saturation)
    and h (hue angle in degrees, in (-180, 180]). NaN marks undefined values.
    A uint8 image is computed once per distinct colour, which gives the same
    planes as every pixel through the model; a float one pixel by pixel. With
    debug_dir, writes the model's debug files there.
    """
    return _native.appearance(img, debug_dir, channel_order)


class PairRow(collections.namedtuple("PairRow", [
        "first", "second", "status", "Q", "J", "C", "M", "s", "L", "ab", "a", "b",
        "first_size", "first_bits", "first_profile", "first_reading", "first_white",
        "second_size", "second_bits", "second_profile", "second_reading", "second_white"])):
    """One row of compare_pairs: the cells of compare-pairs' table for a pair.

    first and second are the paths as given; status is "ok", or "error: " and
    why the pair failed. Q, J, C, M, s (perceptual) and L, ab, a, b (lab) are
    the figures as the table prints them (six significant digits), None for a
    comparison not asked for or a pair that failed. For each image:
    *_size ("WxH"), *_bits, *_profile (None without one), *_reading and
    *_white (the top lightness share, with the perceptual comparison), None
    for an image that could not be read.
    """
    __slots__ = ()


def _cell(column: str, text: str):
    """A table cell's value in a PairRow: None when empty, else by its column."""
    if text == "":
        return None
    if column == "status" or column.endswith(("_size", "_profile", "_reading")):
        return text
    if column.endswith("_bits"):
        return int(text)
    return float(text)


def _path_pairs(pairs: Iterable[Tuple[PathArg, PathArg]]) -> List[Tuple[PathArg, PathArg]]:
    """The pairs as a list of 2-tuples; TypeError or ValueError for an item that is not two paths."""
    if isinstance(pairs, (str, bytes, os.PathLike)) or not isinstance(pairs, Iterable):
        raise TypeError("pairs: expected an iterable of pairs of paths, got %s" % type(pairs).__name__)
    listed = []
    for index, pair in enumerate(pairs):
        if isinstance(pair, (str, bytes, os.PathLike)) or not isinstance(pair, Iterable):
            raise TypeError("pairs: item %d: expected two paths, got %s" % (index, type(pair).__name__))
        pair = tuple(pair)
        if len(pair) != 2:
            raise ValueError("pairs: item %d: expected two paths, got %d items" % (index, len(pair)))
        listed.append(pair)
    return listed


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def compare_pairs(pairs: Iterable[Tuple[PathArg, PathArg]], jobs: Optional[int] = None,
                  metrics: str = "perceptual,lab", profiles: Profiles = "convert") -> List[PairRow]:
    """Compares many pairs of image files as compare-pairs does, in this process; its rows as PairRow.

    pairs is an iterable of (first, second) paths. Each image is read and
    measured once while the pairs that use it are near each other in the
    list, on `jobs` worker threads (default: the cores this process may use),
    and each pair gets the cells of compare-pairs' table, in the order of the
    pairs: the same figures, to the digit, and the status of a pair that
    failed (an image that cannot be read fails its pairs, not the call).
    metrics is "perceptual", "lab" or "perceptual,lab" (the table's columns);
    profiles as for read_image. to_dataframe(rows) gives a pandas DataFrame.
    """
    listed = _path_pairs(pairs)
    columns, rows = _native.compare_pairs(listed, _usable_cores() if jobs is None else jobs,
                                          metrics, profiles)
    out = []
    for (first, second), cells in zip(listed, rows):
        values = dict(zip(columns, cells))
        out.append(PairRow(first, second, *(_cell(field, values[field]) if field in values else None
                                            for field in PairRow._fields[2:])))
    return out


def to_dataframe(rows: Sequence[PairRow]) -> "pandas.DataFrame":  # noqa: F821 - imported when called
    """The rows of compare_pairs as a pandas DataFrame, a column per PairRow field. Needs pandas."""
    try:
        import pandas
    except ImportError as missing:
        raise ImportError("to_dataframe needs pandas (Debian: python3-pandas)") from missing
    return pandas.DataFrame(list(rows), columns=list(PairRow._fields))


def srgb_to_xyz(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Display sRGB (float32 or float64 in [0, 1]) to float32 CIE XYZ (X, Y, Z; white Y = 1), sRGB/D65 matrix."""
    return _native.srgb_to_xyz(img, channel_order)


def xyz_to_srgb(xyz: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """CIE XYZ (float32 or float64; X, Y, Z; white Y = 1) to float32 display sRGB, companded, not clipped."""
    return _native.xyz_to_srgb(xyz, channel_order)


def srgb_to_lms(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Display sRGB (float32 or float64 in [0, 1]) to float32 log10 cone responses L, M, S (Reinhard et al.), in [-6, about 0]."""
    return _native.srgb_to_lms(img, channel_order)


def lms_to_lalphabeta(lms: FloatImage) -> Float32Image:
    """Log LMS (float32 or float64; L, M, S) to float32 l-alpha-beta (Ruderman et al.): l, alpha, beta."""
    return _native.lms_to_lalphabeta(lms, "bgr")


def lalphabeta_to_lms(lab: FloatImage) -> Float32Image:
    """l-alpha-beta (float32 or float64) to float32 linear LMS (L, M, S), clipped to [0, 1]."""
    return _native.lalphabeta_to_lms(lab, "bgr")


def lms_to_srgb(lms: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Linear LMS (float32 or float64; L, M, S) to float32 display sRGB, companded, not clipped."""
    return _native.lms_to_srgb(lms, channel_order)


def srgb_to_opponent(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Display sRGB (float32 or float64 in [0, 1]) to the float32 opponent image H x W x 2: R - G, (R + G) / 2 - B."""
    return _native.srgb_to_opponent(img, channel_order)


def srgb_to_yuv(img: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Display sRGB (float32 or float64 in [0, 1]) to float32 Y, U = B - Y, V = R - Y (no transfer curve)."""
    return _native.srgb_to_yuv(img, channel_order)


def srgb_to_lab(img: FloatImage, white: Sequence[float] = _WHITE, *,
                channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Display sRGB (float32 or float64 in [0, 1]) to float32 CIE L*a*b* (L* 0..100, a*, b* signed).

    Relative to the white derived from `white`, a display colour in the
    call's channel order ((1, 1, 1) gives D50). lab_compare uses OpenCV's D65
    conversion instead.
    """
    return _native.srgb_to_lab(img, white, channel_order)


def lab_to_srgb(lab: FloatImage, white: Sequence[float] = _WHITE, *,
                channel_order: ChannelOrder = "bgr") -> Float32Image:
    """CIE L*a*b* (float32 or float64) to float32 display sRGB, companded and clipped to [0, 1]; the inverse of srgb_to_lab."""
    return _native.lab_to_srgb(lab, white, channel_order)


def xyz_to_sharpened(xyz: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """CIE XYZ (float32 or float64) to float32 CAT02 sharpened cone responses: S, M, L (like B, G, R), or L, M, S with "rgb"."""
    return _native.xyz_to_sharpened(xyz, channel_order)


def sharpened_to_xyz(sharpened: FloatImage, *, channel_order: ChannelOrder = "bgr") -> Float32Image:
    """CAT02 sharpened responses (float32 or float64; S, M, L, or L, M, S with "rgb") to float32 CIE XYZ."""
    return _native.sharpened_to_xyz(sharpened, channel_order)


def icam_cat(sharpened: FloatImage, white_src: White, white_dst: White, blend: float = 1.0, *,
             channel_order: ChannelOrder = "bgr") -> Float32Image:
    """CAT02 von Kries adaptation of a sharpened image (float32 or float64) from white_src to white_dst.

    The result is float32. Each white is three numbers or a per-pixel H x W x 3 white image, in the
    image's channel order; the degree of adaptation follows each pixel's
    source white. With three numbers as white_dst, the destination is
    blend * white_dst + (1 - blend) * white_src.
    """
    return _native.icam_cat(sharpened, white_src, white_dst, blend, channel_order)


def inverse_cat(adapted: FloatImage, white_dst: White, white_src: White,
                luminance_from: Optional[FloatImage] = None, *,
                channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Undoes icam_cat: the sharpened image (float32 or float64) adapted to white_dst, back to white_src.

    The result is float32. The adapting luminance of each pixel is taken from luminance_from
    (default: the adapted image). Errors as for icam_cat.
    """
    return _native.inverse_cat(adapted, white_dst, white_src, luminance_from, channel_order)


def guided_filter(p: FloatImage, guide: FloatImage, r: int, eps: float) -> Float32Image:
    """Edge-preserving guided filter (He et al.) of p (H x W or H x W x 3) under a grey or colour guide.

    The guide is H x W or H x W x 3, p and guide float32 or float64 (the
    result float32); r is the
    radius in pixels, an int of at least 1 (a float raises TypeError, a
    smaller or huge r ValueError); eps the regularisation in the squared units
    of the guide. The filter treats the channels alike, so it takes no
    channel_order.
    """
    return _native.guided_filter(p, guide, r, eps)


def optimal_transport(src: FloatImage, target: FloatImage, t: float = 1.0, dims: int = 3,
                      debug_dir: Optional[PathArg] = None) -> Float32Image:
    """Colour transfer by the Monge-Kantorovich map between the Gaussian colour distributions of src and target.

    src and target are float32 or float64 H x W x 3 (the result float32) in a Lab-like order (channel 0
    lightness, 1 and 2 chroma, e.g. Lab scaled to 0..255), t the share of the
    way along the geodesic. dims = 3 maps all channels (H x W x 3 out);
    dims = 2 maps channels 1 and 2 only (H x W x 2 out). NaN values are
    skipped by the statistics and passed through, but an infinity raises
    ValueError, and so does a channel that the statistics use holding only
    NaN. With debug_dir, the progress lines are printed.
    """
    return _native.optimal_transport(src, target, t, dims, debug_dir)


def tonemap_durand(hdr: FloatImage, gamma: float = 1.0, contrast: float = 4.0,
                   saturation: float = 1.0, sigma_space: float = 2.0, sigma_color: float = 2.0, *,
                   channel_order: ChannelOrder = "bgr") -> Float32Image:
    """Durand-Dorsey tone mapping of a float32 or float64 H x W x 3 HDR image (any non-negative scale).

    The log-luminance base layer is compressed to `contrast` (natural-log
    range), detail kept; the output is raised to 1 / gamma, roughly in
    [0, 1], not clipped, float32. sigma_space in pixels, sigma_color in log-luminance
    units; a sigma_space whose filter window is past an int's range raises
    ValueError.
    """
    return _native.tonemap_durand(hdr, gamma, contrast, saturation, sigma_space, sigma_color,
                                  channel_order)
