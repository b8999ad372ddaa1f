// Resolution of plain YAML scalars: the implicit types of YAML 1.2 (null, bool, int, float,
// timestamp, merge and value keys), each pattern tried in full, as the safe loader and the
// emitter's style choice do.
#include "kernels/yaml_resolve.hpp"

namespace qv::kernels {

namespace {

/// A cursor over the text; every matcher consumes what it accepts and reports whether it matched.
struct Cursor {
    std::string_view s;
    size_t i = 0;

    bool done() const { return i == s.size(); }
    char peek() const { return i < s.size() ? s[i] : '\0'; }
    bool take(char c) {
        if (peek() != c || done()) return false;
        ++i;
        return true;
    }
    bool take_any(std::string_view set) {
        if (done() || set.find(s[i]) == std::string_view::npos) return false;
        ++i;
        return true;
    }
    /// Consumes a run of characters in `set`; returns how many were taken.
    size_t run(std::string_view set) {
        size_t start = i;
        while (!done() && set.find(s[i]) != std::string_view::npos) ++i;
        return i - start;
    }
};

constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kDigitsUnd = "0123456789_";

bool is_bool(std::string_view s) {
    return s == "true" || s == "True" || s == "TRUE" || s == "false" || s == "False" ||
           s == "FALSE";
}

bool is_null(std::string_view s) {
    return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

bool full(Cursor &c, bool matched) { return matched && c.done(); }

/// [eE][-+]?[0-9]+, or [eE][-+][0-9]+ when `sign_required`
bool exponent(Cursor &c, bool sign_required) {
    if (!c.take_any("eE")) return false;
    bool signed_ = c.take_any("-+");
    if (sign_required && !signed_) return false;
    return c.run(kDigits) > 0;
}

bool is_float(std::string_view s) {
    // [-+]?[0-9][0-9_]*\.[0-9_]*([eE][-+]?[0-9]+)?  and  [-+]?[0-9][0-9_]*[eE][-+]?[0-9]+
    {
        Cursor c{s};
        c.take_any("-+");
        if (c.take_any(kDigits)) {
            c.run(kDigitsUnd);
            if (c.take('.')) {
                c.run(kDigitsUnd);
                if (c.done()) return true;
                return full(c, exponent(c, false));
            }
            return full(c, exponent(c, false));
        }
    }
    // [-+]?\.[0-9_]+([eE][-+][0-9]+)?  and  [-+]?\.(inf|Inf|INF)
    {
        Cursor c{s};
        c.take_any("-+");
        if (c.take('.')) {
            std::string_view rest = s.substr(c.i);
            if (rest == "inf" || rest == "Inf" || rest == "INF") return true;
            if (c.run(kDigitsUnd) > 0) {
                if (c.done()) return true;
                return full(c, exponent(c, true));
            }
        }
    }
    // \.(nan|NaN|NAN)
    return s == ".nan" || s == ".NaN" || s == ".NAN";
}

bool is_int(std::string_view s) {
    Cursor c{s};
    c.take_any("-+");
    std::string_view body = s.substr(c.i);
    auto all_in = [](std::string_view t, std::string_view set) {
        if (t.empty()) return false;
        for (char ch : t)
            if (set.find(ch) == std::string_view::npos) return false;
        return true;
    };
    if (body.size() > 2 && body[0] == '0' && body[1] == 'b' && all_in(body.substr(2), "01_"))
        return true;
    if (body.size() > 2 && body[0] == '0' && body[1] == 'x' &&
        all_in(body.substr(2), "0123456789abcdefABCDEF_"))
        return true;
    if (body.size() > 2 && body[0] == '0' && body[1] == 'o' && all_in(body.substr(2), "01234567_"))
        return true;
    return all_in(body, kDigitsUnd);
}

/// [0-9]{lo,hi}
bool digits(Cursor &c, size_t lo, size_t hi) {
    size_t n = 0;
    while (n < hi && c.take_any(kDigits)) ++n;
    return n >= lo;
}

bool is_timestamp(std::string_view s) {
    {
        Cursor c{s};
        if (digits(c, 4, 4) && c.take('-') && digits(c, 2, 2) && c.take('-') && digits(c, 2, 2) &&
            c.done())
            return true;
    }
    Cursor c{s};
    if (!(digits(c, 4, 4) && c.take('-') && digits(c, 1, 2) && c.take('-') && digits(c, 1, 2)))
        return false;
    if (!c.take_any("Tt") && c.run(" \t") == 0) return false;
    if (!(digits(c, 1, 2) && c.take(':') && digits(c, 2, 2) && c.take(':') && digits(c, 2, 2)))
        return false;
    if (c.take('.')) c.run(kDigits);
    if (c.done()) return true;
    c.run(" \t");
    if (c.take('Z')) return c.done();
    if (!c.take_any("-+") || !digits(c, 1, 2)) return false;
    if (c.take(':') && !digits(c, 2, 2)) return false;
    return c.done();
}

}  // namespace

PlainKind resolve_plain(std::string_view s) {
    if (is_null(s)) return PlainKind::Null;
    char first = s[0];
    switch (first) {
        case 't':
        case 'T':
        case 'f':
        case 'F': return is_bool(s) ? PlainKind::Bool : PlainKind::Str;
        case '<': return s == "<<" ? PlainKind::Merge : PlainKind::Str;
        case '=': return s == "=" ? PlainKind::Value : PlainKind::Str;
        case '.': return is_float(s) ? PlainKind::Float : PlainKind::Str;
        case '-':
        case '+':
            if (is_float(s)) return PlainKind::Float;
            return is_int(s) ? PlainKind::Int : PlainKind::Str;
        default: break;
    }
    if (first >= '0' && first <= '9') {
        if (is_float(s)) return PlainKind::Float;
        if (is_int(s)) return PlainKind::Int;
        if (is_timestamp(s)) return PlainKind::Timestamp;
    }
    return PlainKind::Str;
}

}  // namespace qv::kernels
