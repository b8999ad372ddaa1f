// Text of a logistic regression's formula: the intercept and one signed, weighted term per input.
#include "formula.hpp"

#include <charconv>
#include <cmath>

namespace qv::formula {

void append_fixed4(std::string &out, double value) {
    if (std::isnan(value)) {  // the host writes every NaN, whatever its sign bit, as "nan"
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buf[400];  // 309 integer digits + sign + point + 4 decimals at most
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 4);
    out.append(buf, end);
}

void append_weighted(std::string &out, double coef) {
    if (coef < 0) {
        out += " - ";
        append_fixed4(out, -coef);
    } else {
        out += " + ";
        append_fixed4(out, coef);
    }
    out += " * ";
}

void append_unweighted(std::string &out) { out += " + "; }

}  // namespace qv::formula
