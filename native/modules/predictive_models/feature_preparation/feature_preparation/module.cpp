// The preparation registry of a model: transformations, binnings and dummy encodings, with the
// construction of binnings from a description and their application to input values. This file
// declares the module's record classes and view.
#include "feature_preparation.hpp"

#include "engines/bucketing.hpp"

namespace {

using namespace qv;
using namespace qv::preparation;

constexpr const char *kBucketingArrayDoc =
    "Bins a whole one-dimensional column: a float64 numpy array whose elements equal\n"
    "apply_feature_bucketing(attribute, element), NaN where that gives None; None when the\n"
    "registry has no binning for the attribute.\n\n"
    "values: a numpy array (float16/32/64, integers, bool, object, fixed-width unicode,\n"
    "StringDType), a pandas Series, Index or array (nullable, Categorical, string), a pyarrow\n"
    "Array or ChunkedArray, a polars Series, anything with __array__ or the Arrow PyCapsule\n"
    "protocol, a list or a tuple. Missing values (None, NaN, pd.NA, Arrow nulls, masked entries)\n"
    "go to the null bin; a text element (numpy.str_ included) is compared as its text.\n\n"
    "The first element the single call would refuse raises the same error class with the same\n"
    "'Binning attribute <attribute>: ' message; nothing is logged then. Otherwise the values that\n"
    "end in a fallback bin are logged once per call and bin, at the level the single call uses,\n"
    "on the same logger:\n"
    "  Predictive model hit default value when processing binning of attribute '<attribute>'\n"
    "  for <count> of <total> values, e.g. '<value>', '<value>'.\n"
    "with up to five distinct examples written as the single call writes its value. The GIL is\n"
    "released while numbers and Arrow or numpy texts are binned.";

constexpr const char *kDummyArrayDoc =
    "Dummy-encodes a whole one-dimensional column (the kinds apply_feature_bucketing_array\n"
    "reads): a dict of uint8 numpy arrays, one per feature in the order apply_dummy_encoding\n"
    "gives them, each element as apply_dummy_encoding(attribute, element) sets it (missing values\n"
    "count as None). Without an encoding for the attribute: what apply_dummy_encoding gives "
    "(None,\n"
    "with its warning). Values that match no item are logged once per call:\n"
    "  Dummy encoding of attribute '<attribute>' is not defined for <count> of <total> values,\n"
    "  e.g. '<value>', '<value>'. Default value '<feature>' was assigned with 1.\n"
    "at info level, or, without a default feature, at warning level:\n"
    "  Dummy encoding of attribute '<attribute>' is not defined for <count> of <total> values,\n"
    "  e.g. '<value>', and no default value was assigned. All dummies for given attribute are\n"
    "  assigned with 0.";

}  // namespace

