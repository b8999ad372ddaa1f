// The aggregate record of one scoring model: its content round trip, consistency check, access to
// the attached external model, and its GraphQL views with the logistic regression's formula.
// This file declares the module's enumerations, record classes and views.
#include "augmented_scorer.hpp"

#include <string>

NB_MODULE(augmented_scorer, m) {
    using namespace qv;
    using namespace qv::scorer;
    qv::init_native_types();
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
    state.content_class = content.inc_ref().ptr();

    nb::object model_type = declare_str_enum(m, "PredictiveModelType",
                                             {{"LOGISTIC_REGRESSION", "LOGISTIC_REGRESSION"},
                                              {"PMML", "PMML"},
                                              {"XGB", "XGB"},
                                              {"EXPERT_SCORE", "EXPERT_SCORE"},
                                              {"RANDOM_FOREST", "RANDOM_FOREST"},
                                              {"COX_PH_FITTER", "COX_PH_FITTER"}},
                                             true);
    state.type_logistic_regression = keep_forever(model_type.attr("LOGISTIC_REGRESSION"));
    state.type_pmml = keep_forever(model_type.attr("PMML"));
    state.type_xgb = keep_forever(model_type.attr("XGB"));
    state.type_expert_score = keep_forever(model_type.attr("EXPERT_SCORE"));
    state.type_random_forest = keep_forever(model_type.attr("RANDOM_FOREST"));
    state.type_cox_ph_fitter = keep_forever(model_type.attr("COX_PH_FITTER"));

    nb::object category = declare_str_enum(
        m, "PredictiveModelCategory", {{"STATIC", "STATIC"}, {"HORIZON", "HORIZON"}, {"NONE", "NONE"}},
        true);
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
    };
    const Getter getters[] = {
        {"get_external_model_stringio", string_io, get_external_model_stringio_impl},
        {"get_external_model_feature_names", typ::Optional(typ::List(str_t)),
         get_external_model_feature_names_impl},
        {"get_external_model_intercept", float_opt, get_external_model_intercept_impl},
        {"get_external_model_intercept_name", typ::Optional(str_t),
         get_external_model_intercept_name_impl},
        {"get_external_model_coefficients", typ::Optional(typ::List(typ::builtin("float"))),
         get_external_model_coefficients_impl},
        {"get_external_model_best_iteration", int_opt, get_external_model_best_iteration_impl},
        {"get_external_model_number_of_trees", int_opt, get_external_model_number_of_trees_impl},
        {"get_external_model_number_of_attributes", int_opt,
         get_external_model_number_of_attributes_impl},
        {"get_external_model_best_eval_metric", float_opt, get_external_model_best_eval_metric_impl},
    };

    RecordClass base(m, "AbstractAugmentedScorer",
                     {record_base, nb::module_::import_("abc").attr("ABC")});
    base.doc("Deploys a statistical model into the application that runs it.\n\n"
             "After the record is created, the data about the model's development is filled in "
             "by the development tooling; before the model is put into production the record is "
             "serialised into a YAML file.")
        .field("attributes", typ::List(str_t), Field(nb::arg("default_factory") = typ::builtin("list")))
        .field("predictive_model_type", typ::Optional(model_type), nb::none())
        .field("target", typ::Optional(str_t), nb::none())
        .field("target_class", typ::Optional(str_t), nb::none())
        .field("feature_preparation", preparation, preparation())
        .field("description", profile, profile())
        .field("performance", quality, quality())
        .field("monitoring", watch, watch())
        .after_validator({.name = "preprocess_attributes",
                          .returns = nb::str("AbstractAugmentedScorer")},
                         preprocess_attributes_impl)
        .method({.name = "get_content", .returns = content}, get_content_impl)
        .classmethod({.name = "parse_from_content",
                      .params = {{.name = "content", .annotation = content}},
                      .returns = nb::str("AbstractAugmentedScorer")},
                     parse_from_content_impl)
        .method({.name = "get_coefficient",
                 .params = {{.name = "attribute", .rule = Rule::Str, .annotation = str_t}},
                 .returns = float_opt},
                get_coefficient_impl)
        .wrapped_method({.name = "_migrate", .returns = none_t}, abstract_impl, abstract);
    for (const Getter &g : getters)
        base.wrapped_method({.name = g.name, .returns = g.returns}, abstract_impl, abstract);
    base.method({.name = "get_external_model_category",
                 .returns = category}, get_external_model_category_impl);
    nb::object abstract_class = base.build();
    auto own = [&](nb::handle cls, const char *name) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), key(name));
        Py_XINCREF(found);
        return found;
    };
    state.own_get_coefficient = own(abstract_class, "get_coefficient");
    state.preparation_class = preparation.inc_ref().ptr();
    state.own_transformation_formula = own(preparation, "get_transformation_formula");

    RecordClass scorer(m, "AugmentedScorer", {abstract_class});
    scorer.field("directory_name", typ::Optional(str_t), nb::none())
        .field("external_model", typ::Dict(str_t, typ::Any()),
               Field(nb::arg("default_factory") = typ::builtin("dict"), nb::arg("exclude") = true))
        .method({.name = "_migrate", .returns = none_t}, migrate_impl);
    for (const Getter &g : getters) scorer.method({.name = g.name, .returns = g.returns}, g.impl);
    scorer
        .method({.name = "score_frame",
                 .params = {Param{.name = "frame"},
                            Param{.name = "probability",
                                  .annotation = typ::builtin("bool"),
                                  .default_ = nb::bool_(false),
                                  .keyword_only = true}},
                 .doc = "The linear predictor of a LOGISTIC_REGRESSION model for every row of "
                        "`frame` (pandas, polars, pyarrow, a mapping of columns, or Dask): the "
                        "intercept plus, for each name the formula uses, the coefficient times the "
                        "feature (the feature alone when it has no coefficient), in full precision. "
                        "Features come from `transform_frame` or else from the frame's own columns. "
                        "`probability=True` gives the logistic of it. A numpy array, or a pandas "
                        "Series named 'score' with the frame's index (a lazy Dask Series for Dask)."},
                score_frame_impl)
        .method({.name = "output_schema",
                 .params = {},
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
    state.scorer_class = scorer_class.inc_ref().ptr();
    state.own_feature_names = own(scorer_class, "get_external_model_feature_names");
    state.own_coefficients = own(scorer_class, "get_external_model_coefficients");

    nb::object external_view =
        ViewClass(m, "ExternalPredictiveModelType", nb::none())
            .method({.name = "__init__",
                     .params = {{.name = "augmented_model", .annotation = scorer_class}},
                     .returns = none_t},
                    init_impl)
            .self_resolver({.name = "coefficients",
                            .returns = typ::Optional(typ::List(typ::builtin("float")))},
                           coefficients_impl)
            .self_resolver({.name = "intercept", .returns = float_opt}, intercept_impl)
            .self_resolver({.name = "intercept_name",
                            .returns = typ::Optional(str_t)}, intercept_name_impl)
            .self_resolver({.name = "best_eval_metric",
                            .returns = float_opt}, best_eval_metric_impl)
            .self_resolver({.name = "best_iteration", .returns = int_opt}, best_iteration_impl)
            .self_resolver({.name = "number_of_attributes",
                            .returns = int_opt}, number_of_attributes_impl)
            .self_resolver({.name = "number_of_trees", .returns = int_opt}, number_of_trees_impl)
            .build();
    state.external_view_class = external_view.inc_ref().ptr();

    ViewClass(m, "AugmentedScorerType", scorer_class)
        .auto_field("directory_name")
        .auto_field("attributes")
        .auto_field("predictive_model_type")
        .auto_field("target")
        .auto_field("target_class")
        .field("feature_preparation", preparation_view)
        .field("description", profile_view)
        .field("performance", quality_view)
        .field("monitoring", watch_view)
        .resolver({.name = "formula", .returns = typ::Optional(str_t)}, formula_impl, scorer_class)
        .resolver({.name = "external_model",
                   .returns = external_view}, external_model_impl, scorer_class)
        .resolver({.name = "category", .returns = category}, category_impl, scorer_class)
        .build();
}
