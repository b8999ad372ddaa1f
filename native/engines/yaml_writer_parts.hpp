// Shared by the two halves of the YAML writer (node preparation, emitting): the limits of the
// written format, the nodes and the writer class.
#pragma once

#include "engines/yaml_writer.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qv::yaml {

constexpr Py_ssize_t kWidth = 120;
/// Decimal places kept for the floats of a document.
constexpr int kDigits = 12;
/// Keys of this many code points (plus the 5 of the implicit str tag) or more are written as `?
/// key`.
constexpr Py_ssize_t kMaxSimpleKey = 128;
/// Nesting beyond this goes to ruamel, which then behaves as it always did (its own recursion
/// limit).
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
        : kind(PyUnicode_KIND(s)),
          data(PyUnicode_DATA(s)),
          len(PyUnicode_GET_LENGTH(s)),
          ascii(PyUnicode_IS_ASCII(s)) {}
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind, data, i); }
};

/// A mapping entry that is written, held while Python code may run: a `prepare` call can change the
/// containers the entry came from.
struct Entry {
    nb::object key, value;
};

enum class Shape : unsigned char { Scalar, EmptyMap, EmptyList, Map, List };

/// A value as written: the document's own value or what `prepare` made of it, its shape and, for a
/// mapping, the entries written, sorted by key.
struct Node {
    nb::object value;
    Shape shape = Shape::Scalar;
    bool round = false;  ///< a float of the document itself: rounded to 12 digits when written
    std::vector<Entry> entries;
};

/// What the empty-entry filter makes of an entry value.
enum class Emptiness : unsigned char { Dropped, Kept, Unknown };

class Writer {
public:
    Writer(std::string &out, Prepare prepare, size_t *complete)
        : out_(out), prepare_(prepare), complete_(complete) {}

    void stream(PyObject *data);

private:
    std::string &out_;
    Prepare prepare_;
    size_t *complete_;  ///< when given: the length of the documents written in full so far
    Py_ssize_t col_ = 0;
    int depth_ = 0;
    bool open_ended_ = false;
    std::unordered_set<PyObject *> seen_;  ///< containers of the current document
    std::vector<nb::object> keep_;  ///< prepared containers of the current document, kept alive
                                    ///< so that their addresses stay theirs while in `seen_`

    // ----- low-level output, columns counted in code points -----

    void put(char c);
    void put(std::string_view s);
    void put_cp(Py_UCS4 c);
    void put_range(const Text &t, Py_ssize_t a, Py_ssize_t b);
    void newline();
    void pad_to(Py_ssize_t column);
    void fold(Py_ssize_t indent);

    // ----- documents and collections -----

    void document(PyObject *root, bool first);

    Node take(PyObject *v);

    Node prepared(PyObject *v);

    Node sequence_node(PyObject *v, nb::object value);

    bool filtered_entries(PyObject *dict, std::vector<Entry> &entries);

    void check_key(PyObject *key) const;

    static bool sorted(std::vector<Entry> &entries);

    static void sort_texts(std::vector<Entry> &entries);

    static Emptiness emptiness(PyObject *v);

    void enter(PyObject *container);

    struct Depth {
        Writer &w;
        explicit Depth(Writer &writer) : w(writer) {
            if (++w.depth_ > kMaxDepth) throw NotHandled{};
        }
        ~Depth() { --w.depth_; }
    };

    void mapping(const std::vector<Entry> &entries, Py_ssize_t column, bool inline_first);

    static bool simple_key(PyObject *key);

    void mapping_value(PyObject *v, Py_ssize_t column);

    void complex_value(PyObject *v, Py_ssize_t column);

    void sequence(PyObject *list, Py_ssize_t column, bool inline_first);

    // ----- scalars -----

    bool scalar(PyObject *v, bool round, Py_ssize_t indent, bool simple_key,
                bool complex_key = false);

    void word(std::string_view text, Py_ssize_t indent);

    void real(double x, bool round, Py_ssize_t indent);

    bool string(PyObject *s, Py_ssize_t indent, bool simple_key);

    void plain(const Text &t, Py_ssize_t indent, bool simple_key);

    void single_quoted(const Text &t, Py_ssize_t indent, bool simple_key);

    static bool needs_escape(Py_UCS4 c);

    void escape(Py_UCS4 c);

    static bool fold_backslash(const Text &t, Py_ssize_t start, Py_ssize_t end);

    void double_quoted(const Text &t, Py_ssize_t indent, bool simple_key);
};

}  // namespace qv::yaml
