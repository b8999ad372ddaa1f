// The package's YAML reader: one document of block mappings and sequences with flow scalars,
// resolved by the YAML 1.2 core rules as the safe loader does; any construct outside this subset
// defers to ruamel.
#include "engines/yaml_reader.hpp"

#include "binding/capi.hpp"
#include "kernels/yaml_resolve.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qv::yaml {

namespace {

/// Thrown when the text leaves the subset; the caller hands it to ruamel.
struct Defer {};

constexpr int kMaxDepth = 400;
/// The loader refuses an implicit key of more than 1024 characters before its ':'; keys longer than
/// that many bytes (never fewer characters than bytes) go to ruamel, which reads or rejects them.
constexpr size_t kMaxSimpleKey = 1024;

/// The text split in lines, with a cursor (line, column in bytes).
class Reader {
public:
    explicit Reader(std::string_view text) {
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string_view::npos) nl = text.size();
            lines_.push_back(text.substr(start, nl - start));
            start = nl + 1;
        }
    }

    nb::object document() {
        if (lines_.empty()) throw Defer{};
        size_t last = lines_.size();
        if (lines_[last - 1] == "...") --last;  // end marker after a plain root scalar
        for (size_t i = 0; i < last; ++i)
            if (is_marker(lines_[i]) ||
                lines_[i].find_first_not_of(' ') == std::string_view::npos) {
                if (!(i == 0 && is_start(lines_[0]))) throw Defer{};
            }
        lines_.resize(last);
        if (lines_.empty()) throw Defer{};
        line_ = 0;
        pos_ = 0;
        nb::object value;
        if (is_start(lines_[0])) {
            if (lines_[0].size() == 3) {
                line_ = 1;
                if (line_ >= lines_.size()) throw Defer{};
                pos_ = indent_of(lines_[line_]);
                if (pos_ != 0) throw Defer{};
                value = block_or_scalar(-1);
            } else {
                pos_ = 4;
                std::string_view r = rest();
                if (r.empty() || is_dash(r) || looks_like_key(r)) throw Defer{};
                value = inline_node(-1);
            }
        } else {
            if (indent_of(lines_[0]) != 0) throw Defer{};
            value = block_or_scalar(-1);
        }
        if (line_ < lines_.size()) throw Defer{};
        return value;
    }

