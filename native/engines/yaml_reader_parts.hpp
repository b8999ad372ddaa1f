// Shared by the two halves of the YAML reader (the line structure, the scalars): the reader
// class over the text's lines and the signal that hands the text to ruamel.
#pragma once

#include "engines/yaml_reader.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <vector>

namespace qv::yaml {

/// Thrown when the text leaves the subset; the caller hands it to ruamel.
struct Defer {};

constexpr int kMaxDepth = 400;
/// The loader refuses an implicit key of more than 1024 characters before its ':'; keys longer than
/// that many bytes (never fewer characters than bytes) go to ruamel, which reads or rejects them.
constexpr size_t kMaxSimpleKey = 1024;

/// The text split in lines, with a cursor (line, column in bytes).
class Reader {
public:
    explicit Reader(std::string_view text);
    nb::object document();

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
    static bool is_marker(std::string_view l);
    static size_t indent_of(std::string_view l);
    std::string_view rest() const { return lines_[line_].substr(pos_); }
    void next_line();
    long next_indent() const;

    // ----- nodes -----

    /// A node starting at the cursor, which is at the first content of its line (column = pos_).
    /// `parent` is the column of the enclosing block (-1 at the root).
    nb::object block_or_scalar(long parent) { return inline_node(parent); }

    nb::object inline_node(long parent);
    nb::object finish_line(nb::object value);
    bool looks_like_key(std::string_view r) const;
    static size_t quoted_end(std::string_view r);
    static size_t plain_colon(std::string_view r);
    nb::object sequence(long column);
    nb::object mapping(long column);
    static bool is_dash(std::string_view r);
    nb::object simple_key();

    // ----- scalars -----

    static nb::object make_str(std::string_view s);
    static void check_plain_start(std::string_view s);
    static void check_plain_line(std::string_view s);
    static std::string_view rtrim(std::string_view s);
    bool continues(long parent) const;
    nb::object scalar(long parent);
    nb::object plain(long parent);
    static nb::object resolve(std::string_view text);
    static nb::object integer(std::string_view text);
    static nb::object real(std::string_view text);
    nb::object quoted(long parent, char q);
    static nb::object single_body(std::string_view body);
    static void put_utf8(std::string &out, unsigned long c);
    static int hex_value(char c);
    static nb::object double_body(std::string_view body);
};

}  // namespace qv::yaml
