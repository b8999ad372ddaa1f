// Access to the external model attached to the record (a stored JSON-like mapping or PMML text).
#include "augmented_scorer.hpp"

namespace qv::scorer {

nb::object get_external_model_stringio_impl(Args a) {
    nb::handle self = a[0];
    nb::object model = external_model(self);
    if (identical_or_equal(predictive_model_type(self), state.type_pmml))
        return new_string_io(get_item(model, nb::handle(key("pmml_model"))));
    return new_string_io(nb::module_::import_(kDump).attr("safe_dumps_json")(model));
}

nb::object get_external_model_feature_names_impl(Args a) {
    nb::handle self = a[0];
    nb::object value = follow(external_model(self), {key("feature_names")});
    if (!value.is_valid()) return nb::none();
    return checked_list(value, "Feature names");
}

nb::object get_external_model_intercept_impl(Args a) {
    nb::handle self = a[0];
    nb::object model = external_model(self);
    nb::object value = follow(model, {key("intercept")});
    if (!value.is_valid()) value = follow(model, {key("model"), key("intercept_"), zero()});
    if (!value.is_valid())
        value = follow(model, {key("logreg_model_params"), key("intercept_"), zero()});
    if (!value.is_valid()) return nb::none();
    return as_float(value, "Intercept");
}

nb::object get_external_model_intercept_name_impl(Args a) {
    nb::handle self = a[0];
    nb::object value = follow(external_model(self), {key("intercept_name")});
    if (!value.is_valid()) return nb::none();
    return checked_str(value, "Intercept name");
}

nb::object get_external_model_coefficients_impl(Args a) {
    nb::handle self = a[0];
    nb::object model = external_model(self);
    nb::object value = follow(model, {key("model"), key("coef_"), zero()});
    if (!value.is_valid())
        value = follow(model, {key("logreg_model_params"), key("coef_"), zero()});
    if (!value.is_valid()) return nb::none();
    return checked_list(value, "Coefficients");
}

/// The value at `path` under "xgb_model" / "learner" of an XGB model; empty otherwise.
nb::object xgb_figure(nb::handle self, std::initializer_list<PyObject *> path) {
    if (!identical_or_equal(predictive_model_type(self), state.type_xgb)) return {};
    nb::object learner = follow(external_model(self), {key("xgb_model"), key("learner")});
    if (!learner.is_valid()) return {};
    return follow(learner, path);
}

nb::object as_int(nb::handle value) { return check(PyNumber_Long(value.ptr())); }

nb::object get_external_model_best_iteration_impl(Args a) {
    nb::handle self = a[0];
    nb::object value = xgb_figure(self, {key("attributes"), key("best_iteration")});
    if (!value.is_valid()) return nb::none();
    return check(PyNumber_Add(as_int(value).ptr(), PyLong_FromLong(1)));
}

nb::object get_external_model_number_of_trees_impl(Args a) {
    nb::handle self = a[0];
    nb::object value = xgb_figure(
        self, {key("gradient_booster"), key("model"), key("gbtree_model_param"), key("num_trees")});
    // XGBoost 2 writes a dart booster's trees one level down, under its "gbtree" booster.
    if (!value.is_valid()) {
        nb::object booster = xgb_figure(self, {key("gradient_booster"), key("name")});
        if (booster.is_valid() && identical_or_equal(booster, key("dart")))
            value = xgb_figure(self, {key("gradient_booster"), key("gbtree"), key("model"),
                                      key("gbtree_model_param"), key("num_trees")});
    }
    return value.is_valid() ? as_int(value) : nb::none();
}

nb::object get_external_model_number_of_attributes_impl(Args a) {
    nb::handle self = a[0];
    nb::object value = xgb_figure(self, {key("learner_model_param"), key("num_feature")});
    return value.is_valid() ? as_int(value) : nb::none();
}

nb::object get_external_model_best_eval_metric_impl(Args a) {
    nb::handle self = a[0];
    nb::object value = xgb_figure(self, {key("attributes"), key("best_score")});
    if (!value.is_valid()) return nb::none();
    return check(PyNumber_Float(value.ptr()));
}

nb::object get_external_model_category_impl(Args a) {
    nb::handle self = a[0];
    nb::object type = predictive_model_type(self);
    if (identical_or_equal(type, state.type_cox_ph_fitter))
        return nb::borrow(state.category_horizon);
    for (PyObject *member : {state.type_logistic_regression, state.type_xgb,
                             state.type_expert_score, state.type_random_forest, state.type_pmml})
        if (identical_or_equal(type, member)) return nb::borrow(state.category_static);
    return nb::borrow(state.category_none);
}

}  // namespace qv::scorer
