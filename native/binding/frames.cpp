// Frames handed in by callers: kinds, columns by name, results of the caller's kind.
#include "frames.hpp"

#include "support.hpp"

#include <string_view>

namespace qv::frames {

namespace {

/// `sys.modules[name]` when that module is loaded; empty otherwise. Never imports.
nb::object loaded(const char *name) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *module = nullptr;
    check(PyDict_GetItemStringRef(modules, name, &module));
    return nb::steal(module);
}

/// True when `obj` is an instance of `module.<cls>` and that module is loaded.
bool instance_of(nb::handle obj, const char *module, const char *cls) {
    nb::object m = loaded(module);
    if (!m.is_valid()) return false;
    nb::object type = nb::steal(PyObject_GetAttrString(m.ptr(), cls));
    if (!type.is_valid()) {
        // An old release without that class: not a frame of that kind.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        return false;
    }
    return check(PyObject_IsInstance(obj.ptr(), type.ptr()));
}

bool is_mapping(nb::handle obj) {
    if (PyDict_Check(obj.ptr())) return true;
    nb::object abc = nb::module_::import_("collections.abc").attr("Mapping");
    return check(PyObject_IsInstance(obj.ptr(), abc.ptr()));
}

nb::list list_copy(nb::handle iterable) { return nb::borrow<nb::list>(list_of(iterable)); }

Py_ssize_t count_of(const nb::list &names, nb::handle name) {
    Py_ssize_t count = 0;
    for (nb::handle label : names) {
        int eq = check(PyObject_RichCompareBool(label.ptr(), name.ptr(), Py_EQ));
        count += eq;
    }
    return count;
}

}  // namespace

Frame read(nb::handle obj, const char *what) {
    auto make = [&](Kind kind, nb::handle names) {
        return Frame{kind, nb::borrow(obj), list_copy(names)};
    };
    if (instance_of(obj, "pandas", "DataFrame")) return make(Kind::Pandas, obj.attr("columns"));
    if (instance_of(obj, "polars", "DataFrame")) return make(Kind::Polars, obj.attr("columns"));
    if (instance_of(obj, "pyarrow", "Table"))
        return make(Kind::ArrowTable, obj.attr("schema").attr("names"));
    if (instance_of(obj, "pyarrow", "RecordBatch"))
        return make(Kind::ArrowBatch, obj.attr("schema").attr("names"));
    if (instance_of(obj, "dask.dataframe", "DataFrame"))
        return make(Kind::Dask, obj.attr("columns"));
    if (is_mapping(obj)) return make(Kind::Mapping, obj);
    if (instance_of(obj, "polars", "LazyFrame"))
        raise(PyExc_TypeError, "%s() needs a polars DataFrame, not a LazyFrame: collect it first",
              what);
    raise(PyExc_TypeError,
          "%s() takes a pandas, polars or Dask DataFrame, a pyarrow Table or RecordBatch, or a "
          "mapping of columns, not %s",
          what, Py_TYPE(obj.ptr())->tp_name);
}

Py_ssize_t Frame::rows() const {
    switch (kind) {
        case Kind::ArrowTable:
        case Kind::ArrowBatch: return nb::cast<Py_ssize_t>(object.attr("num_rows"));
        case Kind::Mapping: return names.size() == 0 ? 0 : (Py_ssize_t) nb::len(column(names[0]));
        default: return (Py_ssize_t) nb::len(object);
    }
}

bool Frame::has(nb::handle name) const { return count_of(names, name) > 0; }

nb::object Frame::column(nb::handle name) const {
    Py_ssize_t count = count_of(names, name);
    if (count == 0) {
        nb::object message = nb::steal(PyUnicode_FromFormat(
            "%R is not a column of the frame; its columns are %R", name.ptr(), names.ptr()));
        if (!message.is_valid()) fail();
        PyErr_SetObject(PyExc_KeyError, message.ptr());
        fail();
    }
    if (count > 1) raise(PyExc_ValueError, "the frame has %zd columns named %R", count, name.ptr());
    switch (kind) {
        case Kind::Polars: return object.attr("get_column")(name);
        case Kind::ArrowTable:
        case Kind::ArrowBatch: return object.attr("column")(name);
        default: {
            nb::object column = check(PyObject_GetItem(object.ptr(), name.ptr()));
            return column;
        }
    }
}

