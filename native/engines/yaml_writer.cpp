// The package's YAML writer: ruamel's block layout, scalar styles and line folding at width 120 for
// the plain value domain (exact dict/list/tuple/str/int/float/bool/None), and for other values
// through the caller's normalisation at every node; reproduced exactly or refused.
#include "engines/yaml_writer_parts.hpp"

#include "binding/capi.hpp"
#include "kernels/float_text.hpp"
#include "kernels/yaml_resolve.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qv::yaml {

namespace {

bool printable(Py_UCS4 c) {
    return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD && c != 0xFEFF) || (c >= 0x10000 && c <= 0x10FFFF);
}

bool first_char_indicator(Py_UCS4 c) {
    switch (c) {
        case '#':
        case ',':
        case '[':
        case ']':
        case '{':
        case '}':
        case '&':
        case '*':
        case '!':
        case '|':
        case '>':
        case '\'':
        case '"':
        case '%':
        case '@':
        case '`': return true;
        default: return false;
    }
}

/// What the writer needs to know about a string before choosing its style.
struct Analysis {
    bool plain_ok = true;  ///< the text may stand unquoted (before resolution)
    bool nonprintable = false;
    bool has_newline = false;
    bool has_quote = false;
};

/// Scans the text; throws NotHandled for lone surrogates and the rarely used line breaks.
Analysis analyse(const Text &t) {
    Analysis a;
    Py_ssize_t n = t.len;
    if (n == 0) {
        a.plain_ok = false;
        return a;
    }
    Py_UCS4 first = t[0];
    if (first == ' ' || t[n - 1] == ' ' || first_char_indicator(first)) a.plain_ok = false;
    if ((first == '-' || first == '?' || first == ':') && (n == 1 || t[1] == ' '))
        a.plain_ok = false;
    if (n >= 3 && ((first == '-' && t[1] == '-' && t[2] == '-') ||
                   (first == '.' && t[1] == '.' && t[2] == '.')))
        a.plain_ok = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = t[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (c == '\'')
                a.has_quote = true;
            else if (c == ':' && i > 0 && (i + 1 == n || t[i + 1] == ' '))
                a.plain_ok = false;
            else if (c == '#' && i > 0 && t[i - 1] == ' ')
                a.plain_ok = false;
            continue;
        }
        if (c == 0x85 || c == 0x2028 || c == 0x2029 || (c >= 0xD800 && c <= 0xDFFF))
            throw NotHandled{};
        if (c == '\n') a.has_newline = true;
        if (!printable(c)) a.nonprintable = true;
    }
    if (a.has_newline || a.nonprintable) a.plain_ok = false;
    return a;
}

Style choose_style(PyObject *s, const Text &t, const Analysis &a) {
    if (a.plain_ok) {
        if (!t.ascii) return Style::Plain;  // only ASCII text resolves to anything but a string
        std::string_view bytes(static_cast<const char *>(t.data), static_cast<size_t>(t.len));
        if (kernels::resolve_plain(bytes) == kernels::PlainKind::Str) return Style::Plain;
    }
    (void) s;
    if (a.has_quote || a.has_newline) return Style::Double;
    if (a.nonprintable) return Style::Double;
    return Style::Single;
}

}  // namespace

void Writer::stream(PyObject *data) {
    if (Py_IS_TYPE(data, &PyList_Type)) {
        // The documents list itself is not part of any document: only its items are. Its size
        // is read at every step, as a loop over it would, since preparing a document may change
        // it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
            nb::object root = nb::borrow(PyList_GET_ITEM(data, i));
            document(root.ptr(), i == 0);
        }
    } else {
        document(data, true);
    }
    // A stream whose last document is a plain scalar ends with an explicit document end.
    if (open_ended_) out_.append("...\n");
}

void Writer::put(char c) {
    out_.push_back(c);
    ++col_;
}

void Writer::put(std::string_view s) {
    out_.append(s);
    col_ += static_cast<Py_ssize_t>(s.size());
}

