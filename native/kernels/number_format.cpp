// Bound formatting: glibc's printf is correctly rounded (round-half-even on exact ties), which is
// what CPython's float formatting does, so "%.3f" and "%.2E" give the same bytes.
#include "number_format.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qv::kernels {

namespace {

/// Exact decimal digits of m * 2**e (m < 2**53, e >= 0) through base-1e9 limbs.
std::string shifted_digits(std::uint64_t m, int e) {
    std::vector<std::uint32_t> limbs;  // little endian, base 1e9
    constexpr std::uint32_t kBase = 1000000000u;
    while (m) {
        limbs.push_back(static_cast<std::uint32_t>(m % kBase));
        m /= kBase;
    }
    while (e > 0) {
        int step = e >= 29 ? 29 : e;  // limb * 2**29 + carry stays below 2**64
        std::uint64_t carry = 0;
        for (auto &limb : limbs) {
            std::uint64_t v = (static_cast<std::uint64_t>(limb) << step) + carry;
            limb = static_cast<std::uint32_t>(v % kBase);
            carry = v / kBase;
        }
        while (carry) {
            limbs.push_back(static_cast<std::uint32_t>(carry % kBase));
            carry /= kBase;
        }
        e -= step;
    }
    std::string out = std::to_string(limbs.back());
    char buf[16];
    for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it) {
        std::snprintf(buf, sizeof buf, "%09u", *it);
        out += buf;
    }
    return out;
}

}  // namespace

std::string integral_digits(double number) {
    if (number == 0.0) return "0";  // also -0.0: int(-0.0) is 0
    bool negative = number < 0;
    double magnitude = std::fabs(number);
    std::string digits;
    if (magnitude < 9007199254740992.0) {  // 2**53: exact in an unsigned 64-bit integer
        digits = std::to_string(static_cast<std::uint64_t>(magnitude));
    } else {
        int exponent = 0;
        double mantissa = std::frexp(magnitude, &exponent);  // magnitude = mantissa * 2**exponent
        auto m = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
        digits = shifted_digits(m, exponent - 53);
    }
    return negative ? "-" + digits : digits;
}

std::string format_bound(double number) {
    if (std::isinf(number)) return number < 0 ? "-inf" : "inf";
    if (std::isnan(number)) return "NAN";
    if (number == std::floor(number)) return integral_digits(number);
    char buf[64];
    if (number * 100 > 1)
        std::snprintf(buf, sizeof buf, "%.3f", number);
    else
        std::snprintf(buf, sizeof buf, "%.2E", number);
    return buf;
}

}  // namespace qv::kernels
