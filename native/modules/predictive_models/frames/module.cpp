// Scoring frames on clusters: the output schema of a frame transformation (for Dask's `meta` and
// Spark's schema), the picklable partition function shipped to workers, and the Spark route.
#include "frames.hpp"

#include "binding/declare.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

namespace {

using namespace qv;
using qv::frames_module::Schema;

constexpr const char *kScorerModule = "quorvex_analytics_utils.predictive_models.augmented_scorer";
constexpr const char *kContentModule = "quorvex_analytics_utils.predictive_models.content";
// The models the Spark route takes, named by forward references: the modules of the scorer and
// the preparation import this one.
constexpr const char *kPreparationClass =
    "quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation."
    "FeaturePreparation";
constexpr const char *kScorerClass =
    "quorvex_analytics_utils.predictive_models.augmented_scorer.AugmentedScorer";
constexpr const char *kContentClass =
    "quorvex_analytics_utils.predictive_models.content.AugmentedScorerContent";

/// Module-lifetime objects, deliberately leaked.
struct State {
    PyObject *map_batch = nullptr;  ///< this module's _map_batch
};
State state;

bool contains(nb::handle container, nb::handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr()));
}

std::vector<std::string> strings(nb::handle list) {
    std::vector<std::string> out;
    for_each(list, [&](nb::handle item) { out.push_back(nb::cast<std::string>(nb::str(item))); });
    return out;
}

Schema schema_of(nb::handle record) {
    return Schema{strings(field(record, interned("names"))),
                  strings(field(record, interned("dtypes")))};
}

// ---- FrameSchema

nb::object check_schema_impl(Args a) {
    nb::handle self = a[0];
    Schema s = schema_of(self);
    if (s.names.size() != s.dtypes.size())
        raise(PyExc_ValueError, "FrameSchema needs one dtype per name (%zu names, %zu dtypes)",
              s.names.size(), s.dtypes.size());
    for (const std::string &dtype : s.dtypes)
        if (dtype != "float64" && dtype != "uint8" && dtype != "int8")
            raise(PyExc_ValueError, "FrameSchema dtypes are 'float64', 'uint8' or 'int8', not '%s'",
                  dtype.c_str());
    return nb::borrow(self);
}

nb::object arrow_c_schema_impl(Args a) {
    nb::handle self = a[0];
    return frames_module::arrow_schema_capsule(schema_of(self));
}

nb::object to_pyarrow_impl(Args a) {
    nb::handle self = a[0];
    return nb::module_::import_("pyarrow").attr("schema")(self);
}

nb::object empty_pandas_impl(Args a) {
    nb::handle self = a[0], index = a[1];
    Schema s = schema_of(self);
    nb::object np = nb::module_::import_("numpy");
    nb::dict columns;
    for (size_t i = 0; i < s.names.size(); ++i)
        columns[nb::str(s.names[i].c_str())] = np.attr("empty")(0, nb::arg("dtype") = s.dtypes[i]);
    return nb::module_::import_("pandas").attr("DataFrame")(columns, nb::arg("index") = index);
}