void Writer::put_cp(Py_UCS4 c) {
    if (c < 0x80) {
        out_.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out_.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out_.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out_.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out_.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out_.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    ++col_;
}

void Writer::put_range(const Text &t, Py_ssize_t a, Py_ssize_t b) {
    if (a >= b) return;
    if (t.ascii) {
        out_.append(static_cast<const char *>(t.data) + a, static_cast<size_t>(b - a));
        col_ += b - a;
    } else {
        for (Py_ssize_t i = a; i < b; ++i) put_cp(t[i]);
    }
}

void Writer::newline() {
    out_.push_back('\n');
    col_ = 0;
}

void Writer::pad_to(Py_ssize_t column) {
    if (column > col_) {
        out_.append(static_cast<size_t>(column - col_), ' ');
        col_ = column;
    }
}

/// A line break and the continuation indent of a folded scalar.
void Writer::fold(Py_ssize_t indent) {
    newline();
    pad_to(indent == kNoIndent ? 0 : indent);
}

void Writer::document(PyObject *root, bool first) {
    if (complete_) *complete_ = out_.size();
    seen_.clear();
    keep_.clear();
    Node node = take(root);
    if (!first) put("---");
    open_ended_ = false;
    switch (node.shape) {
        case Shape::Scalar:
            if (!first) put(' ');
            open_ended_ = scalar(node.value.ptr(), node.round, kNoIndent, false);
            break;
        case Shape::EmptyMap: put(first ? "{}" : " {}"); break;
        case Shape::EmptyList: put(first ? "[]" : " []"); break;
        case Shape::Map:
            if (!first) newline();
            mapping(node.entries, 0, true);
            break;
        case Shape::List:
            if (!first) newline();
            sequence(node.value.ptr(), 0, true);
            break;
    }
    newline();
}

/// Entries of a block mapping whose keys stand at `column`; the first one on the current line
/// when `inline_first` (after `- `, `: ` or at the start of a document).
void Writer::mapping(const std::vector<Entry> &entries, Py_ssize_t column, bool inline_first) {
    Depth guard(*this);
    bool first = true;
    for (const Entry &entry : entries) {
        // A key of a str subclass is written as `prepare` makes it, just before its value is
        // prepared, as the representer meets them; exact str and int keys are what they are.
        PyObject *given = entry.key.ptr();
        bool plain = Py_IS_TYPE(given, &PyUnicode_Type) || Py_IS_TYPE(given, &PyLong_Type);
        nb::object prepared_key = plain ? entry.key : prepare_(entry.key);
        PyObject *key = prepared_key.ptr();
        if (!Py_IS_TYPE(key, &PyUnicode_Type) && !Py_IS_TYPE(key, &PyLong_Type)) throw NotHandled{};
        if (!(first && inline_first)) {
            newline();
            pad_to(column);
        }
        first = false;
        if (simple_key(key)) {
            scalar(key, false, column + 2, true);
            put(':');
            mapping_value(entry.value.ptr(), column);
        } else {
            put('?');
            scalar(key, false, column + 2, false, true);
            newline();
            pad_to(column);
            put(':');
            complex_value(entry.value.ptr(), column);
        }
    }
}

bool Writer::simple_key(PyObject *key) {
    if (!Py_IS_TYPE(key, &PyUnicode_Type)) return true;  // an int within 64 bits: short, one line
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    if (n + 5 >= kMaxSimpleKey) return false;
    return PyUnicode_FindChar(key, '\n', 0, n, 1) == -1;
}

void Writer::mapping_value(PyObject *v, Py_ssize_t column) {
    Node node = take(v);
    switch (node.shape) {
        case Shape::Scalar:
            put(' ');
            scalar(node.value.ptr(), node.round, column + 2, false);
            break;
        case Shape::EmptyMap: put(" {}"); break;
        case Shape::EmptyList: put(" []"); break;
        case Shape::Map: mapping(node.entries, column + 2, false); break;
        case Shape::List:
            sequence(node.value.ptr(), column, false);
            break;  // indentless under a key
    }
}

void Writer::complex_value(PyObject *v, Py_ssize_t column) {
    Node node = take(v);
    switch (node.shape) {
        case Shape::Scalar:
            put(' ');
            scalar(node.value.ptr(), node.round, column + 2, false);
            break;
        case Shape::EmptyMap: put(" {}"); break;
        case Shape::EmptyList: put(" []"); break;
        case Shape::Map:
            put(' ');
            mapping(node.entries, column + 2, true);
            break;
        case Shape::List:
            put(' ');
            sequence(node.value.ptr(), column + 2, true);
            break;
    }
}

/// Items of a block sequence (exact list or tuple) whose dashes stand at `column`. The size is
/// read at every step, as a loop over the list would, since preparing an item may change the
/// list.
void Writer::sequence(PyObject *list, Py_ssize_t column, bool inline_first) {
    Depth guard(*this);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list); ++i) {
        if (!(i == 0 && inline_first)) {
            newline();
            pad_to(column);
        }
        put('-');
        nb::object item = nb::borrow(PySequence_Fast_GET_ITEM(list, i));
        complex_value(item.ptr(), column);
    }
}

