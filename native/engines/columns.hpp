// Reading one-dimensional columns without a Python object per value, and running the bucketing
// and the dummy encoding of a record over them.
//
// A column is read once, under the GIL, into chunks that point into memory the Column keeps alive:
//   - numpy arrays and anything else with the buffer protocol (float16/32/64, signed and unsigned
//     integers, bool, fixed-width unicode, objects), and objects with `__array__`;
//   - Arrow data through the PyCapsule protocol (`__arrow_c_stream__`, `__arrow_c_array__`):
//     pyarrow Array and ChunkedArray, polars Series; floats, integers, booleans, the null type,
//     string, large_string, string_view, dictionary; validity bitmaps, offsets, chunks;
//   - pandas Series, Index and arrays: numpy-backed ones as numpy, nullable Float/Int/boolean
//     arrays as their data and mask, Categorical as its codes over its categories, Arrow-backed
//     ones through Arrow;
//   - numpy masked arrays as their data and mask;
//   - lists and tuples, and numpy's StringDType, as Python objects.
// Python objects need the GIL for every element; every other chunk can be read without it.
#pragma once

#include "engines/arrow_c.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qv::columns {

namespace nb = nanobind;

/// How the values of one chunk are stored.
enum class Kind : unsigned char {
    Float,     ///< IEEE floats of `width` 2, 4 or 8 bytes
    Signed,    ///< two's complement integers of `width` 1, 2, 4 or 8 bytes
    Unsigned,  ///< unsigned integers of `width` 1, 2, 4 or 8 bytes
    Bool,      ///< one byte each, nonzero is true
    Bits,      ///< Arrow booleans: one bit each, from bit `bit_offset` of `data`
    Null,      ///< every value missing
    Utf8,      ///< Arrow strings: `offsets` (`width` 4 or 8 bytes each) into `chars`
    Utf8View,  ///< Arrow string views: 16 bytes each at `data`, long texts in `view_buffers`
    Utf32,     ///< numpy fixed-width unicode: `width` code points each, trailing zeros dropped
    Objects,   ///< pointers to Python objects (read them only with the GIL)
};

class Column;

/// A run of values stored one way.
struct Chunk {
    Kind kind = Kind::Null;
    std::size_t length = 0;
    const char *data = nullptr;  ///< the first element
    std::ptrdiff_t stride = 0;   ///< bytes from one element to the next (fixed-width kinds)
    int width = 0;
    std::int64_t bit_offset = 0;                ///< Bits
    const char *offsets = nullptr;              ///< Utf8: offset of the first element
    const char *chars = nullptr;                ///< Utf8
    const char *const *view_buffers = nullptr;  ///< Utf8View
    std::int64_t view_buffer_count = 0;         ///< Utf8View
    /// Arrow validity bitmap (bit clear: missing), counted from bit `validity_offset`.
    const std::uint8_t *validity = nullptr;
    std::int64_t validity_offset = 0;
    /// pandas mask (byte nonzero: missing), one per element `mask_stride` bytes apart.
    const std::uint8_t *mask = nullptr;
    std::ptrdiff_t mask_stride = 1;
    /// Dictionary-encoded: this chunk holds integer codes into `dictionary` (one chunk); a
    /// negative code is missing (pandas Categorical).
    const Column *dictionary = nullptr;

    bool missing(std::size_t i) const {
        if (validity) {
            std::int64_t bit = validity_offset + (std::int64_t) i;
            if (!((validity[bit >> 3] >> (bit & 7)) & 1)) return true;
        }
        return mask && mask[(std::ptrdiff_t) i * mask_stride] != 0;
    }
    bool is_number() const {
        return kind == Kind::Float || kind == Kind::Signed || kind == Kind::Unsigned ||
               kind == Kind::Bool || kind == Kind::Bits;
    }
    bool is_text() const {
        return kind == Kind::Utf8 || kind == Kind::Utf8View || kind == Kind::Utf32;
    }
};

/// A column read into chunks, with everything their memory belongs to.
class Column {
public:
    std::vector<Chunk> chunks;
    std::size_t length = 0;
    /// Python objects, Arrow structs and dictionaries the chunks point into.
    std::vector<nb::object> owners;
    std::vector<std::shared_ptr<void>> arrow;
    std::vector<std::unique_ptr<Column>> dictionaries;
    std::vector<Py_buffer> buffers;  ///< released by the destructor

    Column() = default;
    Column(Column &&) = default;
    Column &operator=(Column &&) = delete;
    Column(const Column &) = delete;
    ~Column();

    /// True when some chunk holds Python objects (reading it needs the GIL).
    bool has_objects() const;
};

/// Reads `values` (see the top of this file). A TypeError for anything else, or for a column that
/// is not one-dimensional. Needs the GIL; runs Python code (the protocols' methods).
Column read(nb::handle values);

/// The element as a Python value: float, int, bool, str, None for a missing value, or the object
/// itself. Needs the GIL.
nb::object element(const Chunk &chunk, std::size_t i);

/// Decoding helpers, usable without the GIL.
double load_number(const Chunk &chunk, std::size_t i);  ///< numbers; NaN when missing
/// A text element as UTF-8 (Utf32 is re-encoded into `scratch`); false when it holds a code point
/// that no Python str can hold.
bool load_text(const Chunk &chunk, std::size_t i, const char *&text, std::size_t &size,
               std::vector<char> &scratch);

/// `float(value)` read without calling it, when that conversion provably reads a number the
/// object stores: exact floats, exact ints a double can approach (float()'s own rounding), float
/// subclasses that keep float's conversion, and numpy's own float64/float32 and integer scalars
/// (their conversion reads the stored number; numpy's scalar layout is public C API). False for
/// anything else (the caller converts it through Python). Needs the GIL; runs no Python code.
bool plain_float(PyObject *value, double &out);

/// True for pandas' missing-value singleton `pd.NA` (found by its type, pandas is not imported).
bool is_pandas_na(PyObject *value);

}  // namespace qv::columns

namespace qv::columns {

/// `apply_feature_bucketing_array` once the attribute's FeatureBucketing is found: a float64 numpy
/// array of what `bin_numeric_attribute` (`numerical`) or `bin_categoric_attribute` gives for each
/// element, NaN for None. While the method is the package's own and the bins can be read without
/// running Python code, the bins are read once and the GIL is released while the column is
/// bucketed; otherwise (a subclass or a patched method, bins changed after validation) every
/// element goes through the method or the live scan. Missing values (None, NaN, pd.NA, Arrow
/// nulls, masked entries) are passed as None. Errors propagate unprefixed and nothing is logged
/// then; otherwise the fallback bins' hits are logged once per bin with a count and up to five
/// distinct examples. Needs the GIL (and releases it around the native loops); Python code runs
/// for object elements that need a conversion, a patched method, and the logger.
nb::object bucket(nb::handle bucketing, bool numerical, const Column &column);

/// `apply_dummy_encoding_array` once the attribute's encoding items are found: one uint8 numpy
/// array per feature (in the order the items name them), each element as `apply_dummy_encoding`
/// sets it. Values without an item are logged once per call on `module`'s logger. Needs the GIL
/// (released around the loops over numbers and texts); Python code runs for the equality of
/// object elements and items that are no str, int or float, and for the logger.
nb::object dummy_encode(nb::handle module, nb::handle attribute, nb::handle items,
                        const Column &column);

}  // namespace qv::columns
