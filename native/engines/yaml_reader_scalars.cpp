// The YAML reader's scalars: plain, single- and double-quoted, folded over lines, and resolved
// by the YAML 1.2 core rules as the safe loader does.
#include "engines/yaml_reader_parts.hpp"

#include "binding/capi.hpp"
#include "kernels/yaml_resolve.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

namespace qv::yaml {

nb::object Reader::make_str(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

/// First characters a plain scalar may not start with (or that this reader leaves to ruamel).
void Reader::check_plain_start(std::string_view s) {
    static constexpr std::string_view kIndicators = "#,[]{}&*!|>'\"%@`";
    if (s.empty() || kIndicators.find(s[0]) != std::string_view::npos || s[0] == ' ') throw Defer{};
    if ((s[0] == '-' || s[0] == '?' || s[0] == ':') && (s.size() == 1 || s[1] == ' '))
        throw Defer{};
}

/// A line of plain text may not hold ": " (or end with ':') or " #".
void Reader::check_plain_line(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == ':' && (i + 1 == s.size() || s[i + 1] == ' ')) throw Defer{};
        if (s[i] == '#' && i > 0 && s[i - 1] == ' ') throw Defer{};
    }
}

std::string_view Reader::rtrim(std::string_view s) {
    size_t e = s.find_last_not_of(' ');
    return e == std::string_view::npos ? std::string_view{} : s.substr(0, e + 1);
}

/// True when the next line continues a flow scalar of a block at column `parent`.
bool Reader::continues(long parent) const {
    if (line_ + 1 >= lines_.size()) return false;
    std::string_view l = lines_[line_ + 1];
    return static_cast<long>(indent_of(l)) > parent;
}

nb::object Reader::scalar(long parent) {
    std::string_view r = rest();
    if (r[0] == '\'') return quoted(parent, '\'');
    if (r[0] == '"') return quoted(parent, '"');
    return plain(parent);
}

nb::object Reader::plain(long parent) {
    std::string_view first = rtrim(rest());
    check_plain_start(first);
    check_plain_line(first);
    std::string text(first);
    while (continues(parent)) {
        next_line();
        std::string_view l = lines_[line_];
        std::string_view part = rtrim(l.substr(indent_of(l)));
        if (part.empty()) throw Defer{};
        static constexpr std::string_view kUnsure = "-?:,[]{}#&*!|>'\"%@`";
        if (kUnsure.find(part[0]) != std::string_view::npos) throw Defer{};
        check_plain_line(part);
        text.push_back(' ');
        text.append(part);
    }
    next_line();
    return resolve(text);
}

nb::object Reader::resolve(std::string_view text) {
    switch (kernels::resolve_plain(text)) {
        case kernels::PlainKind::Str: return make_str(text);
        case kernels::PlainKind::Null: return nb::none();
        case kernels::PlainKind::Bool: return nb::bool_(text[0] == 't' || text[0] == 'T');
        case kernels::PlainKind::Int: return integer(text);
        case kernels::PlainKind::Float: return real(text);
        default: throw Defer{};  // timestamps, merge and value keys
    }
}

/// An integer as the safe loader builds it: underscores dropped, sign, 0b/0o/0x prefixes, else
/// decimal.
nb::object Reader::integer(std::string_view text) {
    std::string s;
    for (char c : text)
        if (c != '_') s.push_back(c);
    std::string sign;
    size_t i = 0;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        if (s[0] == '-') sign = "-";
        i = 1;
    }
    int base = 10;
    if (s.size() >= i + 2 && s[i] == '0' &&
        (s[i + 1] == 'b' || s[i + 1] == 'o' || s[i + 1] == 'x')) {
        base = s[i + 1] == 'b' ? 2 : s[i + 1] == 'o' ? 8 : 16;
        i += 2;
    }
    std::string digits = sign + s.substr(i);
    if (s.size() == i) throw Defer{};
    PyObject *n = PyLong_FromString(digits.c_str(), nullptr, base);
    if (!n) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) fail();
        PyErr_Clear();
        throw Defer{};
    }
    return nb::steal(n);
}

nb::object Reader::real(std::string_view text) {
    std::string s;
    for (char c : text)
        if (c != '_') s.push_back(c);
    for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    double sign = 1.0;
    std::string_view body = s;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
        if (body[0] == '-') sign = -1.0;
        body.remove_prefix(1);
    }
    double x;
    if (body == ".inf") {
        x = Py_HUGE_VAL;
    } else if (body == ".nan") {
        x = Py_NAN;
    } else if (auto [stop, ec] = std::from_chars(body.data(), body.data() + body.size(), x);
               ec == std::errc() && stop == body.data() + body.size()) {
        // correctly rounded, as the interpreter reads it; overflow and underflow are read below
    } else {
        std::string b(body);
        char *end = nullptr;
        x = PyOS_string_to_double(b.c_str(), &end, nullptr);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw Defer{};
        }
        if (*end != '\0') throw Defer{};
    }
    return nb::float_(sign * x);
}

