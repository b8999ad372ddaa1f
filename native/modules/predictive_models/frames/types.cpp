// The types of the column and frame API, for type checkers and readers: what a column or a frame
// may be, and the arrays the column calls give back. The frame libraries are named by forward
// references ("pandas.DataFrame"), so that declaring the types imports none of them.
#include "frames.hpp"

#include "binding/declare.hpp"

namespace qv::frames_module {

namespace {

constexpr const char *kSupportsArrayDoc =
    "Anything numpy reads through `__array__()`: numpy arrays, pandas Series, Index and arrays, "
    "polars Series, pyarrow arrays and most array libraries.";
constexpr const char *kArrowArrayDoc =
    "An Arrow array exported through the Arrow PyCapsule protocol (`__arrow_c_array__`): a "
    "pyarrow Array, or any library's array that offers it.";
constexpr const char *kArrowStreamDoc =
    "Arrow data exported as a stream through the Arrow PyCapsule protocol "
    "(`__arrow_c_stream__`): a pyarrow ChunkedArray, a polars Series, or any library's column "
    "that offers it.";
constexpr const char *kSparkSchemaDoc =
    "What the Spark route reads of an input frame's schema (`df.schema`, a "
    "pyspark.sql.types.StructType): its field names, and each field by name.";

}  // namespace

void declare_types(nb::module_ &m) {
    nb::object any = typ::Any(), object = typ::builtin("object"), str = typ::builtin("str");
    nb::object tuple = typ::builtin("tuple"), ellipsis = nb::borrow(Py_Ellipsis);
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::object ndarray = numpy.attr("ndarray");
    nb::object one_dimension = typ::of(tuple, {typ::builtin("int")});
    auto column_of = [&](const char *scalar) {
        return typ::of(ndarray,
                       {one_dimension, typ::of(numpy.attr("dtype"), {numpy.attr(scalar)})});
    };

    nb::object supports_array = declare_protocol(m, "SupportsArray", kSupportsArrayDoc,
                                                 {{.name = "__array__",
                                                   .returns = typ::of(ndarray, {any, any}),
                                                   .doc = "The values as a numpy array."}});
    nb::object arrow_array =
        declare_protocol(m, "ArrowArrayExportable", kArrowArrayDoc,
                         {{.name = "__arrow_c_array__",
                           .returns = typ::of(tuple, {object, object}),
                           .doc = "The Arrow schema and array capsules of the values."}});
    nb::object arrow_stream =
        declare_protocol(m, "ArrowStreamExportable", kArrowStreamDoc,
                         {{.name = "__arrow_c_stream__",
                           .returns = object,
                           .doc = "An Arrow array stream capsule of the values."}});
    declare_protocol(m, "SparkSchema", kSparkSchemaDoc,
                     {{.name = "fieldNames",
                       .returns = typ::List(str),
                       .doc = "The names of the fields, in order."},
                      {.name = "__getitem__",
                       .params = {{.name = "key", .annotation = str}},
                       .returns = any,
                       .doc = "The field of that name."}});

    nb::object column_values =
        publish(m, "ColumnValues",
                typ::Union({supports_array, arrow_array, arrow_stream,
                            nb::module_::import_("collections.abc").attr("Buffer"), typ::List(any),
                            typ::of(tuple, {any, ellipsis})}));
    publish(m, "Float64Column", column_of("float64"));
    publish(m, "UInt8Column", column_of("uint8"));
    nb::object column_mapping = publish(
        m, "ColumnMapping",
        typ::of(nb::module_::import_("collections.abc").attr("Mapping"), {str, column_values}));
    publish(m, "FrameLike",
            typ::Union({nb::str("pandas.DataFrame"), nb::str("polars.DataFrame"),
                        nb::str("pyarrow.Table"), nb::str("pyarrow.RecordBatch"),
                        nb::str("dask.dataframe.DataFrame"), column_mapping}));
}

}  // namespace qv::frames_module