/// Writes a scalar at the current position; true when it was written plain. `round`: a float is
/// rounded to 12 digits first. `complex_key`: the text of a `? key`, which needs the space
/// after
/// `?` written here.
bool Writer::scalar(PyObject *v, bool round, Py_ssize_t indent, bool simple_key, bool complex_key) {
    if (complex_key) put(' ');
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyUnicode_Type) return string(v, indent, simple_key);
    if (type == &PyBool_Type) {
        word(v == Py_True ? "true" : "false", indent);
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) throw NotHandled{};
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, x);
        word(std::string_view(buf, static_cast<size_t>(r.ptr - buf)), indent);
    } else if (type == &PyFloat_Type) {
        real(PyFloat_AS_DOUBLE(v), round, indent);
    } else if (v == Py_None) {
        word("null", indent);
    } else {
        throw NotHandled{};
    }
    return true;
}

/// A plain scalar without spaces: moves to a new line when it would pass the width.
void Writer::word(std::string_view text, Py_ssize_t indent) {
    if (indent != kNoIndent && col_ > indent &&
        col_ + static_cast<Py_ssize_t>(text.size()) > kWidth)
        fold(indent);
    put(text);
}

/// A float in the form of its repr; when `round`, first rounded to 12 decimals as Python's
/// round.
void Writer::real(double x, bool round, Py_ssize_t indent) {
    if (std::isnan(x)) return word(".nan", indent);
    if (std::isinf(x)) return word(x > 0 ? ".inf" : "-.inf", indent);
    char text[kernels::kFloatReprSize];
    size_t len = kernels::float_repr(round ? kernels::round_places(x, kDigits) : x, text);
    word(std::string_view(text, len), indent);
}

bool Writer::string(PyObject *s, Py_ssize_t indent, bool simple_key) {
    Text t(s);
    Analysis a = analyse(t);
    switch (choose_style(s, t, a)) {
        case Style::Plain: plain(t, indent, simple_key); return true;
        case Style::Single: single_quoted(t, indent, simple_key); return false;
        case Style::Double: double_quoted(t, indent, simple_key); return false;
    }
    return false;
}

/// Plain text: words and space runs; a long word moves to a new line, a single space past the
/// width becomes a line break (not in simple keys).
void Writer::plain(const Text &t, Py_ssize_t indent, bool simple_key) {
    Py_ssize_t n = t.len, pos = 0;
    while (pos < n) {
        Py_ssize_t q = pos;
        if (t[pos] == ' ') {
            while (q < n && t[q] == ' ') ++q;
            if (q - pos == 1 && col_ >= kWidth && !simple_key)
                fold(indent);
            else
                put_range(t, pos, q);
        } else {
            while (q < n && t[q] != ' ') ++q;
            if (indent != kNoIndent && col_ > indent && col_ + (q - pos) > kWidth) fold(indent);
            put_range(t, pos, q);
        }
        pos = q;
    }
}

