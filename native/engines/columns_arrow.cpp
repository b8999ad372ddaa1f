// Reading Arrow data (the C data and C stream interfaces) into column chunks.
#include "engines/columns_read.hpp"

#include "binding/support.hpp"

#include <string_view>

namespace qv::columns {

namespace {

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

}  // namespace

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

}  // namespace qv::columns
