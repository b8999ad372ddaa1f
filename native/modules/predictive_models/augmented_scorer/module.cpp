// The aggregate record of one scoring model: its content round trip, consistency check, access to
// the attached external model, and its GraphQL views with the logistic regression's formula.
// This file declares the module's enumerations, record classes and views.
#include "augmented_scorer.hpp"

#include <string>

NB_MODULE(augmented_scorer, m) {
    using namespace qv;
    using namespace qv::scorer;
    qv::init_native_types();
    m.doc() =
        "The aggregate record of one predictive scoring model, its content round trip, its "
        "access to the external model, and its GraphQL views.\n\n`AugmentedScorer` ties "
        "the attribute list, model type and target to the preparation registry, profile, "
        "quality and monitoring records and the fitted external model (a plain mapping, "
        "the model's own export). Validation rejects preparation steps on unknown "
        "attributes. `get_content` / `parse_from_content` store and rebuild it; "
        "`AugmentedScorerType` presents it through GraphQL, with the logistic regression's "
        "`formula`.";
    const char *pkg = "quorvex_analytics_utils.predictive_models.";
    auto import_from = [&](const char *path, const char *name) {
        return nb::module_::import_((std::string(pkg) + path).c_str()).attr(name);
    };
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_::import_(kDump);
    nb::object preparation =
        import_from("feature_preparation.feature_preparation", "FeaturePreparation");
    nb::object preparation_view =
        import_from("feature_preparation.feature_preparation", "FeaturePreparationType");
    nb::object profile = import_from("scorer_profile.scorer_profile", "PredictiveScorerProfile");
    nb::object profile_view =
        import_from("scorer_profile.scorer_profile", "PredictiveScorerProfileType");
    nb::object quality = import_from("scorer_quality.scorer_quality", "PredictiveScorerQuality");
    nb::object quality_view =
        import_from("scorer_quality.scorer_quality", "PredictiveScorerQualityType");
    nb::object watch = import_from("scorer_watch.scorer_watch", "PredictiveScorerWatch");
    nb::object watch_view = import_from("scorer_watch.scorer_watch", "PredictiveScorerWatchType");
    nb::object content = import_from("content", "AugmentedScorerContent");
    state.content_class = keep_forever(content);

    nb::object model_type = declare_str_enum(m, "PredictiveModelType",
                                             {{"LOGISTIC_REGRESSION", "LOGISTIC_REGRESSION"},
                                              {"PMML", "PMML"},
                                              {"XGB", "XGB"},
                                              {"EXPERT_SCORE", "EXPERT_SCORE"},
                                              {"RANDOM_FOREST", "RANDOM_FOREST"},
                                              {"COX_PH_FITTER", "COX_PH_FITTER"}},
                                             true,
                                             "Kind of the external model: LOGISTIC_REGRESSION, "
                                             "PMML, XGB, EXPERT_SCORE, RANDOM_FOREST or "
                                             "COX_PH_FITTER. Also a GraphQL enumeration.");
    state.type_logistic_regression = keep_forever(model_type.attr("LOGISTIC_REGRESSION"));
    state.type_pmml = keep_forever(model_type.attr("PMML"));
    state.type_xgb = keep_forever(model_type.attr("XGB"));
    state.type_expert_score = keep_forever(model_type.attr("EXPERT_SCORE"));
    state.type_random_forest = keep_forever(model_type.attr("RANDOM_FOREST"));
    state.type_cox_ph_fitter = keep_forever(model_type.attr("COX_PH_FITTER"));

    nb::object category = declare_str_enum(
        m, "PredictiveModelCategory",
        {{"STATIC", "STATIC"}, {"HORIZON", "HORIZON"}, {"NONE", "NONE"}}, true,
        "How a model's output is read: STATIC (a score), HORIZON (over time, survival models) or "
        "NONE (unknown type). Also a GraphQL enumeration.");
    state.category_static = keep_forever(category.attr("STATIC"));
    state.category_horizon = keep_forever(category.attr("HORIZON"));
    state.category_none = keep_forever(category.attr("NONE"));

    nb::object abstract = nb::module_::import_("abc").attr("abstractmethod");
    nb::object str_t = typ::builtin("str");
    nb::object float_opt = typ::Optional(typ::builtin("float"));
    nb::object int_opt = typ::Optional(typ::builtin("int"));
    nb::object none_t = nb::none();
    nb::object string_io = nb::module_::import_("io").attr("StringIO");

    struct Getter {
        const char *name;
        nb::object returns;
        Impl impl;
        const char *doc;
    };
    const Getter getters[] = {
        {"get_external_model_stringio", string_io, get_external_model_stringio_impl,
         "The external model as storage text in a new StringIO at position 0: the \"pmml_model\" "
         "text for a PMML model, else the mapping's JSON text (indent 2).\n\nA PMML model "
         "without \"pmml_model\" raises KeyError."},
        {"get_external_model_feature_names", typ::Optional(typ::List(str_t)),
         get_external_model_feature_names_impl,
         "The model's \"feature_names\" list, or None when the key is missing; a value that is "
         "no list raises TypeError."},
        {"get_external_model_intercept", float_opt, get_external_model_intercept_impl,
         "The intercept as float: \"intercept\", else the first \"intercept_\" of \"model\", "
         "else of \"logreg_model_params\"; None when none is there.\n\nOnly a missing key moves "
         "on to the next choice; any other error propagates."},
        {"get_external_model_intercept_name", typ::Optional(str_t),
         get_external_model_intercept_name_impl,
         "The model's \"intercept_name\", or None when the key is missing; a value that is no "
         "str raises TypeError."},
        {"get_external_model_coefficients", typ::Optional(typ::List(typ::builtin("float"))),
         get_external_model_coefficients_impl,
         "The coefficients: the first row of \"coef_\" under \"model\", else under "
         "\"logreg_model_params\"; None when neither is there.\n\nA value that is no list raises "
         "TypeError."},
        {"get_external_model_best_iteration", int_opt, get_external_model_best_iteration_impl,
         "For an XGB model the stored best iteration plus 1 (the number of trees used); None for "
         "other types or when the path is missing."},
        {"get_external_model_number_of_trees", int_opt, get_external_model_number_of_trees_impl,
         "For an XGB model its number of trees; None for other types or when the path is missing."},
        {"get_external_model_number_of_attributes", int_opt,
         get_external_model_number_of_attributes_impl,
         "For an XGB model its number of input features; None for other types or when the path "
         "is missing."},
        {"get_external_model_best_eval_metric", float_opt, get_external_model_best_eval_metric_impl,
         "For an XGB model its best evaluation score as float; None for other types or when the "
         "path is missing."},
    };

    RecordClass base(m, "AbstractAugmentedScorer",
                     {record_base, nb::module_::import_("abc").attr("ABC")});
    base.doc(
            "Deploys a statistical model into the application that runs it.\n\n"
            "After the record is created, the data about the model's development is filled in "
            "by the development tooling; before the model is put into production the record is "
            "serialised into a YAML file.")
        .field("attributes", typ::List(str_t),
               Field(nb::arg("default_factory") = typ::builtin("list")))
        .field("predictive_model_type", typ::Optional(model_type), nb::none())
        .field("target", typ::Optional(str_t), nb::none())
        .field("target_class", typ::Optional(str_t), nb::none())
        .field("feature_preparation", preparation, preparation())
        .field("description", profile, profile())
        .field("performance", quality, quality())
        .field("monitoring", watch, watch())
        .after_validator({.name = "preprocess_attributes",
                          .returns = nb::str("AbstractAugmentedScorer"),
                          .doc = "Validates that every preparation step refers to a known "
                                 "attribute.\n\nTransformations, binnings and dummy encodings "
                                 "must name attributes of `attributes` or ones created by "
                                 "earlier steps; otherwise a ValueError listing the unknown "
                                 "names, which pydantic reports as ValidationError."},
                         preprocess_attributes_impl)
        .method({.name = "get_content",
                 .returns = content,
                 .doc = "The record as storable content: YAML text of the record (without the "
                        "external model and image bytes), the external model as JSON or PMML "
                        "text, the attached images as byte streams by file name.\n\nThe record "
                        "is not changed; images without bytes are left out of the image streams."},
                get_content_impl)
        .classmethod({.name = "parse_from_content",
                      .params = {{.name = "content", .annotation = content}},
                      .returns = nb::str("AbstractAugmentedScorer"),
                      .doc = "Rebuilds a scorer from content made by `get_content`: reads the "
                             "YAML, adds the external model (JSON before PMML), validates, puts "
                             "the image bytes back and migrates old records.\n\nThe streams are "
                             "read from position 0 and left at their end. An image named in the "
                             "record but missing from the content keeps no bytes (None); invalid "
                             "data raises ValidationError."},
                     parse_from_content_impl)
        .method({.name = "get_coefficient",
                 .params = {{.name = "attribute", .rule = Rule::Str, .annotation = str_t}},
                 .returns = float_opt,
                 .doc = "The coefficient of an attribute: its position in the feature names (or "
                        "in `attributes` when there are none) picks the coefficient; None when "
                        "the name or the coefficients are missing.\n\n`attribute` must be "
                        "exactly str (else TypeError)."},
                get_coefficient_impl)
        .wrapped_method({.name = "_migrate",
                         .returns = none_t,
                         .doc = "Brings a loaded record up to date in place (fills the model "
                                "name and feature names that older records lack)."},
                        abstract_impl, abstract);
    for (const Getter &g : getters)
        base.wrapped_method({.name = g.name, .returns = g.returns, .doc = g.doc}, abstract_impl,
                            abstract);
    base.method({.name = "get_external_model_category",
                 .returns = category,
                 .doc = "The category of the model type: HORIZON for COX_PH_FITTER, STATIC for "
                        "the other known types, NONE without a type."},
                get_external_model_category_impl);
    nb::object abstract_class = base.build();
    auto own = [&](nb::handle cls, const char *name) {
        return type_lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), key(name)).release().ptr();
    };
    state.own_get_coefficient = own(abstract_class, "get_coefficient");
    state.preparation_class = keep_forever(preparation);
    state.own_transformation_formula = own(preparation, "get_transformation_formula");

    RecordClass scorer(m, "AugmentedScorer", {abstract_class});
    scorer.field("directory_name", typ::Optional(str_t), nb::none())
        .field("external_model", typ::Dict(str_t, typ::Any()),
               Field(nb::arg("default_factory") = typ::builtin("dict"), nb::arg("exclude") = true))
        .method({.name = "_migrate",
                 .returns = none_t,
                 .doc = "Brings a loaded record up to date in place (fills the model name and "
                        "feature names that older records lack)."},
                migrate_impl);
    for (const Getter &g : getters)
        scorer.method({.name = g.name, .returns = g.returns, .doc = g.doc}, g.impl);
    // The frame types, declared by the frames module.
    nb::module_ frames = nb::module_::import_(std::string(pkg).append("frames").c_str());
    nb::object scores = frames.attr("Float64Column");
    nb::object pandas_scores = nb::str("pandas.Series[float]"),
               dask_scores = nb::str("dask.dataframe.Series");
    scorer
        .method(
            {.name = "score_frame",
             .params = {Param{.name = "frame", .annotation = frames.attr("FrameLike")},
                        Param{.name = "probability",
                              .annotation = typ::builtin("bool"),
                              .default_ = nb::bool_(false),
                              .keyword_only = true}},
             .returns = typ::Union({scores, pandas_scores, dask_scores}),
             .doc = "The linear predictor of a LOGISTIC_REGRESSION model for every row of "
                    "`frame` (pandas, polars, pyarrow, a mapping of columns, or Dask): the "
                    "intercept plus, for each name the formula uses, the coefficient times the "
                    "feature (the feature alone when it has no coefficient), in full precision. "
                    "Features come from `transform_frame` or else from the frame's own columns. "
                    "`probability=True` gives the logistic of it. A float64 numpy array (for "
                    "polars, pyarrow or a mapping), or a pandas Series named 'score' with the "
                    "frame's index (a lazy Dask Series for Dask).",
             // Libraries that may come without types (pandas, pyarrow) last, as in
             // transform_frame.
             .overloads = {{.params = {{"frame", typ::Union({nb::str("polars.DataFrame"),
                                                             frames.attr("ColumnMapping")})}},
                            .returns = scores},
                           {.params = {{"frame", nb::str("dask.dataframe.DataFrame")}},
                            .returns = dask_scores},
                           {.params = {{"frame", nb::str("pandas.DataFrame")}},
                            .returns = pandas_scores},
                           {.params = {{"frame", typ::Union({nb::str("pyarrow.Table"),
                                                             nb::str("pyarrow.RecordBatch")})}},
                            .returns = scores}}},
            score_frame_impl)
        .method({.name = "output_schema",
                 .params = {},
                 .returns = frames.attr("FrameSchema"),
                 .doc = "The column `score_frame` creates: a FrameSchema of one float64 'score'."},
                score_output_schema_impl)
        .classmethod({.name = "parse_from_content_cached",
                      .params = {Param{.name = "content", .annotation = content}},
                      .returns = nb::str("AbstractAugmentedScorer"),
                      .doc = "`parse_from_content(content)` once per process for each distinct "
                             "content (by its digest): the scorer returned is shared by every "
                             "caller of the same content and must not be changed. For cluster "
                             "workers that read the model from storage."},
                     parse_from_content_cached_impl);
    nb::object scorer_class = scorer.build();
    state.scorer_class = keep_forever(scorer_class);
    state.own_feature_names = own(scorer_class, "get_external_model_feature_names");
    state.own_coefficients = own(scorer_class, "get_external_model_coefficients");

    nb::object external_view =
        ViewClass(m, "ExternalPredictiveModelType", nb::none())
            .doc(
                "GraphQL view of the external model's parameters; every field calls the "
                "scorer's getter anew.")
            .method({.name = "__init__",
                     .params = {{.name = "augmented_model", .annotation = scorer_class}},
                     .returns = none_t,
                     .doc = "Shows the parameters of `augmented_model`."},
                    init_impl)
            .self_resolver({.name = "coefficients",
                            .returns = typ::Optional(typ::List(typ::builtin("float"))),
                            .doc = "The model's coefficients; null when it has none."},
                           coefficients_impl)
            .self_resolver({.name = "intercept",
                            .returns = float_opt,
                            .doc = "The intercept as float; null when the model has none."},
                           intercept_impl)
            .self_resolver({.name = "intercept_name",
                            .returns = typ::Optional(str_t),
                            .doc = "The name of the intercept term; null when not given."},
                           intercept_name_impl)
            .self_resolver({.name = "best_eval_metric",
                            .returns = float_opt,
                            .doc = "XGB only: the best evaluation score."},
                           best_eval_metric_impl)
            .self_resolver({.name = "best_iteration",
                            .returns = int_opt,
                            .doc = "XGB only: the best iteration plus 1."},
                           best_iteration_impl)
            .self_resolver({.name = "number_of_attributes",
                            .returns = int_opt,
                            .doc = "XGB only: the number of input features."},
                           number_of_attributes_impl)
            .self_resolver({.name = "number_of_trees",
                            .returns = int_opt,
                            .doc = "XGB only: the number of trees."},
                           number_of_trees_impl)
            .build();
    state.external_view_class = keep_forever(external_view);

    ViewClass(m, "AugmentedScorerType", scorer_class)
        .doc(
            "GraphQL view of a scorer: its fields, profile, quality, monitoring and preparation "
            "views, the formula, the external model's parameters and the category.\n\nA query "
            "may return the `AugmentedScorer` record itself or "
            "`AugmentedScorerType.from_pydantic(record)`; both resolve alike.")
        .auto_field("directory_name", "The folder name the model is stored under.")
        .auto_field("attributes", "The model's input attributes.")
        .auto_field("predictive_model_type", "Kind of the external model.")
        .auto_field("target", "The predicted target.")
        .auto_field("target_class", "The target class the model predicts.")
        .field("feature_preparation", preparation_view,
               "Transformations and binnings applied before scoring.")
        .field("description", profile_view, "The development profile.")
        .field("performance", quality_view, "Quality metrics.")
        .field("monitoring", watch_view, "Binnings kept for monitoring.")
        .resolver({.name = "formula",
                   .returns = typ::Optional(str_t),
                   .doc = "The logistic regression's formula as text, for example -1.5000 + "
                          "0.2500 * age - 0.1250 * (log(income)); null for other model "
                          "types.\n\nIntercept and coefficients with four decimals; a "
                          "transformed attribute appears as its formula in parentheses; an "
                          "attribute without coefficient as \" + name\"."},
                  formula_impl, scorer_class)
        .resolver({.name = "external_model",
                   .returns = external_view,
                   .doc = "The parameters of the external model."},
                  external_model_impl, scorer_class)
        .resolver({.name = "category",
                   .returns = category,
                   .doc = "The model category (STATIC, HORIZON or NONE)."},
                  category_impl, scorer_class)
        .build();
}