/// A quoted scalar starting at the cursor, possibly folded over several lines.
nb::object Reader::quoted(long parent, char q) {
    std::string_view r = rest();
    std::string raw;  // the quoted body with line folds already applied
    size_t i = 1;
    std::string_view line = r;
    for (;;) {
        size_t close = std::string_view::npos;
        for (size_t k = i; k < line.size(); ++k) {
            if (q == '\'' && line[k] == '\'') {
                if (k + 1 < line.size() && line[k + 1] == '\'') {
                    ++k;
                    continue;
                }
                close = k;
                break;
            }
            if (q == '"') {
                if (line[k] == '\\') {
                    ++k;
                    continue;
                }
                if (line[k] == '"') {
                    close = k;
                    break;
                }
            }
        }
        if (close != std::string_view::npos) {
            raw.append(line.substr(i, close - i));
            std::string_view after = line.substr(close + 1);
            if (!rtrim(after).empty()) throw Defer{};
            break;
        }
        // The scalar goes on: fold this line into the next.
        std::string_view piece = line.substr(i);
        bool escaped_break = false;
        if (q == '"') {
            // A backslash ending the line (not itself escaped) joins the lines without a space.
            size_t n = 0;
            while (n < piece.size() && piece[piece.size() - 1 - n] == '\\') ++n;
            if (n % 2 == 1) {
                escaped_break = true;
                piece.remove_suffix(1);
            }
        }
        if (!escaped_break) {
            // A trailing escaped space (`\ ` before the break) is text: left to ruamel.
            std::string_view kept = rtrim(piece);
            if (q == '"' && kept.size() < piece.size() && !kept.empty() && kept.back() == '\\')
                throw Defer{};
            piece = kept;
        }
        raw.append(piece);
        if (!continues(parent)) throw Defer{};
        next_line();
        line = lines_[line_];
        size_t ind = indent_of(line);
        if (ind == line.size()) throw Defer{};  // an empty line inside the scalar
        // A folded break reads as one space; an escaped one as nothing (marked for the
        // unescaping,
        // \x01 never occurs in text this reader accepts).
        raw.push_back(escaped_break ? '\x01' : ' ');
        i = ind;
    }
    next_line();
    return q == '\'' ? single_body(raw) : double_body(raw);
}

nb::object Reader::single_body(std::string_view body) {
    std::string s;
    for (size_t k = 0; k < body.size(); ++k) {
        if (body[k] == '\'') ++k;  // '' stands for one quote
        s.push_back(body[k]);
    }
    return make_str(s);
}

void Reader::put_utf8(std::string &out, unsigned long c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

int Reader::hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

nb::object Reader::double_body(std::string_view body) {
    std::string s;
    for (size_t k = 0; k < body.size(); ++k) {
        char c = body[k];
        if (c == '\x01') continue;  // an escaped line break: nothing
        if (c != '\\') {
            s.push_back(c);
            continue;
        }
        if (++k >= body.size()) throw Defer{};
        char e = body[k];
        switch (e) {
            case '0': s.push_back('\0'); break;
            case 'a': s.push_back('\a'); break;
            case 'b': s.push_back('\b'); break;
            case 't': s.push_back('\t'); break;
            case 'n': s.push_back('\n'); break;
            case 'v': s.push_back('\v'); break;
            case 'f': s.push_back('\f'); break;
            case 'r': s.push_back('\r'); break;
            case 'e': s.push_back('\x1b'); break;
            case ' ': s.push_back(' '); break;
            case '"': s.push_back('"'); break;
            case '/': s.push_back('/'); break;
            case '\\': s.push_back('\\'); break;
            case 'N': put_utf8(s, 0x85); break;
            case '_': put_utf8(s, 0xA0); break;
            case 'L': put_utf8(s, 0x2028); break;
            case 'P': put_utf8(s, 0x2029); break;
            case 'x':
            case 'u':
            case 'U': {
                size_t width = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                unsigned long code = 0;
                for (size_t j = 1; j <= width; ++j) {
                    if (k + j >= body.size()) throw Defer{};
                    int h = hex_value(body[k + j]);
                    if (h < 0) throw Defer{};
                    code = code * 16 + static_cast<unsigned long>(h);
                }
                if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) throw Defer{};
                put_utf8(s, code);
                k += width;
                break;
            }
            default: throw Defer{};
        }
    }
    return make_str(s);
}

}  // namespace qv::yaml
