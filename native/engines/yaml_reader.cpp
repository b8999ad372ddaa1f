// The package's YAML reader: one document of block mappings and sequences with flow scalars,
// resolved by the YAML 1.2 core rules as the safe loader does; any construct outside this subset
// defers to ruamel.
#include "engines/yaml_reader_parts.hpp"

#include "binding/capi.hpp"
#include "kernels/yaml_resolve.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qv::yaml {

Reader::Reader(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) nl = text.size();
        lines_.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
}

nb::object Reader::document() {
    if (lines_.empty()) throw Defer{};
    size_t last = lines_.size();
    if (lines_[last - 1] == "...") --last;  // end marker after a plain root scalar
    for (size_t i = 0; i < last; ++i)
        if (is_marker(lines_[i]) || lines_[i].find_first_not_of(' ') == std::string_view::npos) {
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

bool Reader::is_marker(std::string_view l) {
    return (l.starts_with("---") || l.starts_with("...")) && (l.size() == 3 || l[3] == ' ');
}

size_t Reader::indent_of(std::string_view l) {
    size_t i = l.find_first_not_of(' ');
    return i == std::string_view::npos ? l.size() : i;
}

/// Moves to the start of the next line.
void Reader::next_line() {
    ++line_;
    pos_ = 0;
}

/// Column of the next line's content, or -1 at the end.
long Reader::next_indent() const {
    if (line_ + 1 >= lines_.size()) return -1;
    return static_cast<long>(indent_of(lines_[line_ + 1]));
}

/// A node starting at the cursor in the middle or start of a line.
nb::object Reader::inline_node(long parent) {
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

nb::object Reader::finish_line(nb::object value) {
    next_line();
    return value;
}

/// True when the text at the cursor is a simple key followed by `:`.
bool Reader::looks_like_key(std::string_view r) const {
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
size_t Reader::quoted_end(std::string_view r) {
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
size_t Reader::plain_colon(std::string_view r) {
    for (size_t i = 0; i < r.size(); ++i)
        if (r[i] == ':' && (i + 1 == r.size() || r[i + 1] == ' ')) return i;
    return std::string_view::npos;
}

nb::object Reader::sequence(long column) {
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

nb::object Reader::mapping(long column) {
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
            } else if (ind == column && is_dash(lines_[line_].substr(static_cast<size_t>(ind)))) {
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
                long ind = line_ < lines_.size() ? static_cast<long>(indent_of(lines_[line_])) : -1;
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

bool Reader::is_dash(std::string_view r) {
    return !r.empty() && r[0] == '-' && (r.size() == 1 || r[1] == ' ');
}

/// A key on one line followed by ':'; only text and integer keys are read here.
nb::object Reader::simple_key() {
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

namespace {

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
