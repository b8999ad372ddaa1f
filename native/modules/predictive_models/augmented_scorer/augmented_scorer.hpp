// What the files of the augmented_scorer module share: the module-lifetime objects, small helpers
// over the record and its external model, and the implementations the module set-up declares.
#pragma once

#include "binding/declare.hpp"
#include "binding/support.hpp"

#include <initializer_list>

namespace qv::scorer {

constexpr const char *kDump = "quorvex_analytics_utils.utils.dump";

/// Module-lifetime objects, deliberately leaked: the enumeration members compared on every call,
/// the content class and the package's own functions (to recognise an overridden method).
struct State {
    PyObject *type_logistic_regression, *type_pmml, *type_xgb, *type_expert_score,
        *type_random_forest, *type_cox_ph_fitter;
    PyObject *category_static, *category_horizon, *category_none;
    PyObject *content_class;
    PyObject *scorer_class;
    PyObject *external_view_class;
    PyObject *preparation_class;
    /// The package's own methods that the formula's fast path stands in for.
    PyObject *own_get_coefficient, *own_feature_names, *own_coefficients,
        *own_transformation_formula;
};
inline State state{};

inline PyObject *key(const char *text) { return interned(text); }

inline nb::object predictive_model_type(nb::handle self) {
    return field(self, key("predictive_model_type"));
}

inline nb::object external_model(nb::handle self) { return field(self, key("external_model")); }

/// Follows `keys` one subscription at a time; empty when any level raises KeyError.
/// Every other error propagates.
inline nb::object follow(nb::handle root, std::initializer_list<PyObject *> keys) {
    nb::object current = nb::borrow(root);
    for (PyObject *k : keys) {
        PyObject *next = PyObject_GetItem(current.ptr(), k);
        if (!next) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) fail();
            PyErr_Clear();
            return {};
        }
        current = nb::steal(next);
    }
    return current;
}

inline PyObject *zero() { return PyLong_FromLong(0); }  // small ints are immortal

/// A number as a float: a float as it is, other numbers converted, None kept; anything else
/// is refused with TypeError naming `what`.
inline nb::object as_float(nb::handle value, const char *what) {
    if (value.is_none() || PyFloat_CheckExact(value.ptr())) return nb::borrow(value);
    PyNumberMethods *num = Py_TYPE(value.ptr())->tp_as_number;
    if (!PyUnicode_Check(value.ptr()) && num && (num->nb_float || num->nb_index)) {
        return check(PyNumber_Float(value.ptr()));
    }
    raise(PyExc_TypeError, "%s must be a number or None, not %s", what,
          Py_TYPE(value.ptr())->tp_name);
}

inline nb::object checked_list(nb::handle value, const char *what) {
    if (value.is_none() || PyList_Check(value.ptr())) return nb::borrow(value);
    raise(PyExc_TypeError, "%s must be a list or None, not %s", what,
          Py_TYPE(value.ptr())->tp_name);
}

inline nb::object checked_str(nb::handle value, const char *what) {
    if (value.is_none() || PyUnicode_Check(value.ptr())) return nb::borrow(value);
    raise(PyExc_TypeError, "%s must be a str or None, not %s", what, Py_TYPE(value.ptr())->tp_name);
}

inline nb::object new_string_io(nb::handle text) {
    return nb::module_::import_("io").attr("StringIO")(text);
}

/// The names that coefficients are ordered by: the external model's, else the record's own.
nb::object coefficient_names(nb::handle self);

// Record and content (record.cpp).
[[noreturn]] nb::object abstract_impl(Args);
nb::object preprocess_attributes_impl(Args a);
nb::object get_coefficient_impl(Args a);
nb::object migrate_impl(Args a);
nb::object get_content_impl(Args a);
nb::object parse_from_content_impl(Args a);

// External model (external_model.cpp).
nb::object get_external_model_stringio_impl(Args a);
nb::object get_external_model_feature_names_impl(Args a);
nb::object get_external_model_intercept_impl(Args a);
nb::object get_external_model_intercept_name_impl(Args a);
nb::object get_external_model_coefficients_impl(Args a);
nb::object get_external_model_best_iteration_impl(Args a);
nb::object get_external_model_number_of_trees_impl(Args a);
nb::object get_external_model_number_of_attributes_impl(Args a);
nb::object get_external_model_best_eval_metric_impl(Args a);
nb::object get_external_model_category_impl(Args a);

// Views and the formula (views.cpp).
nb::object init_impl(Args a);
nb::object coefficients_impl(Args a);
nb::object intercept_impl(Args a);
nb::object intercept_name_impl(Args a);
nb::object best_eval_metric_impl(Args a);
nb::object best_iteration_impl(Args a);
nb::object number_of_attributes_impl(Args a);
nb::object number_of_trees_impl(Args a);
nb::object external_model_impl(Args a);
nb::object category_impl(Args a);
nb::object formula_impl(Args a);

// Whole frames and cached content (scoring.cpp).
nb::object score_frame_impl(Args a);
nb::object score_output_schema_impl(Args a);
nb::object parse_from_content_cached_impl(Args a);

}  // namespace qv::scorer
