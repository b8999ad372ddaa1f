// Float text through std::to_chars / std::from_chars: the shortest digits are those of CPython's
// repr (both pick, among the shortest strings that read back as the number, the one nearest to it),
// and a fixed-precision to_chars is exact (round half to even on the exact binary value), as
// CPython's dtoa.
#include "float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace qv::kernels {

namespace {

/// The shortest round-trip digits of |x| (finite, nonzero or zero) and the decimal exponent of the
/// first one: |x| reads as d[0].d[1..n) * 10**exponent.
struct Digits {
    char d[20];
    int n = 0;
    int exponent = 0;
};

Digits shortest(double magnitude) {
    char buf[kFloatReprSize];
    auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    Digits out;
    const char *p = buf;
    for (; p < r.ptr && *p != 'e'; ++p)
        if (*p != '.') out.d[out.n++] = *p;
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, out.exponent);
    return out;
}

}  // namespace

std::size_t float_repr(double x, char *out) {
    char *p = out;
    if (std::signbit(x)) *p++ = '-';
    Digits g = shortest(std::fabs(x));
    int e = g.exponent;
    if (e >= -4 && e < 16) {
        if (e < 0) {
            *p++ = '0';
            *p++ = '.';
            for (int i = -1; i > e; --i) *p++ = '0';
            std::memcpy(p, g.d, static_cast<std::size_t>(g.n));
            p += g.n;
        } else {
            int whole = e + 1;  // digits before the point
            for (int i = 0; i < whole; ++i) *p++ = i < g.n ? g.d[i] : '0';
            *p++ = '.';
            if (g.n > whole) {
                std::memcpy(p, g.d + whole, static_cast<std::size_t>(g.n - whole));
                p += g.n - whole;
            } else {
                *p++ = '0';
            }
        }
    } else {
        *p++ = g.d[0];
        if (g.n > 1) {
            *p++ = '.';
            std::memcpy(p, g.d + 1, static_cast<std::size_t>(g.n - 1));
            p += g.n - 1;
        }
        *p++ = 'e';
        *p++ = e < 0 ? '-' : '+';
        int a = e < 0 ? -e : e;
        if (a >= 100) *p++ = static_cast<char>('0' + a / 100);
        *p++ = static_cast<char>('0' + a / 10 % 10);
        *p++ = static_cast<char>('0' + a % 10);
    }
    return static_cast<std::size_t>(p - out);
}

double round_places(double x, int places) {
    if (!std::isfinite(x)) return x;
    // A number whose shortest digits end within `places` decimals is the double nearest to that
    // decimal, which is also the nearest such decimal to the number: rounding gives it back.
    Digits g = shortest(std::fabs(x));
    if (g.n - 1 - g.exponent <= places) return x;
    // Fixed digits: up to 309 before the point, `places` after it.
    char buf[340];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, places);
    double rounded = 0.0;
    std::from_chars(buf, r.ptr, rounded);
    return rounded;
}

}  // namespace qv::kernels
