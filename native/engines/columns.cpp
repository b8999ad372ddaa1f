// Reading one-dimensional columns (numpy, Arrow, pandas, polars, lists) into chunks.
#include "engines/columns.hpp"
#include "engines/column_tools.hpp"

#include "binding/support.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

namespace qv::columns {

namespace {

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

// ---- Arrow

void *capsule_pointer(nb::handle capsule, const char *name) {
    void *p = PyCapsule_GetPointer(capsule.ptr(), name);
    if (!p) fail();
    return p;
}

/// Moves the struct out of the producer's capsule: the capsule no longer releases it, we do.
template <typename T>
std::shared_ptr<arrow::Owned<T>> take(nb::handle capsule, const char *name) {
    auto *source = static_cast<T *>(capsule_pointer(capsule, name));
    if (!source->release) raise(PyExc_ValueError, "the Arrow %s was already released", name);
    auto owned = std::make_shared<arrow::Owned<T>>();
    owned->value = *source;
    source->release = nullptr;
    return owned;
}

int fixed_width(char c, Kind &kind) {
    switch (c) {
        case 'c': kind = Kind::Signed; return 1;
        case 'C': kind = Kind::Unsigned; return 1;
        case 's': kind = Kind::Signed; return 2;
        case 'S': kind = Kind::Unsigned; return 2;
        case 'i': kind = Kind::Signed; return 4;
        case 'I': kind = Kind::Unsigned; return 4;
        case 'l': kind = Kind::Signed; return 8;
        case 'L': kind = Kind::Unsigned; return 8;
        case 'e': kind = Kind::Float; return 2;
        case 'f': kind = Kind::Float; return 4;
        case 'g': kind = Kind::Float; return 8;
        default: return 0;
    }
}

const char *buffer(const ArrowArray &a, std::int64_t i) {
    if (i >= a.n_buffers) raise(PyExc_ValueError, "malformed Arrow array: too few buffers");
    return static_cast<const char *>(a.buffers[i]);
}

Chunk arrow_chunk(Column &owner, nb::handle values, const ArrowSchema &schema,
                  const ArrowArray &array);

/// The dictionary of a dictionary-encoded Arrow array, as a one-chunk column of its own.
const Column *arrow_dictionary(Column &owner, nb::handle values, const ArrowSchema &schema,
                               const ArrowArray &array) {
    if (!array.dictionary) raise(PyExc_ValueError, "malformed Arrow array: no dictionary");
    auto dictionary = std::make_unique<Column>();
    dictionary->chunks.push_back(arrow_chunk(owner, values, *schema.dictionary, *array.dictionary));
    dictionary->length = dictionary->chunks.back().length;
    owner.dictionaries.push_back(std::move(dictionary));
    return owner.dictionaries.back().get();
}

Chunk arrow_chunk(Column &owner, nb::handle values, const ArrowSchema &schema,
                  const ArrowArray &array) {
    Chunk c;
    c.length = (std::size_t) array.length;
    std::int64_t offset = array.offset;
    if (array.null_count != 0 && array.n_buffers > 0 && array.buffers[0]) {
        c.validity = static_cast<const std::uint8_t *>(array.buffers[0]);
        c.validity_offset = offset;
    }
    std::string_view format = schema.format ? schema.format : "";
    if (schema.dictionary) {
        Kind kind;
        int width = format.size() == 1 ? fixed_width(format[0], kind) : 0;
        if (!width || (kind != Kind::Signed && kind != Kind::Unsigned))
            raise(PyExc_TypeError, "unsupported Arrow dictionary index format '%s'", schema.format);
        c.kind = kind;
        c.width = width;
        c.stride = width;
        c.data = buffer(array, 1) + offset * width;
        c.dictionary = arrow_dictionary(owner, values, schema, array);
        return c;
    }
    if (format == "n") {
        c.kind = Kind::Null;
        return c;
    }
    if (format == "b") {
        c.kind = Kind::Bits;
        c.data = buffer(array, 1);
        c.bit_offset = offset;
        return c;
    }
    if (format == "u" || format == "U") {
        c.kind = Kind::Utf8;
        c.width = format == "u" ? 4 : 8;
        c.offsets = buffer(array, 1) + offset * c.width;
        c.chars = buffer(array, 2);
        return c;
    }
    if (format == "vu") {
        c.kind = Kind::Utf8View;
        c.width = 16;
        c.stride = 16;
        c.data = buffer(array, 1) + offset * 16;
        c.view_buffers = reinterpret_cast<const char *const *>(array.buffers + 2);
        c.view_buffer_count = array.n_buffers - 3;  // the last buffer holds their sizes
        return c;
    }
    Kind kind;
    int width = format.size() == 1 ? fixed_width(format[0], kind) : 0;
    if (!width)
        raise(PyExc_TypeError, "values: unsupported Arrow type (format '%s') of %s", schema.format,
              Py_TYPE(values.ptr())->tp_name);
    c.kind = kind;
    c.width = width;
    c.stride = width;
    c.data = buffer(array, 1) + offset * width;
    return c;
}

void add_arrow(Column &column, nb::handle values,
               const std::shared_ptr<arrow::Owned<ArrowSchema>> &schema,
               const std::shared_ptr<arrow::Owned<ArrowArray>> &array) {
    column.arrow.push_back(array);
    Chunk c = arrow_chunk(column, values, schema->value, array->value);
    column.length += c.length;
    if (c.length) column.chunks.push_back(c);
}

void read_arrow_stream(Column &column, nb::handle values) {
    nb::object capsule = values.attr("__arrow_c_stream__")();
    auto stream = take<ArrowArrayStream>(capsule, "arrow_array_stream");
    ArrowArrayStream &s = stream->value;
    auto error = [&](int code) {
        const char *text = s.get_last_error ? s.get_last_error(&s) : nullptr;
        raise(PyExc_ValueError, "reading the Arrow stream failed (%d): %s", code, text ? text : "");
    };
    auto schema = std::make_shared<arrow::Owned<ArrowSchema>>();
    if (int code = s.get_schema(&s, &schema->value)) error(code);
    column.arrow.push_back(schema);
    for (;;) {
        auto array = std::make_shared<arrow::Owned<ArrowArray>>();
        if (int code = s.get_next(&s, &array->value)) error(code);
        if (!array->value.release) break;  // end of the stream
        add_arrow(column, values, schema, array);
    }
    column.arrow.push_back(stream);  // the arrays may share the stream's memory: released last
}

void read_arrow_array(Column &column, nb::handle values) {
    nb::object pair = values.attr("__arrow_c_array__")();
    if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
        raise(PyExc_TypeError, "__arrow_c_array__ must return a pair of capsules");
    auto schema = take<ArrowSchema>(PyTuple_GET_ITEM(pair.ptr(), 0), "arrow_schema");
    auto array = take<ArrowArray>(PyTuple_GET_ITEM(pair.ptr(), 1), "arrow_array");
    column.arrow.push_back(schema);
    add_arrow(column, values, schema, array);
}

// ---- the buffer protocol

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

/// read_buffer, also for numpy arrays stored in the other byte order (read from a native copy).
bool read_buffer_any_order(Column &column, nb::handle values) {
    if (read_buffer(column, values)) return true;
    nb::object copy = native_order_copy(values);
    if (!copy.is_valid() || !read_buffer(column, copy)) return false;
    column.owners.push_back(std::move(copy));
    return true;
}

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

namespace {

/// IEEE half precision to double (exact).
double half_to_double(std::uint16_t h) {
    int exponent = (h >> 10) & 0x1f;
    int mantissa = h & 0x3ff;
    double sign = (h & 0x8000) ? -1.0 : 1.0;
    if (exponent == 0) return sign * std::ldexp((double) mantissa, -24);
    if (exponent == 31) return mantissa ? std::nan("") : sign * INFINITY;
    return sign * std::ldexp((double) (mantissa | 0x400), exponent - 25);
}

template <typename T>
T load(const char *p) {
    T value;
    std::memcpy(static_cast<void *>(&value), p, sizeof(T));
    return value;
}

bool bit(const char *data, std::int64_t i) {
    return (static_cast<std::uint8_t>(data[i >> 3]) >> (i & 7)) & 1;
}

/// Encodes code point `cp` as UTF-8 (surrogates as their three bytes, as "surrogatepass" does).
void put_utf8(std::vector<char> &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back((char) cp);
    } else if (cp < 0x800) {
        out.push_back((char) (0xC0 | (cp >> 6)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back((char) (0xE0 | (cp >> 12)));
        out.push_back((char) (0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    } else {
        out.push_back((char) (0xF0 | (cp >> 18)));
        out.push_back((char) (0x80 | ((cp >> 12) & 0x3F)));
        out.push_back((char) (0x80 | ((cp >> 6) & 0x3F)));
        out.push_back((char) (0x80 | (cp & 0x3F)));
    }
}

}  // namespace

double load_number(const Chunk &c, std::size_t i) {
    if (c.missing(i)) return std::nan("");
    const char *p = c.data + (std::ptrdiff_t) i * c.stride;
    switch (c.kind) {
        case Kind::Float:
            return c.width == 8   ? load<double>(p)
                   : c.width == 4 ? (double) load<float>(p)
                                  : half_to_double(load<std::uint16_t>(p));
        case Kind::Signed:
            switch (c.width) {
                case 1: return (double) load<std::int8_t>(p);
                case 2: return (double) load<std::int16_t>(p);
                case 4: return (double) load<std::int32_t>(p);
                default: return (double) load<std::int64_t>(p);
            }
        case Kind::Unsigned:
            switch (c.width) {
                case 1: return (double) load<std::uint8_t>(p);
                case 2: return (double) load<std::uint16_t>(p);
                case 4: return (double) load<std::uint32_t>(p);
                default: return (double) load<std::uint64_t>(p);
            }
        case Kind::Bool: return *p ? 1.0 : 0.0;
        case Kind::Bits: return bit(c.data, c.bit_offset + (std::int64_t) i) ? 1.0 : 0.0;
        default: return std::nan("");
    }
}

bool load_text(const Chunk &c, std::size_t i, const char *&text, std::size_t &size,
               std::vector<char> &scratch) {
    switch (c.kind) {
        case Kind::Utf8: {
            std::int64_t begin, end;
            if (c.width == 4) {
                begin = load<std::int32_t>(c.offsets + 4 * i);
                end = load<std::int32_t>(c.offsets + 4 * (i + 1));
            } else {
                begin = load<std::int64_t>(c.offsets + 8 * i);
                end = load<std::int64_t>(c.offsets + 8 * (i + 1));
            }
            text = c.chars + begin;
            size = (std::size_t) (end - begin);
            return true;
        }
        case Kind::Utf8View: {
            const char *view = c.data + 16 * i;
            auto length = load<std::int32_t>(view);
            size = (std::size_t) length;
            if (length <= 12) {
                text = view + 4;
            } else {
                auto index = load<std::int32_t>(view + 8);
                auto offset = load<std::int32_t>(view + 12);
                text = c.view_buffers[index] + offset;
            }
            return true;
        }
        case Kind::Utf32: {
            const char *p = c.data + (std::ptrdiff_t) i * c.stride;
            std::size_t n = (std::size_t) c.width;
            while (n > 0 && load<std::uint32_t>(p + 4 * (n - 1)) == 0) --n;  // numpy drops them too
            scratch.clear();
            for (std::size_t k = 0; k < n; ++k) {
                auto cp = load<std::uint32_t>(p + 4 * k);
                if (cp > 0x10FFFF) return false;
                put_utf8(scratch, cp);
            }
            text = scratch.data();
            size = scratch.size();
            return true;
        }
        default: return false;
    }
}

namespace {

/// numpy's number scalar types, read from numpy once it has been imported by someone.
struct NumpyScalar {
    PyTypeObject *type = nullptr;
    unaryfunc conversion = nullptr;  ///< the nb_float numpy gave the type
    Kind kind = Kind::Float;
    int width = 8;
};

struct NumpyScalars {
    bool loaded = false;
    NumpyScalar types[10];
};

NumpyScalars &numpy_scalars() {
    static NumpyScalars table;
    if (table.loaded) return table;
    PyObject *numpy = PyImport_GetModule(interned("numpy"));  // never imports
    if (!numpy) {
        PyErr_Clear();
        return table;
    }
    const struct {
        const char *name;
        Kind kind;
        int width;
    } known[10] = {{"float64", Kind::Float, 8},   {"float32", Kind::Float, 4},
                   {"int8", Kind::Signed, 1},     {"int16", Kind::Signed, 2},
                   {"int32", Kind::Signed, 4},    {"int64", Kind::Signed, 8},
                   {"uint8", Kind::Unsigned, 1},  {"uint16", Kind::Unsigned, 2},
                   {"uint32", Kind::Unsigned, 4}, {"uint64", Kind::Unsigned, 8}};
    for (int k = 0; k < 10; ++k) {
        PyObject *type = PyObject_GetAttrString(numpy, known[k].name);
        if (!type || !PyType_Check(type)) {
            Py_XDECREF(type);
            PyErr_Clear();
            continue;
        }
        auto *t = reinterpret_cast<PyTypeObject *>(type);  // kept: numpy's types live forever
        NumpyScalar &entry = table.types[k];
        entry.type = t;
        entry.conversion = t->tp_as_number ? t->tp_as_number->nb_float : nullptr;
        entry.kind = known[k].kind;
        entry.width = known[k].width;
    }
    Py_DECREF(numpy);
    table.loaded = true;
    return table;
}

}  // namespace

bool plain_float(PyObject *value, double &out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        out = PyLong_AsDouble(value);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // too large: float() raises
            return false;
        }
        return true;
    }
    PyTypeObject *t = Py_TYPE(value);
    if (PyFloat_Check(value) && t->tp_as_number &&
        t->tp_as_number->nb_float == PyFloat_Type.tp_as_number->nb_float) {
        out = PyFloat_AS_DOUBLE(value);  // float's conversion of a subclass reads this number
        return true;
    }
    for (const NumpyScalar &n : numpy_scalars().types) {
        if (n.type != t) continue;
        if (!t->tp_as_number || t->tp_as_number->nb_float != n.conversion) return false;
        Chunk stored;  // the scalar's number sits right after its object header
        stored.kind = n.kind;
        stored.width = n.width;
        stored.data = reinterpret_cast<const char *>(value) + sizeof(PyObject);
        out = load_number(stored, 0);
        return true;
    }
    return false;
}

bool is_pandas_na(PyObject *value) {
    PyTypeObject *t = Py_TYPE(value);
    if (std::strcmp(t->tp_name, "NAType") != 0 &&
        std::strcmp(t->tp_name, "pandas._libs.missing.NAType") != 0)
        return false;
    return module_of(value).starts_with("pandas");
}

nb::object element(const Chunk &c, std::size_t i) {
    if (c.kind == Kind::Null || c.missing(i)) return nb::none();  // masked objects too
    if (c.kind == Kind::Objects) {
        PyObject *o = load<PyObject *>(c.data + (std::ptrdiff_t) i * c.stride);
        return nb::borrow(o ? o : Py_None);
    }
    if (c.dictionary) {
        double code = load_number(c, i);
        if (code < 0) return nb::none();
        // A producer may hand over codes past its dictionary: refused, never read.
        if (code >= (double) c.dictionary->length)
            raise(PyExc_IndexError, "dictionary code out of range");
        return element(c.dictionary->chunks.front(), (std::size_t) code);
    }
    const char *p = c.data + (std::ptrdiff_t) i * c.stride;
    switch (c.kind) {
        case Kind::Float: return check(PyFloat_FromDouble(load_number(c, i)));
        case Kind::Signed: {
            long long v = c.width == 1   ? load<std::int8_t>(p)
                          : c.width == 2 ? load<std::int16_t>(p)
                          : c.width == 4 ? load<std::int32_t>(p)
                                         : load<std::int64_t>(p);
            return check(PyLong_FromLongLong(v));
        }
        case Kind::Unsigned: {
            unsigned long long v = c.width == 1   ? load<std::uint8_t>(p)
                                   : c.width == 2 ? load<std::uint16_t>(p)
                                   : c.width == 4 ? load<std::uint32_t>(p)
                                                  : load<std::uint64_t>(p);
            return check(PyLong_FromUnsignedLongLong(v));
        }
        case Kind::Bool:
        case Kind::Bits: return nb::bool_(load_number(c, i) != 0);
        default: break;
    }
    if (c.kind == Kind::Utf32) {
        const char *q = c.data + (std::ptrdiff_t) i * c.stride;
        Py_ssize_t n = c.width;
        while (n > 0 && load<std::uint32_t>(q + 4 * (n - 1)) == 0) --n;
        return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, q, n));
    }
    const char *text = nullptr;
    std::size_t size = 0;
    std::vector<char> scratch;
    load_text(c, i, text, size, scratch);
    return check(PyUnicode_DecodeUTF8(text, (Py_ssize_t) size, "surrogatepass"));
}

}  // namespace qv::columns