private:
    std::vector<std::string_view> lines_;
    size_t line_ = 0;  ///< current line; == lines_.size() at the end
    size_t pos_ = 0;   ///< byte position in the current line
    int depth_ = 0;

    struct Depth {
        Reader &r;
        explicit Depth(Reader &reader) : r(reader) {
            if (++r.depth_ > kMaxDepth) throw Defer{};
        }
        ~Depth() { --r.depth_; }
    };

    static bool is_start(std::string_view l) { return l == "---" || l.starts_with("--- "); }
    static bool is_marker(std::string_view l) {
        return (l.starts_with("---") || l.starts_with("...")) && (l.size() == 3 || l[3] == ' ');
    }
    static size_t indent_of(std::string_view l) {
        size_t i = l.find_first_not_of(' ');
        return i == std::string_view::npos ? l.size() : i;
    }
    std::string_view rest() const { return lines_[line_].substr(pos_); }
    /// Moves to the start of the next line.
    void next_line() {
        ++line_;
        pos_ = 0;
    }
    /// Column of the next line's content, or -1 at the end.
    long next_indent() const {
        if (line_ + 1 >= lines_.size()) return -1;
        return static_cast<long>(indent_of(lines_[line_ + 1]));
    }

    // ----- nodes -----

    /// A node starting at the cursor, which is at the first content of its line (column = pos_).
    /// `parent` is the column of the enclosing block (-1 at the root).
    nb::object block_or_scalar(long parent) { return inline_node(parent); }

    /// A node starting at the cursor in the middle or start of a line.
    nb::object inline_node(long parent) {
        Depth guard(*this);
        std::string_view r = rest();
        if (r.empty()) throw Defer{};
        long column = static_cast<long>(pos_);
        if (r == "[]") return finish_line(nb::list());
        if (r == "{}") return finish_line(nb::dict());
        if (r[0] == '-' && (r.size() == 1 || r[1] == ' ')) return sequence(column);
        if (looks_like_key(r)) return mapping(column);
        return scalar(parent);
    }

    nb::object finish_line(nb::object value) {
        next_line();
        return value;
    }

    /// True when the text at the cursor is a simple key followed by `:`.
    bool looks_like_key(std::string_view r) const {
        if (r[0] == '\'' || r[0] == '"') {
            size_t close = quoted_end(r);
            if (close == std::string_view::npos) return false;
            return r.size() > close + 1 && r[close + 1] == ':' &&
                   (r.size() == close + 2 || r[close + 2] == ' ');
        }
        size_t colon = plain_colon(r);
        return colon != std::string_view::npos;
    }

    /// Index of the closing quote of a quoted scalar that ends on this line, else npos.
    static size_t quoted_end(std::string_view r) {
        char q = r[0];
        for (size_t i = 1; i < r.size(); ++i) {
            if (q == '\'' && r[i] == '\'') {
                if (i + 1 < r.size() && r[i + 1] == '\'') {
                    ++i;
                    continue;
                }
                return i;
            }
            if (q == '"') {
                if (r[i] == '\\') {
                    ++i;
                    continue;
                }
                if (r[i] == '"') return i;
            }
        }
        return std::string_view::npos;
    }

    /// Index of the `:` ending a plain key on this line (followed by space or end), else npos.
    static size_t plain_colon(std::string_view r) {
        for (size_t i = 0; i < r.size(); ++i)
            if (r[i] == ':' && (i + 1 == r.size() || r[i + 1] == ' ')) return i;
        return std::string_view::npos;
    }

    nb::object sequence(long column) {
        nb::list items;
        for (;;) {
            std::string_view r = rest();
            if (r.size() < 2 || r[0] != '-' || r[1] != ' ') throw Defer{};
            pos_ += 2;
            if (pos_ < lines_[line_].size() && lines_[line_][pos_] == ' ') throw Defer{};
            items.append(inline_node(column));
            if (line_ >= lines_.size()) break;
            long ind = static_cast<long>(indent_of(lines_[line_]));
            if (ind < column) break;
            if (ind > column) throw Defer{};
            pos_ = static_cast<size_t>(ind);
            r = rest();
            if (!(r[0] == '-' && (r.size() == 1 || r[1] == ' ')))
                break;  // end of an indentless sequence
        }
        return items;
    }

    nb::object mapping(long column) {
        nb::dict result;
        for (;;) {
            nb::object key = simple_key();
            int has = check(PyDict_Contains(result.ptr(), key.ptr()));
            if (has) throw Defer{};  // ruamel reports duplicate keys
            // The cursor is just after the ':'.
            nb::object value;
            std::string_view r = rest();
            if (r.empty()) {
                next_line();
                long ind = line_ < lines_.size() ? static_cast<long>(indent_of(lines_[line_])) : -1;
                if (ind > column) {
                    pos_ = static_cast<size_t>(ind);
                    value = inline_node(column);
                } else if (ind == column &&
                           is_dash(lines_[line_].substr(static_cast<size_t>(ind)))) {
                    pos_ = static_cast<size_t>(ind);
                    value = sequence(column);
                } else {
                    value = nb::none();
                }
            } else {
                if (r[0] != ' ') throw Defer{};
                size_t skip = r.find_first_not_of(' ');
                if (skip == std::string_view::npos) {
                    // "key: " with only spaces: the value starts on the next line (a long word
                    // moved there).
                    next_line();
                    long ind =
                        line_ < lines_.size() ? static_cast<long>(indent_of(lines_[line_])) : -1;
                    if (ind <= column) throw Defer{};
                    pos_ = static_cast<size_t>(ind);
                    value = scalar(column);
                } else {
                    if (skip != 1) throw Defer{};
                    pos_ += 1;
                    std::string_view v = rest();
                    if (v == "[]")
                        value = finish_line(nb::list());
                    else if (v == "{}")
                        value = finish_line(nb::dict());
                    else
                        value = scalar(column);
                }
            }
            check(PyDict_SetItem(result.ptr(), key.ptr(), value.ptr()));
            if (line_ >= lines_.size()) break;
            long ind = static_cast<long>(indent_of(lines_[line_]));
            if (ind < column) break;
            if (ind > column) throw Defer{};
            pos_ = static_cast<size_t>(ind);
            if (is_dash(rest())) throw Defer{};
        }
        return result;
    }

    static bool is_dash(std::string_view r) {
        return !r.empty() && r[0] == '-' && (r.size() == 1 || r[1] == ' ');
    }

    /// A key on one line followed by ':'; only text and integer keys are read here.
    nb::object simple_key() {
        std::string_view r = rest();
        nb::object key;
        size_t used;
        if (r[0] == '\'' || r[0] == '"') {
            size_t close = quoted_end(r);
            if (close == std::string_view::npos) throw Defer{};
            std::string_view body = r.substr(1, close - 1);
            key = r[0] == '\'' ? single_body(body) : double_body(body);
            used = close + 1;
        } else {
            size_t colon = plain_colon(r);
            if (colon == std::string_view::npos || colon == 0) throw Defer{};
            std::string_view text = r.substr(0, colon);
            check_plain_start(text);
            check_plain_line(text);
            if (text.back() == ' ') throw Defer{};
            switch (kernels::resolve_plain(text)) {
                case kernels::PlainKind::Str: key = make_str(text); break;
                case kernels::PlainKind::Int: key = integer(text); break;  // class weights, say
                default: throw Defer{};
            }
            used = colon;
        }
        if (used >= r.size() || r[used] != ':') throw Defer{};
        if (used > kMaxSimpleKey) throw Defer{};
        pos_ += used + 1;
        return key;
    }

    // ----- scalars -----

    static nb::object make_str(std::string_view s) {
        return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    }

    /// First characters a plain scalar may not start with (or that this reader leaves to ruamel).
    static void check_plain_start(std::string_view s) {
        static constexpr std::string_view kIndicators = "#,[]{}&*!|>'\"%@`";
        if (s.empty() || kIndicators.find(s[0]) != std::string_view::npos || s[0] == ' ')
            throw Defer{};
        if ((s[0] == '-' || s[0] == '?' || s[0] == ':') && (s.size() == 1 || s[1] == ' '))
            throw Defer{};
    }

    /// A line of plain text may not hold ": " (or end with ':') or " #".
    static void check_plain_line(std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == ':' && (i + 1 == s.size() || s[i + 1] == ' ')) throw Defer{};
            if (s[i] == '#' && i > 0 && s[i - 1] == ' ') throw Defer{};
        }
    }

    static std::string_view rtrim(std::string_view s) {
        size_t e = s.find_last_not_of(' ');
        return e == std::string_view::npos ? std::string_view{} : s.substr(0, e + 1);
    }

    /// True when the next line continues a flow scalar of a block at column `parent`.
    bool continues(long parent) const {
        if (line_ + 1 >= lines_.size()) return false;
        std::string_view l = lines_[line_ + 1];
        return static_cast<long>(indent_of(l)) > parent;
    }

    nb::object scalar(long parent) {
        std::string_view r = rest();
        if (r[0] == '\'') return quoted(parent, '\'');
        if (r[0] == '"') return quoted(parent, '"');
        return plain(parent);
    }

    nb::object plain(long parent) {
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

    static nb::object resolve(std::string_view text) {
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
    static nb::object integer(std::string_view text) {
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

    static nb::object real(std::string_view text) {
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
    nb::object quoted(long parent, char q) {
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

    static nb::object single_body(std::string_view body) {
        std::string s;
        for (size_t k = 0; k < body.size(); ++k) {
            if (body[k] == '\'') ++k;  // '' stands for one quote
            s.push_back(body[k]);
        }
        return make_str(s);
    }

    static void put_utf8(std::string &out, unsigned long c) {
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

    static int hex_value(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    static nb::object double_body(std::string_view body) {
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
};

bool printable_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
            continue;
        }
        unsigned long cp;
        size_t extra;
        if (c >= 0xF0)
            cp = c & 0x07, extra = 3;
        else if (c >= 0xE0)
            cp = c & 0x0F, extra = 2;
        else
            cp = c & 0x1F, extra = 1;
        for (size_t j = 1; j <= extra; ++j)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + j]) & 0x3F);
        i += extra;
        // U+2028/U+2029 are line breaks to YAML: left to ruamel, like every other break but \n.
        bool ok = (cp >= 0xA0 && cp <= 0xD7FF && cp != 0x2028 && cp != 0x2029) ||
                  (cp >= 0xE000 && cp <= 0xFFFD && cp != 0xFEFF) ||
                  (cp >= 0x10000 && cp <= 0x10FFFF);
        if (!ok) return false;
    }
    return true;
}

/// The child nodes of a composed node, in order: a sequence's items, a mapping's keys and values.
void append_children(PyObject *node, std::vector<PyObject *> &out) {
    static PyObject *value_name = PyUnicode_InternFromString("value");
    if (!value_name) fail();
    nb::object value = check(PyObject_GetAttr(node, value_name));
    if (!PyList_CheckExact(value.ptr())) return;  // a scalar's text
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(value.ptr()); i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(value.ptr(), i);
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
            out.push_back(PyTuple_GET_ITEM(item, 0));
            out.push_back(PyTuple_GET_ITEM(item, 1));
        } else {
            out.push_back(item);
        }
    }
}

}  // namespace

