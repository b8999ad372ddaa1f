// Reading numpy arrays and other one-dimensional buffers (the buffer protocol) into column chunks.
#include "engines/columns_read.hpp"

#include "binding/support.hpp"

#include <string_view>

namespace qv::columns {

namespace {

/// The chunk of a one-dimensional buffer; false when its format is not one we read.
bool buffer_chunk(const Py_buffer &view, Chunk &c) {
    std::string_view format = view.format ? view.format : "B";
    char order = format.empty() ? '@' : format[0];
    if (order == '<' || order == '>' || order == '=' || order == '!' || order == '@' ||
        order == '|')
        format.remove_prefix(1);
    else
        order = '@';
    const std::uint16_t probe = 1;
    bool little = *reinterpret_cast<const unsigned char *>(&probe) == 1;
    bool swapped = (order == '>' || order == '!') ? little : (order == '<' ? !little : false);
    c.data = static_cast<const char *>(view.buf);
    c.stride = view.strides ? view.strides[0] : view.itemsize;
    c.length = (std::size_t) view.shape[0];
    if (!format.empty() && format.back() == 'w') {  // numpy unicode: "<N>w", UCS4
        if (swapped) return false;
        c.kind = Kind::Utf32;
        c.width = (int) (view.itemsize / 4);
        return true;
    }
    if (format.size() != 1) return false;
    char f = format[0];
    if (f == 'O') {
        c.kind = Kind::Objects;
        c.width = (int) sizeof(PyObject *);
        return true;
    }
    if (swapped && view.itemsize > 1) return false;
    c.width = (int) view.itemsize;
    switch (f) {
        case 'e':
        case 'f':
        case 'd': c.kind = Kind::Float; break;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
        case 'n': c.kind = Kind::Signed; break;
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
        case 'N': c.kind = Kind::Unsigned; break;
        case '?': c.kind = Kind::Bool; break;
        default: return false;
    }
    return c.width == 1 || c.width == 2 || c.width == 4 || c.width == 8;
}

}  // namespace

/// Reads a buffer into one chunk; false (nothing kept) when the object offers no buffer or one in
/// a format we do not read.
bool read_buffer(Column &column, nb::handle values) {
    if (!PyObject_CheckBuffer(values.ptr())) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(values.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    Chunk c;
    if (view.ndim != 1 || !buffer_chunk(view, c)) {
        int ndim = view.ndim;
        PyBuffer_Release(&view);
        if (ndim != 1) unsupported(values, "it has more or less than one dimension");
        return false;
    }
    column.buffers.push_back(view);
    column.length += c.length;
    if (c.length) column.chunks.push_back(c);
    return true;
}

namespace {

/// A numpy array stored in the other byte order, copied into this machine's order; nothing
/// (an invalid object) for anything else.
nb::object native_order_copy(nb::handle values) {
    if (!has_attr(values, "dtype")) return {};
    nb::object dtype = values.attr("dtype");
    if (!has_attr(dtype, "isnative") || !has_attr(values, "astype")) return {};
    int native = check(PyObject_IsTrue(dtype.attr("isnative").ptr()));
    if (native) return {};
    return values.attr("astype")(dtype.attr("newbyteorder")("="));
}

}  // namespace

/// read_buffer, also for numpy arrays stored in the other byte order (read from a native copy).
bool read_buffer_any_order(Column &column, nb::handle values) {
    if (read_buffer(column, values)) return true;
    nb::object copy = native_order_copy(values);
    if (!copy.is_valid() || !read_buffer(column, copy)) return false;
    column.owners.push_back(std::move(copy));
    return true;
}

}  // namespace qv::columns
