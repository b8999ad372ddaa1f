// The package's YAML writer: ruamel's block layout, scalar styles and line folding at width 120 for the
// plain value domain (exact dict/list/str/int/float/bool/None), reproduced exactly or refused.
#include "binding/yaml_writer.hpp"

#include "kernels/yaml_resolve.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qv::yaml {

namespace {

constexpr Py_ssize_t kWidth = 120;
/// Keys of this many code points (plus the 5 of the implicit str tag) or more are written as `? key`.
constexpr Py_ssize_t kMaxSimpleKey = 128;
/// Nesting beyond this goes to ruamel, which then behaves as it always did (its own recursion limit).
constexpr int kMaxDepth = 400;
/// No continuation indent (document root): folded lines start at column 0, no long-word breaks.
constexpr Py_ssize_t kNoIndent = -1;

/// Thrown inside the writer when the value cannot be written identically; caught by `write`.
struct NotHandled {};

enum class Style : unsigned char { Plain, Single, Double };

/// Read access to a str object's code points.
struct Text {
    int kind;
    const void *data;
    Py_ssize_t len;
    bool ascii;

    explicit Text(PyObject *s)
        : kind(PyUnicode_KIND(s)), data(PyUnicode_DATA(s)), len(PyUnicode_GET_LENGTH(s)),
          ascii(PyUnicode_IS_ASCII(s)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

bool printable(Py_UCS4 c) {
    return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD && c != 0xFEFF) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

bool first_char_indicator(Py_UCS4 c) {
    switch (c) {
        case '#': case ',': case '[': case ']': case '{': case '}': case '&': case '*': case '!':
        case '|': case '>': case '\'': case '"': case '%': case '@': case '`':
            return true;
        default:
            return false;
    }
}

/// What the writer needs to know about a string before choosing its style.
struct Analysis {
    bool plain_ok = true;     ///< the text may stand unquoted (before resolution)
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
    if ((first == '-' || first == '?' || first == ':') && (n == 1 || t[1] == ' ')) a.plain_ok = false;
    if (n >= 3 && ((first == '-' && t[1] == '-' && t[2] == '-') || (first == '.' && t[1] == '.' && t[2] == '.')))
        a.plain_ok = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = t[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (c == '\'') a.has_quote = true;
            else if (c == ':' && i > 0 && (i + 1 == n || t[i + 1] == ' ')) a.plain_ok = false;
            else if (c == '#' && i > 0 && t[i - 1] == ' ') a.plain_ok = false;
            continue;
        }
        if (c == 0x85 || c == 0x2028 || c == 0x2029 || (c >= 0xD800 && c <= 0xDFFF)) throw NotHandled{};
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
    (void)s;
    if (a.has_quote || a.has_newline) return Style::Double;
    if (a.nonprintable) return Style::Double;
    return Style::Single;
}

/// A dict entry that survives the empty-entry filter.
using Entry = std::pair<PyObject *, PyObject *>;

enum class Shape : unsigned char { Scalar, EmptyMap, EmptyList, Map, List };

class Writer {
  public:
    explicit Writer(std::string &out) : out_(out) {}

    void stream(PyObject *data) {
        if (Py_IS_TYPE(data, &PyList_Type)) {
            Py_ssize_t n = PyList_GET_SIZE(data);
            // The documents list itself is not part of any document: only its items are.
            for (Py_ssize_t i = 0; i < n; ++i) document(PyList_GET_ITEM(data, i), i == 0, i == n - 1);
        } else {
            document(data, true, true);
        }
    }

  private:
    std::string &out_;
    Py_ssize_t col_ = 0;
    int depth_ = 0;
    std::unordered_set<PyObject *> seen_;  ///< containers of the current document

    // ----- low-level output, columns counted in code points -----

    void put(char c) {
        out_.push_back(c);
        ++col_;
    }
    void put(std::string_view s) {
        out_.append(s);
        col_ += static_cast<Py_ssize_t>(s.size());
    }
    void put_cp(Py_UCS4 c) {
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
    void put_range(const Text &t, Py_ssize_t a, Py_ssize_t b) {
        if (a >= b) return;
        if (t.ascii) {
            out_.append(static_cast<const char *>(t.data) + a, static_cast<size_t>(b - a));
            col_ += b - a;
        } else {
            for (Py_ssize_t i = a; i < b; ++i) put_cp(t[i]);
        }
    }
    void newline() {
        out_.push_back('\n');
        col_ = 0;
    }
    void pad_to(Py_ssize_t column) {
        if (column > col_) {
            out_.append(static_cast<size_t>(column - col_), ' ');
            col_ = column;
        }
    }
    /// A line break and the continuation indent of a folded scalar.
    void fold(Py_ssize_t indent) {
        newline();
        pad_to(indent == kNoIndent ? 0 : indent);
    }

    // ----- documents and collections -----

    void document(PyObject *root, bool first, bool last) {
        seen_.clear();
        std::vector<Entry> entries;
        Shape shape = classify(root, entries);
        if (!first) put("---");
        switch (shape) {
            case Shape::Scalar: {
                if (!first) put(' ');
                bool plain = scalar(root, kNoIndent, false);
                newline();
                if (last && plain) out_.append("...\n");
                return;
            }
            case Shape::EmptyMap: put(first ? "{}" : " {}"); break;
            case Shape::EmptyList: put(first ? "[]" : " []"); break;
            case Shape::Map:
                if (!first) newline();
                mapping(entries, 0, true);
                break;
            case Shape::List:
                if (!first) newline();
                sequence(root, 0, true);
                break;
        }
        newline();
    }

    /// The shape of a value as written; for a dict, its surviving entries, sorted by key.
    Shape classify(PyObject *v, std::vector<Entry> &entries) {
        PyTypeObject *type = Py_TYPE(v);
        if (type == &PyDict_Type) {
            enter(v);
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(v, &pos, &key, &value)) {
                if (is_dropped(value)) continue;
                if (!Py_IS_TYPE(key, &PyUnicode_Type)) throw NotHandled{};
                entries.emplace_back(key, value);
            }
            if (entries.empty()) return Shape::EmptyMap;
            std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
                return PyUnicode_Compare(a.first, b.first) < 0;
            });
            return Shape::Map;
        }
        if (type == &PyList_Type) {
            enter(v);
            return PyList_GET_SIZE(v) == 0 ? Shape::EmptyList : Shape::List;
        }
        return Shape::Scalar;
    }