NB_MODULE(feature_preparation, m) {
    qv::init_native_types();
    m.doc() =
        "The per-model registry of transformations, binnings and dummy encodings, and "
        "their application to input values.\n\n`FeaturePreparation` keeps lists of "
        "`FeatureReshaping`, `FeatureBucketing` and `PredictiveModelDummyEncoding` in "
        "insertion order (lookups take the first entry of an attribute). Dummy encoding "
        "logs through `logger` (structlog, named after this module): a warning for an "
        "unknown attribute or an undefined value without default, info when the default "
        "feature takes an undefined value. Bucketing fallbacks are logged by the "
        "`feature_bucketing` module.";
    init_names();
    state.module = Py_NewRef(m.ptr());

    // The names a Python version of this module would import.
    import_names(m, "typing", {"List", "Optional", "Union", "Dict", "Any"});
    import_module(m, "structlog");
    import_module(m, "strawberry");
    import_names(m, "pydantic", {"model_validator"});
    import_names(m,
                 "quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing",
                 {"FeatureBucketing", "FeatureBucketingType", "AttributeDataType",
                  "PredictiveModelBinName"});
    import_names(m,
                 "quorvex_analytics_utils.predictive_models.feature_preparation.feature_reshaping",
                 {"FeatureReshaping", "FeatureReshapingType"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});
    m.attr("logger") = m.attr("structlog").attr("get_logger")(m.attr("__name__"));

    nb::object record_base = m.attr("RecordBase");
    nb::object feature_bucketing = m.attr("FeatureBucketing");
    nb::object data_type = m.attr("AttributeDataType");
    nb::object bin_name = m.attr("PredictiveModelBinName");
    // Looked up now: a patch made before this module was imported must not pass for them.
    auto own_bin = [&](const char *name) {
        return keep_forever(
            own_function(feature_bucketing, name, bucketing::kModule, "FeatureBucketing"));
    };
    state.own_bin_numeric = own_bin("bin_numeric_attribute");
    state.own_bin_categoric = own_bin("bin_categoric_attribute");
    state.feature_bucketing_cls = keep_forever(feature_bucketing);
    state.feature_reshaping_cls = keep_forever(m.attr("FeatureReshaping"));
    state.numerical = keep_forever(data_type.attr("NUMERICAL"));
    state.categorical = keep_forever(data_type.attr("CATEGORICAL"));
    state.bin_null = keep_forever(bin_name.attr("NULL"));
    state.bin_system_default = keep_forever(bin_name.attr("SYSTEM_DEFAULT"));
    state.bin_defined_default = keep_forever(bin_name.attr("DEFINED_DEFAULT"));

    nb::object str = typ::builtin("str"), integer = typ::builtin("int"),
               floating = typ::builtin("float"), boolean = typ::builtin("bool");
    nb::object none = nb::none();
    nb::object scalar = typ::Union({str, integer, floating});
    nb::handle fb = state.feature_bucketing_cls;

    nb::object single_value =
        RecordClass(m, "PredictiveModelDummyEncodingSingleValue", {record_base})
            .field("value", scalar)
            .field("encoded_feature_name", str)
            .field("use_for_undefined", boolean, nb::bool_(false))
            .build();

    nb::object dummy_encoding =
        RecordClass(m, "PredictiveModelDummyEncoding", {record_base})
            .field("attribute", str)
            .field("encoding", typ::List(single_value))
            .after_validator({.name = "check_created_attribute_naming",
                              .returns = nb::str("PredictiveModelDummyEncoding"),
                              .doc = "Validates that no created feature is named like the "
                                     "encoded attribute.\n\nRuns after validation of every "
                                     "record; the ValueError it raises reaches the caller as "
                                     "pydantic's ValidationError."},
                             check_created_attribute_naming_impl)
            .build();

    auto text = [&](const char *name) {
        return Param{.name = name, .rule = Rule::Str, .annotation = str};
    };
    // The column and frame types, declared by the frames module.
    nb::module_ frames = nb::module_::import_("quorvex_analytics_utils.predictive_models.frames");
    Param column_values{.name = "values", .annotation = frames.attr("ColumnValues")};
    nb::object float64_column = frames.attr("Float64Column"),
               uint8_column = frames.attr("UInt8Column");
    nb::object dict_of_columns = typ::Dict(str, typ::Union({float64_column, uint8_column}));
    nb::object pandas_frame = nb::str("pandas.DataFrame"),
               polars_frame = nb::str("polars.DataFrame"), arrow_table = nb::str("pyarrow.Table"),
               dask_frame = nb::str("dask.dataframe.DataFrame");
    nb::object list_of_str = typ::List(str);
    // transform_frame(frame, *, attributes=None) and output_schema(*, attributes=None).
    Param listed_attributes{.name = "attributes",
                            .annotation = typ::Optional(list_of_str),
                            .default_ = none,
                            .keyword_only = true};
    nb::object preparation =
        RecordClass(m, "FeaturePreparation", {record_base})
            .doc(
                "Class stores information about attribute transformations and binning applied "
                "before models creation.")
            .field("transformations", typ::List(m.attr("FeatureReshaping")), nb::list())
            .field("binning", typ::List(fb), nb::list())
            .field("dummy_encoding", typ::List(dummy_encoding), nb::list())
            .method({.name = "get_transformation_formula",
                     .params = {text("attribute")},
                     .returns = str,
                     .doc = "The text that stands for an attribute in a formula: its "
                            "transformation in parentheses, or the name itself.\n\nThe first "
                            "transformation whose `transformed_attribute_name` equals "
                            "`attribute` gives \"(<transformation>)\". `attribute` must be "
                            "exactly str; anything else is refused with a TypeError naming the "
                            "argument."},
                    get_transformation_formula_impl)
            .method({.name = "add_feature_reshaping",
                     .params = {{.name = "transformations",
                                 .rule = Rule::List,
                                 .annotation = typ::List(typ::Dict(str, str))}},
                     .returns = none,
                     .doc = "Appends one `FeatureReshaping` per mapping, in order; changes the "
                            "record in place.\n\n`transformations` must be exactly a list of "
                            "mappings of keyword arguments. An invalid element raises (TypeError "
                            "or ValidationError); records appended before it stay."},
                    add_feature_reshaping_impl)
            .classmethod({.name = "add_feature_bucketing",
                          .params = {{.name = "features_bucketing",
                                      .rule = Rule::Dict,
                                      .annotation = typ::Dict(str, typ::Any())}},
                          .returns = typ::List(fb),
                          .doc = "Builds binnings from a description: one `FeatureBucketing` per "
                                 "attribute, with its null and default "
                                 "bins.\n\n`features_bucketing` must be exactly a dict from "
                                 "attribute name to a description with \"dtype\" (NUMERICAL or "
                                 "CATEGORICAL), \"bins\" (the edges of numerical bins, or one "
                                 "list of categories per categorical bin) and \"bin_vals\", "
                                 "optionally \"bin_frequencies\", \"bin_target_rates\", "
                                 "\"binned_attribute_name\", \"null\" and \"default\" values. A "
                                 "class method: the registry is not changed. Inconsistent "
                                 "lengths raise ValueError."},
                         add_feature_bucketing_impl)
            .method({.name = "get_feature_bucketing",
                     .params = {text("attribute")},
                     .returns = typ::Optional(fb),
                     .doc = "The first `FeatureBucketing` of the attribute, or None. `attribute` "
                            "must be exactly str; anything else is refused with a TypeError "
                            "naming the argument."},
                    get_feature_bucketing_impl)
            .method(
                {.name = "apply_feature_bucketing",
                 .params = {text("attribute"), {.name = "attribute_value", .annotation = scalar}},
                 .returns = typ::Optional(floating),
                 .doc = "The bin value of one raw value of an attribute, as float; None when "
                        "the attribute has no binning.\n\nCalls the binning's "
                        "`bin_numeric_attribute` or `bin_categoric_attribute` (fallback bins "
                        "are logged there); missing values take the null bin. An error from "
                        "the bin lookup is raised again as the same class with \"Binning "
                        "attribute <name>: \" in front, chained to the original. `attribute` "
                        "must be exactly str; anything else is refused with a TypeError "
                        "naming the argument."},
                apply_feature_bucketing_impl)
            .method({.name = "apply_feature_bucketing_batch",
                     .params = {text("attribute"),
                                {.name = "attribute_values",
                                 .rule = Rule::List,
                                 .annotation = typ::builtin("list")}},
                     .returns = typ::Optional(typ::List(floating)),
                     .doc = "The bin values of a list of raw values, in order; None when the "
                            "attribute has no binning.\n\n`attribute_values` must be exactly a "
                            "list. Each element is binned as `apply_feature_bucketing` does "
                            "(results are the bins' values as stored, not converted to float); "
                            "the first error ends the call, prefixed as there. For numpy, "
                            "pandas, Arrow or polars columns use `apply_feature_bucketing_array`."},
                    apply_feature_bucketing_batch_impl)
            .method({.name = "feature_bucketing_exists",
                     .params = {text("attribute")},
                     .returns = boolean,
                     .doc = "True when the registry holds a binning of the attribute. "
                            "`attribute` must be exactly str; anything else is refused with a "
                            "TypeError naming the argument."},
                    feature_bucketing_exists_impl)
            .method({.name = "get_all_transformation_attributes",
                     .returns = list_of_str,
                     .doc = "The source attribute of every transformation, in order (duplicates "
                            "kept)."},
                    get_all_transformation_attributes_impl)
            .method({.name = "get_attributes_created_in_transformations",
                     .returns = list_of_str,
                     .doc = "The names under which transformations keep their results, in order; "
                            "an entry without a new name (None, or its own attribute) is left "
                            "out."},
                    get_attributes_created_in_transformations_impl)
            .method({.name = "get_all_binning_attributes",
                     .returns = list_of_str,
                     .doc = "The attribute of every binning, in order (duplicates kept)."},
                    get_all_binning_attributes_impl)
            .method({.name = "get_attributes_created_in_binning",
                     .returns = list_of_str,
                     .doc = "The `binned_attribute_name` of every binning that has one differing "
                            "from its attribute, in order."},
                    get_attributes_created_in_binning_impl)
            .method({.name = "get_all_dummy_enc_attributes",
                     .returns = list_of_str,
                     .doc = "The attribute of every dummy encoding, in order (duplicates kept)."},
                    get_all_dummy_enc_attributes_impl)
            .method(
                {.name = "apply_dummy_encoding",
                 .params = {text("attribute"), {.name = "attribute_value", .annotation = scalar}},
                 .returns = typ::Optional(typ::Dict(str, integer)),
                 .doc = "The 0/1 indicator features of one value of a dummy-encoded "
                        "attribute, by feature name in encoding order.\n\nThe first encoding "
                        "of the attribute is used; its item whose `value` equals the value "
                        "gets 1. An undefined value sets the feature marked "
                        "`use_for_undefined` to 1 (logged at info level) or leaves all at 0 "
                        "(warning). No encoding of the attribute: None and a warning. "
                        "`attribute` must be exactly str; anything else is refused with a "
                        "TypeError naming the argument."},
                apply_dummy_encoding_impl)
            .method({.name = "apply_feature_bucketing_array",
                     .params = {text("attribute"), column_values},
                     .returns = typ::Optional(float64_column),
                     .doc = kBucketingArrayDoc},
                    apply_feature_bucketing_array_impl)
            .method({.name = "apply_dummy_encoding_array",
                     .params = {text("attribute"), column_values},
                     .returns = typ::Optional(typ::Dict(str, uint8_column)),
                     .doc = kDummyArrayDoc},
                    apply_dummy_encoding_array_impl)
            .method(
                {.name = "transform_frame",
                 .params = {{.name = "frame", .annotation = frames.attr("FrameLike")},
                            listed_attributes},
                 .returns = typ::Union(
                     {pandas_frame, polars_frame, arrow_table, dask_frame, dict_of_columns}),
                 .doc = "Applies every binning and dummy encoding whose attribute is a column of "
                        "`frame` (or one of `attributes`) and returns the created features as "
                        "the same kind of frame: pandas (same index), polars, pyarrow Table (for "
                        "a Table or RecordBatch), a dict of numpy arrays (for a mapping of "
                        "columns), or a lazy Dask DataFrame. One float64 column per binning, "
                        "named `binned_attribute_name` or else the attribute, then the uint8 "
                        "dummy features in `get_all_dummy_enc_attributes` order. Transformation "
                        "formulas are not evaluated: a transformed attribute must be a column.",
                 // Libraries that may come without types (pandas, pyarrow) last: while a type
                 // checker sees their classes as Any, the others still resolve exactly.
                 .overloads = {{.params = {{"frame", polars_frame}}, .returns = polars_frame},
                               {.params = {{"frame", dask_frame}}, .returns = dask_frame},
                               {.params = {{"frame", frames.attr("ColumnMapping")}},
                                .returns = dict_of_columns},
                               {.params = {{"frame", pandas_frame}}, .returns = pandas_frame},
                               {.params = {{"frame", typ::Union({arrow_table,
                                                                 nb::str("pyarrow.RecordBatch")})}},
                                .returns = arrow_table}}},
                transform_frame_impl)
            .method({.name = "output_schema",
                     .params = {listed_attributes},
                     .returns = frames.attr("FrameSchema"),
                     .doc = "The columns `transform_frame` creates for the listed attributes (all "
                            "by default), in order, with their dtypes: a FrameSchema, which is an "
                            "Arrow schema (`__arrow_c_schema__`, `to_pyarrow()`), an empty pandas "
                            "frame (`empty_pandas()`, Dask's `meta`) and a Spark DDL string."},
                    output_schema_impl)
            .build();
    state.own_get_feature_bucketing =
        keep_forever(preparation.attr("__dict__")["get_feature_bucketing"]);

    ViewClass(m, "FeaturePreparationType", preparation)
        .doc("GraphQL view of the registry: its transformations and binnings.")
        .field("binning", typ::List(m.attr("FeatureBucketingType")),
               "The binnings, one per attribute, in registry order.")
        .field("transformations", typ::List(m.attr("FeatureReshapingType")),
               "The transformations, in registry order.")
        .build();
}
