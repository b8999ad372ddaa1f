// Reading one-dimensional columns into chunks: the dispatch by type, pandas' categorical and
// nullable arrays, numpy's masked arrays, and Python objects (Arrow data and buffers have files
// of their own).
#include "engines/columns_read.hpp"

#include "binding/support.hpp"

#include <string>

namespace qv::columns {

[[noreturn]] void unsupported(nb::handle values, const char *why) {
    raise(PyExc_TypeError, "values must be a one-dimensional column (%s); got %s", why,
          Py_TYPE(values.ptr())->tp_name);
}

bool has_attr(nb::handle o, const char *name) {
    return check(PyObject_HasAttrStringWithError(o.ptr(), name)) == 1;
}

/// The module that defines `type(o)`. A copy: a static type makes its `__module__` anew on every
/// read, so a view into it would outlive the text.
std::string module_of(nb::handle o) {
    PyObject *module = PyObject_GetAttrString((PyObject *) Py_TYPE(o.ptr()), "__module__");
    if (!module) {
        PyErr_Clear();
        return {};
    }
    std::string result;
    if (PyUnicode_Check(module)) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(module, &size);
        if (text)
            result.assign(text, (std::size_t) size);
        else
            PyErr_Clear();
    }
    Py_DECREF(module);
    return result;
}

