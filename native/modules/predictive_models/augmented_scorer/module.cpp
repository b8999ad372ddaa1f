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
    known.content_class = content.inc_ref().ptr();

    nb::object model_type = declare_str_enum(m, "PredictiveModelType",
                                             {{"LOGISTIC_REGRESSION", "LOGISTIC_REGRESSION"},
                                              {"PMML", "PMML"},
                                              {"XGB", "XGB"},
                                              {"EXPERT_SCORE", "EXPERT_SCORE"},
                                              {"RANDOM_FOREST", "RANDOM_FOREST"},
                                              {"COX_PH_FITTER", "COX_PH_FITTER"}},
                                             true);
    known.type_logistic_regression = keep_forever(model_type.attr("LOGISTIC_REGRESSION"));
    known.type_pmml = keep_forever(model_type.attr("PMML"));
    known.type_xgb = keep_forever(model_type.attr("XGB"));
    known.type_expert_score = keep_forever(model_type.attr("EXPERT_SCORE"));
    known.type_random_forest = keep_forever(model_type.attr("RANDOM_FOREST"));
    known.type_cox_ph_fitter = keep_forever(model_type.attr("COX_PH_FITTER"));

    nb::object category = declare_str_enum(
        m, "PredictiveModelCategory", {{"STATIC", "STATIC"}, {"HORIZON", "HORIZON"}, {"NONE", "NONE"}},
        true);
    known.category_static = keep_forever(category.attr("STATIC"));
    known.category_horizon = keep_forever(category.attr("HORIZON"));
    known.category_none = keep_forever(category.attr("NONE"));

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
        {"get_external_model_stringio", string_io, get_external_model_stringio},
        {"get_external_model_feature_names", typ::Optional(typ::List(str_t)),
         get_external_model_feature_names},
        {"get_external_model_intercept", float_opt, get_external_model_intercept},
        {"get_external_model_intercept_name", typ::Optional(str_t),
         get_external_model_intercept_name},
        {"get_external_model_coefficients", typ::Optional(typ::List(typ::builtin("float"))),
         get_external_model_coefficients},
        {"get_external_model_best_iteration", int_opt, get_external_model_best_iteration},
        {"get_external_model_number_of_trees", int_opt, get_external_model_number_of_trees},
        {"get_external_model_number_of_attributes", int_opt,
         get_external_model_number_of_attributes},
        {"get_external_model_best_eval_metric", float_opt, get_external_model_best_eval_metric},
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
        .after_validator({"preprocess_attributes", {}, nb::str("AbstractAugmentedScorer")},
                         preprocess_attributes)
        .method({"get_content", {}, content}, get_content)
        .classmethod({"parse_from_content",
                      {Param{"content", Rule::Any, content}},
                      nb::str("AbstractAugmentedScorer")},
                     parse_from_content)
        .method({"get_coefficient", {Param{"attribute", Rule::Str, str_t}}, float_opt},
                get_coefficient)
        .wrapped_method({"_migrate", {}, none_t}, not_implemented, abstract);
    for (const Getter &g : getters)
        base.wrapped_method({g.name, {}, g.returns}, not_implemented, abstract);
    base.method({"get_external_model_category", {}, category}, get_external_model_category);
    nb::object abstract_class = base.build();
    auto own = [&](nb::handle cls, const char *name) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), key(name));
        Py_XINCREF(found);
        return found;
    };
    known.own_get_coefficient = own(abstract_class, "get_coefficient");
    known.preparation_class = preparation.inc_ref().ptr();
    known.own_transformation_formula = own(preparation, "get_transformation_formula");

    RecordClass scorer(m, "AugmentedScorer", {abstract_class});
    scorer.field("directory_name", typ::Optional(str_t), nb::none())
        .field("external_model", typ::Dict(str_t, typ::Any()),
               Field(nb::arg("default_factory") = typ::builtin("dict"), nb::arg("exclude") = true))
        .method({"_migrate", {}, none_t}, migrate);
    for (const Getter &g : getters) scorer.method({g.name, {}, g.returns}, g.impl);
    nb::object scorer_class = scorer.build();
    known.scorer_class = scorer_class.inc_ref().ptr();
    known.own_feature_names = own(scorer_class, "get_external_model_feature_names");
    known.own_coefficients = own(scorer_class, "get_external_model_coefficients");

    nb::object external_view =
        ViewClass(m, "ExternalPredictiveModelType", nb::none())
            .method({"__init__", {Param{"augmented_model", Rule::Any, scorer_class}}, none_t},
                    view_init)
            .self_resolver({"coefficients", {}, typ::Optional(typ::List(typ::builtin("float")))},
                           view_coefficients)
            .self_resolver({"intercept", {}, float_opt}, view_intercept)
            .self_resolver({"intercept_name", {}, typ::Optional(str_t)}, view_intercept_name)
            .self_resolver({"best_eval_metric", {}, float_opt}, view_best_eval_metric)
            .self_resolver({"best_iteration", {}, int_opt}, view_best_iteration)
            .self_resolver({"number_of_attributes", {}, int_opt}, view_number_of_attributes)
            .self_resolver({"number_of_trees", {}, int_opt}, view_number_of_trees)
            .build();
    known.external_view_class = external_view.inc_ref().ptr();

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
        .resolver({"formula", {}, typ::Optional(str_t)}, view_formula, scorer_class)
        .resolver({"external_model", {}, external_view}, view_external_model, scorer_class)
        .resolver({"category", {}, category}, view_category, scorer_class)
        .build();
}