    /// Entry values left out of mappings: None, and values equal to [] or {}. Values of other types
    /// could answer the comparison with code of their own, so they are refused before comparing.
    static bool is_dropped(PyObject *v) {
        if (v == Py_None) return true;
        PyTypeObject *type = Py_TYPE(v);
        if (type == &PyList_Type) return PyList_GET_SIZE(v) == 0;
        if (type == &PyDict_Type) return PyDict_GET_SIZE(v) == 0;
        if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type)
            return false;
        throw NotHandled{};
    }

    /// Marks a container as written in this document; a second sight means sharing or recursion.
    void enter(PyObject *container) {
        if (!seen_.insert(container).second) throw NotHandled{};
    }

    struct Depth {
        Writer &w;
        explicit Depth(Writer &w) : w(w) {
            if (++w.depth_ > kMaxDepth) throw NotHandled{};
        }
        ~Depth() { --w.depth_; }
    };

    /// Entries of a block mapping whose keys stand at `column`; the first one on the current line
    /// when `inline_first` (after `- `, `: ` or at the start of a document).
    void mapping(const std::vector<Entry> &entries, Py_ssize_t column, bool inline_first) {
        Depth guard(*this);
        bool first = true;
        for (const auto &[key, value] : entries) {
            if (!(first && inline_first)) {
                newline();
                pad_to(column);
            }
            first = false;
            if (simple_key(key)) {
                scalar(key, column + 2, true);
                put(':');
                mapping_value(value, column);
            } else {
                put('?');
                scalar(key, column + 2, false, true);
                newline();
                pad_to(column);
                put(':');
                complex_value(value, column);
            }
        }
    }