// ---- tools shared by the column operations

namespace qv::columns {

void TextIndex::add(std::string_view text, std::uint32_t value) {
    if (find(text.data(), text.size(), ~0u) != ~0u) return;
    if ((count_ + 1) * 2 > slots_.size()) grow();
    Slot s;
    s.hash = hash(text.data(), text.size());
    s.offset = arena_.size();
    s.size = text.size();
    s.value = value;
    arena_.append(text);
    std::size_t mask = slots_.size() - 1;
    std::size_t at = (std::size_t) s.hash & mask;
    while (slots_[at].size != kEmpty) at = (at + 1) & mask;
    slots_[at] = s;
    ++count_;
}

void TextIndex::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    std::size_t mask = slots_.size() - 1;
    for (const Slot &s : old) {
        if (s.size == kEmpty) continue;
        std::size_t at = (std::size_t) s.hash & mask;
        while (slots_[at].size != kEmpty) at = (at + 1) & mask;
        slots_[at] = s;
    }
}

nb::object Tally::examples() const {
    nb::list parts;
    for (double v : numbers) {
        nb::object f = check(PyFloat_FromDouble(v));
        parts.append(nb::steal(PyObject_Str(f.ptr())));
    }
    for (const std::string &t : texts) {
        PyObject *s = PyUnicode_DecodeUTF8(t.data(), (Py_ssize_t) t.size(), "surrogatepass");
        if (!s) fail();
        parts.append(nb::steal(s));
    }
    nb::list quoted;
    for (nb::handle p : parts) {
        PyObject *q = PyUnicode_FromFormat("'%U'", p.ptr());
        if (!q) fail();
        quoted.append(nb::steal(q));
    }
    return nb::str(", ").attr("join")(quoted);
}

std::string utf8_of(nb::handle text) {
    PyObject *bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!bytes) fail();
    std::string result(PyBytes_AS_STRING(bytes), (std::size_t) PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return result;
}

void tally_value(Tally &tally, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return tally.number(PyFloat_AS_DOUBLE(value.ptr()));
    if (tally.numbers.size() + tally.texts.size() >= Tally::kExamples) {
        ++tally.count;  // no text needed: str() may be costly and runs Python code
        return;
    }
    nb::object text = check(PyObject_Str(value.ptr()));
    tally.text(utf8_of(text));
}

nb::object new_array(const char *dtype, std::size_t n, void *&data) {
    static PyObject *empty = nullptr;  // numpy.empty, kept for the life of the process
    if (!empty) {
        nb::object numpy = nb::module_::import_("numpy");
        empty = nb::object(numpy.attr("empty")).release().ptr();
    }
    nb::object array = check(PyObject_CallFunction(empty, "ns", (Py_ssize_t) n, dtype));
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) fail();
    data = view.buf;  // the array owns it; the view adds nothing to keep
    PyBuffer_Release(&view);
    return array;
}

}  // namespace qv::columns
