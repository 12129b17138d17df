"""Correctly rounded single-precision 2^x for the test models.

Independent of numpy's float32 exp2, whose SIMD paths differ by one unit from
the correctly rounded value on some CPUs: the double 2.0 ** x (within one double
unit of 2^x) rounded once to float32, after making sure that the double lies far
enough from a float32 rounding midpoint for that rounding to be the right one.
"""
import math
import struct

import numpy as np

from support.floats import f32


def _next_float(f, up):
    """The float32 next to the positive float32 `f`, upwards or downwards."""
    (b,) = struct.unpack("<I", struct.pack("<f", f))
    return struct.unpack("<f", struct.pack("<I", b + 1 if up else b - 1))[0]


def exp2(x):
    """2^x rounded to the nearest float32, ties to even, as numpy.float32."""
    x = float(np.float32(x))
    if math.isnan(x):
        return np.float32(x)
    if x <= -150.0:  # at most half the smallest subnormal: ties to +0
        return np.float32(0.0)
    if x >= 128.0:
        return np.float32(math.inf)
    y = 2.0**x
    f = f32(y)
    if f != y:
        mid = (f + _next_float(f, y > f)) / 2  # exact in double
        # 2^x lies within one double unit of y: it must not reach the midpoint.
        assert abs(y - mid) > math.ulp(y), f"2^{x!r} is too close to a float32 midpoint"
    return np.float32(f)