namespace {

/// A tuple of the sequence's items: a list read as Python objects cannot change under us.
void read_objects(Column &column, nb::handle sequence) {
    nb::object items = PyTuple_Check(sequence.ptr()) ? nb::borrow(sequence)
                                                     : check(PySequence_Tuple(sequence.ptr()));
    Chunk c;
    c.kind = Kind::Objects;
    c.length = (std::size_t) PyTuple_GET_SIZE(items.ptr());
    c.data = reinterpret_cast<const char *>(&PyTuple_GET_ITEM(items.ptr(), 0));
    c.stride = c.width = (int) sizeof(PyObject *);
    column.owners.push_back(std::move(items));
    column.length += c.length;
    if (c.length) column.chunks.push_back(c);
}

void read_any(Column &column, nb::handle values, int depth);

/// A zero-dimensional buffer (numpy's `nomask` is the scalar False).
bool zero_dimensional(nb::handle o) {
    Py_buffer view;
    if (PyObject_GetBuffer(o.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return true;
    }
    bool scalar = view.ndim == 0;
    PyBuffer_Release(&view);
    return scalar;
}

/// pandas Categorical: integer codes (-1 missing) over the categories, read as a column.
void read_categorical(Column &column, nb::handle values, int depth) {
    nb::object codes = values.attr("codes");
    nb::object categories = values.attr("categories");
    Column code_column;
    if (!read_buffer(code_column, codes) || code_column.chunks.size() > 1)
        unsupported(values, "unreadable categorical codes");
    auto dictionary = std::make_unique<Column>();
    read_any(*dictionary, categories, depth + 1);
    if (dictionary->chunks.size() > 1) unsupported(values, "unreadable categories");
    if (!code_column.chunks.empty()) {
        Chunk c = code_column.chunks.front();
        if (c.kind != Kind::Signed) unsupported(values, "unreadable categorical codes");
        c.dictionary = dictionary.get();
        column.chunks.push_back(c);
    }
    column.length += code_column.length;
    column.buffers.insert(column.buffers.end(), code_column.buffers.begin(),
                          code_column.buffers.end());
    code_column.buffers.clear();
    column.owners.push_back(std::move(codes));
    column.dictionaries.push_back(std::move(dictionary));
}

/// pandas' nullable arrays (Float64, Int64, boolean...) and numpy's masked arrays: an array of
/// data and one of flags (true: missing). numpy's `nomask` (no array) masks nothing.
void read_masked(Column &column, nb::handle values, nb::handle data, nb::handle mask) {
    Column data_column, mask_column;
    if (!read_buffer_any_order(data_column, data)) unsupported(values, "unreadable masked array");
    if (!PyObject_CheckBuffer(mask.ptr()) || zero_dimensional(mask)) {
        column.length += data_column.length;
        column.chunks = std::move(data_column.chunks);
        column.buffers.insert(column.buffers.end(), data_column.buffers.begin(),
                              data_column.buffers.end());
        data_column.buffers.clear();
        return;
    }
    if (!read_buffer(mask_column, mask) || data_column.length != mask_column.length)
        unsupported(values, "unreadable masked array");
    if (!data_column.chunks.empty()) {
        Chunk c = data_column.chunks.front();
        const Chunk &m = mask_column.chunks.front();
        if (m.kind != Kind::Bool) unsupported(values, "unreadable mask");
        c.mask = reinterpret_cast<const std::uint8_t *>(m.data);
        c.mask_stride = m.stride;
        column.chunks.push_back(c);
    }
    column.length += data_column.length;
    for (auto *from : {&data_column, &mask_column}) {
        column.buffers.insert(column.buffers.end(), from->buffers.begin(), from->buffers.end());
        from->buffers.clear();
    }
}

/// A numpy masked array, subclasses included (read through its buffer, the mask would be lost);
/// numpy.ma is not imported for it.
bool is_masked_array(nb::handle values) {
    PyObject *ma = PyImport_GetModule(interned("numpy.ma"));
    if (!ma) {
        if (PyErr_Occurred()) fail();
        return false;
    }
    nb::object module = nb::steal(ma);
    PyObject *cls = PyObject_GetAttrString(ma, "MaskedArray");
    if (!cls) {
        PyErr_Clear();
        return false;
    }
    nb::object masked = nb::steal(cls);
    return check(PyObject_IsInstance(values.ptr(), cls)) == 1;
}

void read_any(Column &column, nb::handle values, int depth) {
    if (depth > 4) unsupported(values, "nested too deeply");
    if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr()))
        return read_objects(column, values);
    bool pandas = module_of(values).starts_with("pandas");
    if (pandas && (has_attr(values, "_values") && has_attr(values, "array")) &&
        !has_attr(values, "codes")) {
        // Series and Index: their array says how the data is kept.
        return read_any(column, values.attr("array"), depth + 1);
    }
    if (pandas && has_attr(values, "codes") && has_attr(values, "categories"))
        return read_categorical(column, values, depth);
    if (pandas && has_attr(values, "_data") && has_attr(values, "_mask"))
        return read_masked(column, values, values.attr("_data"), values.attr("_mask"));
    if (is_masked_array(values))  // the data and numpy's mask of it
        return read_masked(column, values, values.attr("data"), values.attr("mask"));
    if (has_attr(values, "__arrow_c_stream__")) return read_arrow_stream(column, values);
    if (has_attr(values, "__arrow_c_array__")) return read_arrow_array(column, values);
    if (pandas && has_attr(values, "__arrow_array__"))  // Arrow-backed pandas arrays
        return read_any(column, values.attr("__arrow_array__")(), depth + 1);
    if (read_buffer_any_order(column, values)) return;
    if (has_attr(values, "__array__")) {
        nb::object array = values.attr("__array__")();
        if (read_buffer_any_order(column, array)) {
            column.owners.push_back(std::move(array));
            return;
        }
        // numpy's variable-width strings offer no buffer: read them as Python objects.
        nb::object dtype = array.attr("dtype");
        if (str_equals(dtype.attr("kind"), "T")) {
            nb::object objects = array.attr("astype")(nb::str("O"));
            if (read_buffer(column, objects)) {
                column.owners.push_back(std::move(objects));
                return;
            }
        }
        unsupported(values, "unsupported dtype");
    }
    unsupported(values, "no buffer, __array__ or Arrow data");
}

}  // namespace

Column::~Column() {
    for (Py_buffer &view : buffers) PyBuffer_Release(&view);
}

bool Column::has_objects() const {
    for (const Chunk &c : chunks)
        if (c.kind == Kind::Objects) return true;
    return false;
}

Column read(nb::handle values) {
    Column column;
    read_any(column, values, 0);
    return column;
}

}  // namespace qv::columns