NodeCount count_nodes(nb::handle root) {
    // Post-order walk with a memo of finished nodes: a node shared through aliases is walked once
    // and its size added wherever it is used. The node graph, which owns every node, is not
    // changed meanwhile (no Python code runs), so the borrowed pointers stay valid.
    struct Frame {
        PyObject *node;
        size_t first, end;  ///< its children in `children`
        size_t next;
        unsigned long long size;
    };
    constexpr unsigned long long kOnStack = ~0ULL, kMost = 1ULL << 62;
    std::unordered_map<PyObject *, unsigned long long> sizes;
    std::vector<PyObject *> children;
    std::vector<Frame> stack;
    auto enter = [&](PyObject *node) {
        sizes.emplace(node, kOnStack);
        size_t first = children.size();
        append_children(node, children);
        stack.push_back({node, first, children.size(), first, 1});
    };
    enter(root.ptr());
    while (true) {
        Frame &top = stack.back();
        if (top.next < top.end) {
            PyObject *child = children[top.next++];
            auto found = sizes.find(child);
            if (found == sizes.end()) {
                enter(child);
            } else {
                unsigned long long add = found->second == kOnStack ? 1 : found->second;
                top.size = std::min(kMost, top.size + add);
            }
            continue;
        }
        unsigned long long size = top.size;
        sizes[top.node] = size;
        children.resize(top.first);
        stack.pop_back();
        if (stack.empty()) return {sizes.size(), size};
        stack.back().size = std::min(kMost, stack.back().size + size);
    }
}

unsigned long long alias_limit(unsigned long long written) {
    constexpr unsigned long long kFloor = 400'000, kFactor = 10;
    return std::max(kFloor, kFactor * written);
}

nb::object read(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        // Lone surrogates cannot be read here; ruamel reports them as it always did.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) fail();
        PyErr_Clear();
        return {};
    }
    std::string_view s(data, static_cast<size_t>(size));
    if (!printable_utf8(s)) return {};
    try {
        return Reader(s).document();
    } catch (const Defer &) {
        return {};
    }
}

}  // namespace qv::yaml