/// Single-quoted text (never holds a quote or a line break here): a lone inner space past the
/// width becomes a line break (not in simple keys).
void Writer::single_quoted(const Text &t, Py_ssize_t indent, bool simple_key) {
    put('\'');
    Py_ssize_t n = t.len, start = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (t[i] != ' ') continue;
        Py_ssize_t q = i;
        while (q < n && t[q] == ' ') ++q;
        put_range(t, start, i);
        if (q - i == 1 && col_ > kWidth && !simple_key && i != 0 && q != n) {
            fold(indent);
        } else {
            put_range(t, i, q);
        }
        start = q;
        i = q - 1;
    }
    put_range(t, start, n);
    put('\'');
}

bool Writer::needs_escape(Py_UCS4 c) {
    if (c == '"' || c == '\\' || c == 0xFEFF) return true;
    return !printable(c);
}

void Writer::escape(Py_UCS4 c) {
    const char *named = nullptr;
    switch (c) {
        case 0x00: named = "\\0"; break;
        case 0x07: named = "\\a"; break;
        case 0x08: named = "\\b"; break;
        case 0x09: named = "\\t"; break;
        case 0x0A: named = "\\n"; break;
        case 0x0B: named = "\\v"; break;
        case 0x0C: named = "\\f"; break;
        case 0x0D: named = "\\r"; break;
        case 0x1B: named = "\\e"; break;
        case '"': named = "\\\""; break;
        case '\\': named = "\\\\"; break;
        default: break;
    }
    if (named) return put(std::string_view(named));
    char buf[16];
    int len;
    if (c <= 0xFF)
        len = std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
    else if (c <= 0xFFFF)
        len = std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
    else
        len = std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(c));
    put(std::string_view(buf, static_cast<size_t>(len)));
}

/// Whether a double-quoted fold at `end` (pending text from `start`) ends its line with `\`,
/// which keeps the text exact on reading; without it the line break reads as one space.
bool Writer::fold_backslash(const Text &t, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t n = t.len, sp = end;
    while (sp < n && t[sp] != ' ') ++sp;
    if (sp == n) return true;
    for (Py_ssize_t i = end; i < sp; ++i) {
        if (t[i] == '\n') {
            sp = i;
            if (sp + 1 >= n || t[sp + 1] != ' ') return true;
            break;
        }
    }
    if (sp + 1 >= n) return true;
    for (Py_ssize_t i = end; i < sp; ++i)
        if (t[i] == '"' || t[i] == '\'') return true;
    Py_UCS4 after = t[sp + 1];
    if (after == ' ' || after == '\n') return true;
    if (end >= 1 && t[end - 1] == ' ' && t[end] == ' ') return true;
    return start == end;
}

void Writer::double_quoted(const Text &t, Py_ssize_t indent, bool simple_key) {
    put('"');
    Py_ssize_t n = t.len, start = 0;
    for (Py_ssize_t end = 0; end <= n; ++end) {
        bool at_end = end == n;
        Py_UCS4 ch = at_end ? 0 : t[end];
        if (at_end || needs_escape(ch)) {
            put_range(t, start, end);
            start = end;
            if (!at_end) {
                escape(ch);
                start = end + 1;
            }
        }
        if (!simple_key && end > 0 && end < n - 1 && (ch == ' ' || start >= end) &&
            col_ + (end - start) > kWidth) {
            bool backslash = fold_backslash(t, start, end);
            if (start < end) {
                put_range(t, start, end);
                start = end;
            }
            if (backslash) put('\\');
            fold(indent);
            if (t[start] == ' ') {
                if (backslash)
                    put('\\');
                else
                    ++start;
            }
        }
    }
    put('"');
}

bool write(PyObject *data, std::string &out, Prepare prepare, size_t *complete) {
    out.clear();
    if (complete) *complete = 0;
    try {
        Writer(out, prepare, complete).stream(data);
    } catch (const NotHandled &) {
        return false;
    }
    return true;
}

nb::object dumps(nb::handle data) {
    std::string text;
    if (!write(data.ptr(), text)) return {};
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace qv::yaml
