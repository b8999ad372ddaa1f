// Short text for the bounds of a numerical bin: "-inf", "inf", whole numbers in plain digits,
// three decimals above 0.01, scientific notation with two decimals otherwise.
#pragma once

#include <string>

namespace qv::kernels {

/// Formats `number` by the bound rules, byte for byte as Python's
/// "{:.3f}" / "{:.2E}" / str(int(number)) would write it (NaN is "NAN").
std::string format_bound(double number);

/// Whole number written in plain decimal digits, exactly (also beyond 2**63, e.g. 1e300).
/// `number` must be finite and integral.
std::string integral_digits(double number);

}  // namespace qv::kernels
