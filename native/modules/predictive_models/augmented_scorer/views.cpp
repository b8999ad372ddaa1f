// The GraphQL views of the record and its external model, with the logistic regression's formula.
#include "augmented_scorer.hpp"
#include "kernels/formula.hpp"

#include <string>

namespace qv::scorer {

nb::object augmented_model(nb::handle view) { return view.attr("augmented_model"); }

nb::object init_impl(Args a) {
    nb::handle self = a[0], augmented_model = a[1];
    set_attr(self, key("augmented_model"), augmented_model);
    return nb::none();
}

nb::object coefficients_impl(Args a) {
    nb::handle self = a[0];
    return checked_list(call_method(augmented_model(self), key("get_external_model_coefficients")),
                        "Coefficients");
}
nb::object intercept_impl(Args a) {
    nb::handle self = a[0];
    return as_float(call_method(augmented_model(self), key("get_external_model_intercept")),
                    "Intercept");
}
nb::object intercept_name_impl(Args a) {
    nb::handle self = a[0];
    return checked_str(call_method(augmented_model(self), key("get_external_model_intercept_name")),
                       "Intercept name");
}
nb::object best_eval_metric_impl(Args a) {
    nb::handle self = a[0];
    return as_float(call_method(augmented_model(self), key("get_external_model_best_eval_metric")),
                    "Best evaluation metric");
}
nb::object best_iteration_impl(Args a) {
    nb::handle self = a[0];
    return call_method(augmented_model(self), key("get_external_model_best_iteration"));
}
nb::object number_of_attributes_impl(Args a) {
    nb::handle self = a[0];
    return call_method(augmented_model(self), key("get_external_model_number_of_attributes"));
}
nb::object number_of_trees_impl(Args a) {
    nb::handle self = a[0];
    return call_method(augmented_model(self), key("get_external_model_number_of_trees"));
}

nb::object external_model_impl(Args a) {
    nb::handle parent = a[1];
    return nb::handle(state.external_view_class)(nb::arg("augmented_model") = parent);
}

nb::object category_impl(Args a) {
    nb::handle parent = a[1];
    return call_method(parent, key("get_external_model_category"));
}

/// Appends `value` formatted ".4f" exactly as the host formats it.
void append_number(std::string &out, nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) {
        formula::append_fixed4(out, PyFloat_AS_DOUBLE(value.ptr()));
        return;
    }
    nb::object text = check(PyObject_Format(value.ptr(), nb::str(".4f").ptr()));
    Py_ssize_t n;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!utf8) fail();
    out.append(utf8, n);
}

/// Appends the separator (and factor) that precede one term.
void append_separator(std::string &out, nb::handle coefficient) {
    if (coefficient.is_none()) {
        formula::append_unweighted(out);
        return;
    }
    if (PyFloat_CheckExact(coefficient.ptr())) {
        formula::append_weighted(out, PyFloat_AS_DOUBLE(coefficient.ptr()));
        return;
    }
    nb::object zero_value = nb::steal(PyLong_FromLong(0));
    int negative = check(PyObject_RichCompareBool(coefficient.ptr(), zero_value.ptr(), Py_LT));
    if (negative) {
        out += " - ";
        nb::object magnitude = check(PyNumber_Absolute(coefficient.ptr()));
        append_number(out, magnitude);
    } else {
        out += " + ";
        append_number(out, coefficient);
    }
    out += " * ";
}

/// Moves the ASCII text gathered in `pending` into `pieces` as one str.
void flush(nb::list &pieces, std::string &pending) {
    if (pending.empty()) return;
    pieces.append(nb::str(pending.data(), pending.size()));
    pending.clear();
}

/// The result of one subscription of an exact dict (by an exact str) or an exact list or tuple (at
/// position 0), made without running Python code: `missing` when a dict has no such key; `other`
/// when the subscription would need Python code or would raise anything but KeyError.
enum class Step : unsigned char { ok, missing, other };

