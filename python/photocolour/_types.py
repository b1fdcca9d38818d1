"""The types of photocolour's arguments and results, which the package and its stub share."""
import os
from typing import Literal, Sequence, Union

import numpy
from numpy.typing import NDArray

# A path to a file or directory.
PathArg = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
# The channel order of the colour images a call takes and gives.
ChannelOrder = Literal["bgr", "rgb"]
# What the reader does with an embedded colour profile.
Profiles = Literal["convert", "ignore"]
# A photograph: uint8, H x W x 3.
Image8 = NDArray[numpy.uint8]
# A float image (float32, or float64 converted to float32), H x W x 3 unless
# said otherwise; results are float32.
FloatImage = NDArray[Union[numpy.float32, numpy.float64]]
Float32Image = NDArray[numpy.float32]
# A white: three numbers, or a per-pixel white image.
White = Union[Sequence[float], FloatImage]
