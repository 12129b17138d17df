"""Single-precision rounding for the models the tests compare with, bit for bit."""

import math
import struct


def f32(x):
    """Nearest single-precision value. A sum, difference, product or quotient of
    two singles, done in double and rounded once, is the single-precision operation."""
    if math.isnan(x) or math.isinf(x):
        return x
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)