Step plain_step(nb::object &current, PyObject *k) {
    PyObject *c = current.ptr();
    if (PyDict_CheckExact(c) && PyUnicode_CheckExact(k)) {
        PyObject *next = dict_lookup(c, k);
        if (!next) {
            return Step::missing;
        }
        current = nb::borrow(next);
        return Step::ok;
    }
    if (!PyLong_CheckExact(k)) return Step::other;  // the callers' only other key: position 0
    if (PyList_CheckExact(c) && PyList_GET_SIZE(c) > 0) {
        current = nb::borrow(PyList_GET_ITEM(c, 0));
        return Step::ok;
    }
    if (PyTuple_CheckExact(c) && PyTuple_GET_SIZE(c) > 0) {
        current = nb::borrow(PyTuple_GET_ITEM(c, 0));
        return Step::ok;
    }
    return Step::other;
}

/// `follow` over plain containers only: the value, or an empty object when a key is missing, or
/// an empty object with `other` set when Python code would be needed or an error would be raised.
nb::object plain_follow(nb::handle root, std::initializer_list<PyObject *> keys, bool &other) {
    nb::object current = nb::borrow(root);
    for (PyObject *k : keys) {
        switch (plain_step(current, k)) {
            case Step::ok: break;
            case Step::missing: return {};
            case Step::other: other = true; return {};
        }
    }
    return current;
}

/// The stored coefficients of all names at once, exactly as `get_coefficient` would find them
/// one at a time before converting them: one item (float, int or None) per position of `names`.
/// Empty when the shortcut does not apply: methods overridden, names that are not all exact str,
/// or anything on the way (the external model, its feature names, the row, an item) that the
/// per-name calls would read with Python code of its own or that would make them raise. Runs no
/// Python code, so that the calls it stands for happen in no other order than their own.
nb::object coefficients_at_once(nb::handle parent, nb::handle names) {
    if (!is_own_method(parent, key("get_coefficient"), state.own_get_coefficient) ||
        !is_own_method(parent, key("get_external_model_feature_names"), state.own_feature_names) ||
        !is_own_method(parent, key("get_external_model_coefficients"), state.own_coefficients) ||
        !PyList_CheckExact(names.ptr()))
        return {};
    nb::object model = stored_field(parent, key("external_model"));
    if (!model.is_valid() || !PyDict_CheckExact(model.ptr())) return {};
    // Every per-name call reads the feature names again and tests them for truth.
    PyObject *feature_names = dict_lookup(model.ptr(), key("feature_names"));
    if (feature_names && feature_names != Py_None && !PyList_CheckExact(feature_names)) return {};
    bool other = false;
    nb::object row = plain_follow(model, {key("model"), key("coef_"), zero()}, other);
    if (!row.is_valid() && !other)
        row = plain_follow(model, {key("logreg_model_params"), key("coef_"), zero()}, other);
    if (other) return {};
    if (row.is_valid() && !PyList_CheckExact(row.ptr())) return {};

    Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    nb::object result = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(result.ptr(), i, Py_NewRef(Py_None));
    if (!row.is_valid()) return result;  // no coefficients: every name has none
    nb::dict first;  // name -> first position; exact str keys only, so no Python code runs
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyList_GET_ITEM(names.ptr(), i);
        if (!PyUnicode_CheckExact(name)) return {};
        nb::object position = nb::steal(PyLong_FromSsize_t(i));
        PyObject *kept = PyDict_SetDefault(first.ptr(), name, position.ptr());
        if (!kept) fail();
        Py_ssize_t at = PyLong_AsSsize_t(kept);
        if (at >= PyList_GET_SIZE(row.ptr())) return {};  // the per-name call raises IndexError
        PyObject *item = PyList_GET_ITEM(row.ptr(), at);
        // Converting anything but a plain number may run Python code: left to the per-name calls.
        if (item != Py_None && !PyFloat_CheckExact(item) && !PyLong_CheckExact(item)) return {};
        check(PyList_SetItem(result.ptr(), i, Py_NewRef(item)));
    }
    return result;
}

