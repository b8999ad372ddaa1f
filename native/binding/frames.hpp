// Frames handed in by callers (pandas, polars, pyarrow, Dask, a mapping of columns): reading
// columns by name and building results of the caller's kind from numpy arrays.
//
// A frame library is never imported here: a frame's kind is told from the modules its caller has
// already imported (an object of a library's class exists only once the library is loaded), and
// the library that builds a result is the one the input came from. numpy is imported on use.
// Every function needs the GIL and may run Python code (the libraries' own).
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace qv::frames {

namespace nb = nanobind;

enum class Kind : unsigned char { Pandas, Polars, ArrowTable, ArrowBatch, Mapping, Dask };

/// One frame and its column names, read once.
struct Frame {
    Kind kind;
    nb::object object;
    nb::list names;  ///< the column labels in frame order

    /// The number of rows (of the first column for a mapping; 0 without columns).
    Py_ssize_t rows() const;
    /// True when `name` labels a column (compared with ==).
    bool has(nb::handle name) const;
    /// The column `name` as the library gives it (Series, ChunkedArray, Array, mapping value).
    /// KeyError naming the frame's columns when there is none; ValueError when several share it.
    nb::object column(nb::handle name) const;
    /// The column as a contiguous float64 numpy array, missing values as NaN.
    nb::object column_as_float64(nb::handle name) const;
};

/// Reads `obj` as a frame; TypeError (naming `what`, e.g. "transform_frame") for anything else.
Frame read(nb::handle obj, const char *what);

/// The result frame of the caller's kind: pandas (with the input's index), polars, a pyarrow
/// Table (for a Table or a RecordBatch) or a dict of the arrays. `names` and `arrays` are lists of
/// equal length; the names are unique.
nb::object build(const Frame &like, nb::handle names, nb::handle arrays);

/// One result column: a pandas Series named `name` with the input's index for pandas input, the
/// array itself otherwise.
nb::object build_column(const Frame &like, nb::handle name, nb::handle array);

/// `numpy` (imported on first use).
nb::object numpy();

/// A new uninitialised one-dimensional numpy array of `dtype` ("float64", "uint8") and `size`.
nb::object empty_array(const char *dtype, Py_ssize_t size);

/// Contiguous read or write access to a one-dimensional numpy array's memory, kept while alive.
class Buffer {
public:
    explicit Buffer(nb::handle array, bool writable = false);
    ~Buffer();
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    template <typename T>
    T *data() const {
        return static_cast<T *>(view_.buf);
    }
    Py_ssize_t size() const { return view_.len / (view_.itemsize ? view_.itemsize : 1); }
    /// True for one-byte unsigned items (numpy uint8).
    bool is_uint8() const;
    /// True for native doubles (numpy float64).
    bool is_float64() const;

private:
    Py_buffer view_{};
};

}  // namespace qv::frames
