// Text of a logistic regression's formula: the intercept and one signed, weighted term per input.
#pragma once

#include <string>

namespace qv::formula {

/// Appends `value` in the fixed-point form ".4f": four digits after the point, correctly
/// rounded, "-" for a negative value (negative zero included), "inf"/"nan" as the host writes them.
void append_fixed4(std::string &out, double value);

/// Appends the separator and factor that come before a term with coefficient `coef`:
/// " - 0.1250 * " for a negative coefficient, " + 0.2500 * " otherwise (zero and NaN included).
void append_weighted(std::string &out, double coef);

/// Appends the separator of a term without a coefficient: " + ".
void append_unweighted(std::string &out);

}  // namespace qv::formula