/// Transformed attribute name -> first transformation creating it, when the registry's own
/// lookup would find exactly that; empty when the shortcut does not apply. Runs no Python code.
nb::object transformations_by_name(nb::handle preparation) {
    if (!is_own_method(preparation, key("get_transformation_formula"),
                       state.own_transformation_formula))
        return {};
    nb::object transformations = stored_field(preparation, key("transformations"));
    if (!transformations.is_valid() || !PyList_CheckExact(transformations.ptr())) return {};
    nb::dict by_name;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(transformations.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(transformations.ptr(), i));
        nb::object created = stored_field(entry, key("transformed_attribute_name"));
        if (!created.is_valid()) return {};
        if (created.is_none()) continue;
        if (!PyUnicode_CheckExact(created.ptr())) return {};
        if (!PyDict_SetDefault(by_name.ptr(), created.ptr(), entry.ptr())) fail();
    }
    return by_name;
}

nb::object formula_impl(Args a) {
    nb::handle parent = a[1];
    if (!identical_or_equal(predictive_model_type(parent), state.type_logistic_regression))
        return nb::none();

    nb::object intercept = call_method(parent, key("get_external_model_intercept"));
    std::string pending;
    if (truth(intercept))
        append_number(pending, intercept);
    else
        formula::append_fixed4(pending, 0.0);

    nb::object names = coefficient_names(parent);
    // Two shortcuts stand in for the per-name calls, each taken while no Python code runs: the
    // stored coefficients of all names and the transformations by created name. They hold only
    // until Python code runs (a conversion, a method of a subclass, a str() of a value), which may
    // change the names, the row or the registry: from then on every name is served by the calls
    // themselves, as the loop would be in Python. Iterating a plain list runs no Python code.
    nb::object coefficients, by_name;
    if (PyList_CheckExact(names.ptr())) {
        coefficients = coefficients_at_once(parent, names);
        nb::object preparation = stored_field(parent, key("feature_preparation"));
        if (preparation.is_valid()) by_name = transformations_by_name(preparation);
    }
    auto python_ran = [&] {
        coefficients = nb::object();
        by_name = nb::object();
    };

    nb::list pieces;  // the numbers are ASCII; the term texts go in as the str objects they are
    Py_ssize_t i = 0;
    nb::object name_iterator = check(PyObject_GetIter(names.ptr()));
    while (nb::object name = next_item(name_iterator)) {
        nb::object coefficient;
        if (coefficients.is_valid() && i < PyList_GET_SIZE(coefficients.ptr())) {
            coefficient =
                as_float(nb::handle(PyList_GET_ITEM(coefficients.ptr(), i)), "Coefficient");
        } else {
            coefficient = parent.attr("get_coefficient")(name);
            python_ran();
        }
        ++i;
        nb::object term;
        if (by_name.is_valid() && PyUnicode_CheckExact(name.ptr())) {
            PyObject *entry = dict_lookup(by_name.ptr(), name.ptr());
            if (entry) {
                nb::object held = nb::borrow(entry);
                nb::object text = stored_field(held, key("transformation"));
                if (!text.is_valid() || !PyUnicode_CheckExact(text.ptr())) {
                    text = to_str(field(held, key("transformation")));
                    python_ran();
                }
                term = check(PyUnicode_FromFormat("(%U)", text.ptr()));
            } else {
                term = nb::borrow(name);
            }
        } else {
            nb::object preparation = field(parent, key("feature_preparation"));
            term = preparation.attr("get_transformation_formula")(nb::arg("attribute") = name);
            python_ran();
        }
        if (!PyUnicode_CheckExact(term.ptr())) {
            term = to_str(term);
            python_ran();
        }
        if (!coefficient.is_none() && !PyFloat_CheckExact(coefficient.ptr())) python_ran();
        append_separator(pending, coefficient);
        flush(pieces, pending);
        pieces.append(term);
    }
    flush(pieces, pending);
    return check(PyUnicode_Join(nb::str("").ptr(), pieces.ptr()));
}

}  // namespace qv::scorer
