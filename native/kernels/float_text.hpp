// Storage text of floating-point numbers: Python's `repr` layout over the shortest round-trip
// digits, and Python's `round(x, places)`, without the interpreter.
#pragma once

#include <cstddef>

namespace qv::kernels {

/// Room `float_repr` needs: sign, 17 digits, point, exponent ("-1.2345678901234567e-308").
constexpr std::size_t kFloatReprSize = 32;

/// Writes `repr(x)` for a finite `x` into `out` (at least kFloatReprSize chars) and returns its
/// length: the shortest digits that read back as `x`, fixed notation for exponents -4 to 15
/// ("0.0001", "100.0", "-0.0"), else scientific ("1e-05", "1.5e+16").
std::size_t float_repr(double x, char *out);

/// `round(x, places)` as Python computes it (0 <= places <= 17): the exact value rounded half to
/// even at `places` decimals, read back correctly rounded. Infinities and NaN come back unchanged.
double round_places(double x, int places);

}  // namespace qv::kernels