/// A name as a Spark SQL identifier: in backquotes, a backquote doubled.
std::string spark_identifier(const std::string &name) {
    std::string out = "`";
    for (char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    return out + "`";
}

nb::object spark_ddl_impl(Args a) {
    nb::handle self = a[0];
    Schema s = schema_of(self);
    std::string out;
    for (size_t i = 0; i < s.names.size(); ++i) {
        if (i) out += ", ";
        // Spark has no unsigned types: 0/1 features travel as tinyint (int8).
        out += spark_identifier(s.names[i]) + (s.dtypes[i] == "float64" ? " double" : " tinyint");
    }
    return nb::str(out.c_str());
}

// ---- PartitionFunction

/// The record whose method the partition function calls: the model itself, or the scorer rebuilt
/// from stored content (once per process and content, through parse_from_content_cached).
nb::object target_of(nb::handle function) {
    nb::object model = field(function, interned("model"));
    nb::object content_cls = nb::module_::import_(kContentModule).attr("AugmentedScorerContent");
    int is_content = check(PyObject_IsInstance(model.ptr(), content_cls.ptr()));
    if (!is_content) return model;
    return nb::module_::import_(kScorerModule)
        .attr("AugmentedScorer")
        .attr("parse_from_content_cached")(model);
}

nb::object apply(nb::handle function, nb::handle target, nb::handle part) {
    nb::object method = field(function, interned("method"));
    nb::object fn = check(PyObject_GetAttr(target.ptr(), method.ptr()));
    nb::object args = nb::make_tuple(part);
    nb::object kwargs = field(function, interned("kwargs"));
    return check(PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object call_impl(Args a) {
    nb::handle self = a[0], partition = a[1];
    int arrow = check(PyObject_IsTrue(field(self, interned("arrow")).ptr()));
    if (!arrow) return apply(self, target_of(self), partition);
    nb::object one_batch = nb::module_::import_("functools")
                               .attr("partial")(nb::handle(state.map_batch), self, target_of(self));
    return nb::module_::import_("builtins").attr("map")(one_batch, partition);
}

/// One output record batch of the Arrow route: the kept columns, then the method's columns
/// (0/1 features as int8, which Spark reads as tinyint) or the scores.
nb::object map_batch_impl(Args a) {
    nb::handle function = a[0], target = a[1], input = a[2];
    nb::object pa = nb::module_::import_("pyarrow");
    nb::object result = apply(function, target, input);
    nb::list arrays, names;
    for_each(field(function, interned("keep")), [&](nb::handle k) {
        arrays.append(input.attr("column")(k));
        names.append(k);
    });
    if (!nb::hasattr(result, "column_names")) {  // scores
        arrays.append(pa.attr("array")(result));
        names.append(nb::str("score"));
    } else {
        nb::object uint8 = pa.attr("uint8")(), int8 = pa.attr("int8")();
        for (nb::handle name : result.attr("column_names")) {
            nb::object column = result.attr("column")(name).attr("combine_chunks")();
            if (column.attr("type").equal(uint8)) column = column.attr("cast")(int8);
            arrays.append(column);
            names.append(name);
        }
    }
    return pa.attr("RecordBatch").attr("from_arrays")(arrays, nb::arg("names") = names);
}

// ---- the Spark route

/// `model`'s attributes that `transform_frame` would apply, each once; limited to the columns of
/// `input_schema` when it is given.
nb::object spark_attributes(nb::handle model, nb::handle input_schema) {
    nb::object input_names =
        input_schema.is_none() ? nb::object(nb::none()) : input_schema.attr("fieldNames")();
    nb::list all, chosen;
    for (nb::handle name : model.attr("get_all_binning_attributes")()) all.append(name);
    for_each(model.attr("dummy_encoding"),
             [&](nb::handle entry) { all.append(entry.attr("attribute")); });
    for (nb::handle name : all) {
        if (!input_names.is_none() && !contains(input_names, name)) continue;
        if (!contains(chosen, name)) chosen.append(name);
    }
    return chosen;
}

nb::object spark_map_in_arrow_impl(Args a) {
    nb::handle model = a[0], input_schema = a[1], keep = a[2], attributes = a[3],
               probability = a[4];
    // A text is a sequence of one-letter names: refused, as a column list of letters is no intent.
    if (PyUnicode_Check(keep.ptr())) raise_arg_type("keep", "a sequence of str", keep);
    nb::object keep_list = list_of(keep);
    std::string ddl;
    for (nb::handle k : keep_list) {
        if (!PyUnicode_Check(k.ptr())) raise_arg_type("keep", "a sequence of str", keep);
        if (input_schema.is_none())
            raise(PyExc_ValueError,
                  "keep=%R needs the input frame's schema (df.schema) for the "
                  "types of the kept columns",
                  keep.ptr());
        nb::object spark_field = check(PyObject_GetItem(input_schema.ptr(), k.ptr()));
        ddl += spark_identifier(nb::cast<std::string>(k)) + " " +
               nb::cast<std::string>(spark_field.attr("dataType").attr("simpleString")()) + ", ";
    }

    nb::object content_cls = nb::module_::import_(kContentModule).attr("AugmentedScorerContent");
    int is_content = check(PyObject_IsInstance(model.ptr(), content_cls.ptr()));
    nb::dict kwargs;
    const char *method;
    if (is_content || nb::hasattr(model, "score_frame")) {
        method = "score_frame";
        int truth = check(PyObject_IsTrue(probability.ptr()));
        kwargs["probability"] = nb::bool_(truth);
        ddl += "`score` double";
    } else if (nb::hasattr(model, "transform_frame")) {
        method = "transform_frame";
        nb::object listed =
            attributes.is_none() ? spark_attributes(model, input_schema) : nb::borrow(attributes);
        kwargs["attributes"] = listed;
        nb::object schema = model.attr("output_schema")(nb::arg("attributes") = listed);
        std::string columns = nb::cast<std::string>(schema.attr("spark_ddl")());
        if (columns.empty() && ddl.size() >= 2) ddl.erase(ddl.size() - 2);
        ddl += columns;
    } else {
        raise(PyExc_TypeError,
              "spark_map_in_arrow() takes a FeaturePreparation, an AugmentedScorer or an "
              "AugmentedScorerContent, not %s",
              Py_TYPE(model.ptr())->tp_name);
    }
    nb::object function =
        nb::module_::import_("quorvex_analytics_utils.predictive_models.frames")
            .attr("PartitionFunction")(nb::arg("model") = model, nb::arg("method") = method,
                                       nb::arg("kwargs") = kwargs, nb::arg("keep") = keep_list,
                                       nb::arg("arrow") = true);
    return nb::make_tuple(function, nb::str(ddl.c_str()));
}

constexpr const char *kSparkDoc =
    "The arguments of Spark's `DataFrame.mapInArrow` that transform (a FeaturePreparation) or "
    "score "
    "(an AugmentedScorer, or its stored content, rebuilt once per worker process) every partition: "
    "a picklable partition function and the output schema as a DDL string. `keep` names input "
    "columns carried over in front (their types come from `input_schema`, the input frame's "
    "`df.schema`, which also limits a transformation to the attributes the input has):\n\n"
    "    scored = df.mapInArrow(*spark_map_in_arrow(scorer, df.schema, keep=[\"id\"]))";

}  // namespace

NB_MODULE(frames, m) {
    qv::init_native_types();
    m.doc() =
        "Frame-level scoring support: the output schema of a frame transformation, the "
        "picklable partition function for Dask and Spark, and the arguments of Spark's "
        "mapInArrow.\n\n`FeaturePreparation.transform_frame` and "
        "`AugmentedScorer.score_frame` are the entry points; this module gives what "
        "clusters need around them.";
    frames_module::declare_types(m);
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::object str = typ::builtin("str"), any = typ::Any(), list_of_str = typ::List(str);
    nb::object list_factory = Field(nb::arg("default_factory") = typ::builtin("list"));

    RecordClass(m, "FrameSchema", {record_base})
        .doc(
            "The ordered output columns of a frame transformation: names and numpy dtypes "
            "('float64' for bin values, 'uint8' for 0/1 features). Also an Arrow schema "
            "(`__arrow_c_schema__`), an empty pandas frame and a Spark DDL string.")
        .field("names", list_of_str)
        .field("dtypes", list_of_str)
        .after_validator({.name = "check_schema",
                          .returns = nb::str("FrameSchema"),
                          .doc = "Validates one dtype per name, each 'float64', 'uint8' or "
                                 "'int8'; otherwise a ValueError that pydantic reports as "
                                 "ValidationError."},
                         check_schema_impl)
        .method(
            {.name = "__arrow_c_schema__",
             .returns = nb::module_::import_("types").attr("CapsuleType"),
             .doc = "The schema as an Arrow C data interface capsule (a struct of the columns)."},
            arrow_c_schema_impl)
        .method({.name = "to_pyarrow",
                 .returns = nb::str("pyarrow.Schema"),
                 .doc = "The schema as a pyarrow.Schema."},
                to_pyarrow_impl)
        .method({.name = "empty_pandas",
                 .params = {{.name = "index",
                             .annotation = nb::str("pandas.Index | None"),
                             .default_ = nb::none()}},
                 .returns = nb::str("pandas.DataFrame"),
                 .doc = "An empty pandas DataFrame with these columns and dtypes (Dask's `meta`), "
                        "with `index` (an empty pandas Index) when it is given."},
                empty_pandas_impl)
        .method({.name = "spark_ddl",
                 .returns = str,
                 .doc = "The columns as a Spark DDL schema string (0/1 features as tinyint)."},
                spark_ddl_impl)
        .build();

    RecordClass(m, "PartitionFunction", {record_base})
        .doc(
            "A picklable callable for the partitions of a cluster's frame: "
            "`model.<method>(partition, **kwargs)`. `model` is a record (pickled with its fields "
            "only: bin snapshots are rebuilt on the worker) or an AugmentedScorerContent, rebuilt "
            "once per worker process. With `arrow`, it maps an iterator of Arrow record batches to "
            "record batches (Spark's mapInArrow), with the `keep` columns in front.")
        .field("model", any)
        .field("method", str)
        .field("kwargs", typ::Dict(str, any),
               Field(nb::arg("default_factory") = typ::builtin("dict")))
        .field("keep", list_of_str, list_factory)
        .field("arrow", typ::builtin("bool"), nb::bool_(false))
        .method({.name = "__call__",
                 .params = {{.name = "partition",
                             .annotation = typ::Union(
                                 {m.attr("FrameLike"),
                                  typ::of(nb::module_::import_("collections.abc").attr("Iterable"),
                                          {nb::str("pyarrow.RecordBatch")})})}},
                 .returns = any,
                 .doc = "`model.<method>(partition, **kwargs)` for a frame partition; with "
                        "`arrow`, a partition is an iterable of pyarrow RecordBatches and the "
                        "result an iterator of RecordBatches."},
                call_impl)
        .build();

    state.map_batch = keep_forever(
        make_function(m, "",
                      {.name = "_map_batch",
                       .params = {{.name = "function"}, {.name = "target"}, {.name = "batch"}},
                       .doc = "One output record batch of a PartitionFunction's Arrow route."},
                      map_batch_impl));
    m.attr("_map_batch") = nb::handle(state.map_batch);

    m.attr("spark_map_in_arrow") = make_function(
        m, "",
        {.name = "spark_map_in_arrow",
         .params = {{.name = "model",
                     .annotation = typ::Union({nb::str(kPreparationClass), nb::str(kScorerClass),
                                               nb::str(kContentClass)})},
                    {.name = "input_schema",
                     .annotation = typ::Optional(m.attr("SparkSchema")),
                     .default_ = nb::none()},
                    {.name = "keep",
                     .annotation =
                         typ::of(nb::module_::import_("collections.abc").attr("Sequence"), {str}),
                     .default_ = nb::tuple(),
                     .keyword_only = true},
                    {.name = "attributes",
                     .annotation = typ::Optional(list_of_str),
                     .default_ = nb::none(),
                     .keyword_only = true},
                    {.name = "probability",
                     .annotation = typ::builtin("bool"),
                     .default_ = nb::bool_(false),
                     .keyword_only = true}},
         .returns = typ::of(typ::builtin("tuple"), {m.attr("PartitionFunction"), str}),
         .doc = kSparkDoc},
        spark_map_in_arrow_impl);
}