    static bool simple_key(PyObject *key) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n + 5 >= kMaxSimpleKey) return false;
        return PyUnicode_FindChar(key, '\n', 0, n, 1) == -1;
    }

    void mapping_value(PyObject *v, Py_ssize_t column) {
        std::vector<Entry> entries;
        switch (classify(v, entries)) {
            case Shape::Scalar: put(' '); scalar(v, column + 2, false); break;
            case Shape::EmptyMap: put(" {}"); break;
            case Shape::EmptyList: put(" []"); break;
            case Shape::Map: mapping(entries, column + 2, false); break;
            case Shape::List: sequence(v, column, false); break;  // indentless under a key
        }
    }

    void complex_value(PyObject *v, Py_ssize_t column) {
        std::vector<Entry> entries;
        switch (classify(v, entries)) {
            case Shape::Scalar: put(' '); scalar(v, column + 2, false); break;
            case Shape::EmptyMap: put(" {}"); break;
            case Shape::EmptyList: put(" []"); break;
            case Shape::Map: put(' '); mapping(entries, column + 2, true); break;
            case Shape::List: put(' '); sequence(v, column + 2, true); break;
        }
    }

    /// Items of a block sequence whose dashes stand at `column`.
    void sequence(PyObject *list, Py_ssize_t column, bool inline_first) {
        Depth guard(*this);
        Py_ssize_t n = PyList_GET_SIZE(list);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!(i == 0 && inline_first)) {
                newline();
                pad_to(column);
            }
            put('-');
            PyObject *item = PyList_GET_ITEM(list, i);
            std::vector<Entry> entries;
            switch (classify(item, entries)) {
                case Shape::Scalar: put(' '); scalar(item, column + 2, false); break;
                case Shape::EmptyMap: put(" {}"); break;
                case Shape::EmptyList: put(" []"); break;
                case Shape::Map: put(' '); mapping(entries, column + 2, true); break;
                case Shape::List: put(' '); sequence(item, column + 2, true); break;
            }
        }
    }

    // ----- scalars -----

    /// Writes a scalar at the current position; true when it was written plain.
    /// `complex_key`: the text of a `? key`, which needs the space after `?` written here.
    bool scalar(PyObject *v, Py_ssize_t indent, bool simple_key, bool complex_key = false) {
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
            real(PyFloat_AS_DOUBLE(v), indent);
        } else if (v == Py_None) {
            word("null", indent);
        } else {
            throw NotHandled{};
        }
        return true;
    }

    /// A plain scalar without spaces: moves to a new line when it would pass the width.
    void word(std::string_view text, Py_ssize_t indent) {
        if (indent != kNoIndent && col_ > indent && col_ + static_cast<Py_ssize_t>(text.size()) > kWidth)
            fold(indent);
        put(text);
    }

    /// A float rounded to 12 decimals (correctly rounded, as Python's round) in the form of its repr.
    void real(double x, Py_ssize_t indent) {
        if (std::isnan(x)) return word(".nan", indent);
        if (std::isinf(x)) return word(x > 0 ? ".inf" : "-.inf", indent);
        char *fixed = PyOS_double_to_string(x, 'f', 12, 0, nullptr);
        if (!fixed) {
            PyErr_Clear();
            throw NotHandled{};
        }
        double rounded = PyOS_string_to_double(fixed, nullptr, nullptr);
        PyMem_Free(fixed);
        if (rounded == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw NotHandled{};
        }
        char *repr = PyOS_double_to_string(rounded, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!repr) {
            PyErr_Clear();
            throw NotHandled{};
        }
        std::string text(repr);
        PyMem_Free(repr);
        word(text, indent);
    }

    bool string(PyObject *s, Py_ssize_t indent, bool simple_key) {
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
    void plain(const Text &t, Py_ssize_t indent, bool simple_key) {
        Py_ssize_t n = t.len, pos = 0;
        while (pos < n) {
            Py_ssize_t q = pos;
            if (t[pos] == ' ') {
                while (q < n && t[q] == ' ') ++q;
                if (q - pos == 1 && col_ >= kWidth && !simple_key) fold(indent);
                else put_range(t, pos, q);
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
    void single_quoted(const Text &t, Py_ssize_t indent, bool simple_key) {
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

    static bool needs_escape(Py_UCS4 c) {
        if (c == '"' || c == '\\' || c == 0xFEFF) return true;
        return !printable(c);
    }

    void escape(Py_UCS4 c) {
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
        if (c <= 0xFF) len = std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
        else if (c <= 0xFFFF) len = std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
        else len = std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(c));
        put(std::string_view(buf, static_cast<size_t>(len)));
    }

    /// Whether a double-quoted fold at `end` (pending text from `start`) ends its line with `\`,
    /// which keeps the text exact on reading; without it the line break reads as one space.
    static bool fold_backslash(const Text &t, Py_ssize_t start, Py_ssize_t end) {
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

    void double_quoted(const Text &t, Py_ssize_t indent, bool simple_key) {
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
                    if (backslash) put('\\');
                    else ++start;
                }
            }
        }
        put('"');
    }
};

}  // namespace

bool write(PyObject *data, std::string &out) {
    out.clear();
    try {
        Writer(out).stream(data);
    } catch (const NotHandled &) {
        return false;
    }
    return true;
}

nb::object dumps(nb::handle data) {
    std::string text;
    if (!write(data.ptr(), text)) return {};
    PyObject *s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

}  // namespace qv::yaml