nb::object Frame::column_as_float64(nb::handle name) const {
    nb::object np = numpy();
    nb::object column = this->column(name), values;
    switch (kind) {
        case Kind::Pandas:
            values = column.attr("to_numpy")(nb::arg("dtype") = "float64",
                                             nb::arg("na_value") = np.attr("nan"));
            break;
        case Kind::Polars:
            values = column.attr("cast")(nb::module_::import_("polars").attr("Float64"))
                         .attr("to_numpy")();
            break;
        case Kind::ArrowTable:
        case Kind::ArrowBatch:
            // Unchecked: integers beyond 2**53 round to the nearest float, as float() rounds
            // them (the checked cast refuses them).
            values = column
                         .attr("cast")(nb::module_::import_("pyarrow").attr("float64")(),
                                       nb::arg("safe") = false)
                         .attr("to_numpy")(nb::arg("zero_copy_only") = false);
            break;
        default: values = std::move(column);
    }
    return np.attr("ascontiguousarray")(values, nb::arg("dtype") = "float64");
}

nb::object build(const Frame &like, nb::handle names, nb::handle arrays) {
    nb::dict columns;
    Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        columns[nb::handle(PyList_GET_ITEM(names.ptr(), i))] =
            nb::handle(PyList_GET_ITEM(arrays.ptr(), i));
    switch (like.kind) {
        case Kind::Pandas:
            // copy=False keeps each array as its own block instead of copying them into one.
            return nb::module_::import_("pandas").attr("DataFrame")(
                columns, nb::arg("index") = like.object.attr("index"), nb::arg("copy") = false);
        case Kind::Polars: return nb::module_::import_("polars").attr("DataFrame")(columns);
        case Kind::ArrowTable:
        case Kind::ArrowBatch: {
            nb::object pa = nb::module_::import_("pyarrow");
            if (n == 0) {
                // No columns, but still the input's rows.
                nb::object none_selected = like.object.attr("select")(nb::list());
                if (like.kind == Kind::ArrowTable) return none_selected;
                return pa.attr("Table").attr("from_batches")(nb::make_tuple(none_selected));
            }
            return pa.attr("table")(columns);
        }
        default: return columns;
    }
}

nb::object build_column(const Frame &like, nb::handle name, nb::handle array) {
    if (like.kind != Kind::Pandas) return nb::borrow(array);
    return nb::module_::import_("pandas").attr("Series")(
        array, nb::arg("index") = like.object.attr("index"), nb::arg("name") = name,
        nb::arg("copy") = false);
}

nb::object numpy() { return nb::module_::import_("numpy"); }

nb::object empty_array(const char *dtype, Py_ssize_t size) {
    return numpy().attr("empty")(size, nb::arg("dtype") = dtype);
}

Buffer::Buffer(nb::handle array, bool writable) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    check(PyObject_GetBuffer(array.ptr(), &view_, flags));
    if (view_.ndim > 1) {
        PyBuffer_Release(&view_);
        raise(PyExc_ValueError, "expected a one-dimensional array, got %d dimensions", view_.ndim);
    }
}

Buffer::~Buffer() { PyBuffer_Release(&view_); }

namespace {
/// The buffer format without its native byte-order prefix ("@", "=" or "<" on this platform).
std::string_view item_format(const Py_buffer &view) {
    std::string_view f = view.format ? view.format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
    return f;
}
}  // namespace

bool Buffer::is_uint8() const { return view_.itemsize == 1 && item_format(view_) == "B"; }

bool Buffer::is_float64() const { return view_.itemsize == 8 && item_format(view_) == "d"; }

}  // namespace qv::frames
