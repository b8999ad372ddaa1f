// The module's records: the dummy encoding's consistency check, and binnings built from a
// description of their bins.
#include "feature_preparation.hpp"

namespace qv::preparation {

// ---- dummy encoding records

nb::object check_created_attribute_naming_impl(Args a) {
    nb::handle self = a[0];
    nb::object attribute = field(self, names.attribute);
    for_each(field(self, names.encoding), [&](nb::handle item) {
        if (!equals_by_eq(field(item, names.encoded_feature_name), attribute)) return false;
        raise(PyExc_ValueError,
              "Features created by dummy encoding in predictive model cannot be named the same as "
              "feature that is being encoded. This rule is broken for feature '%S'",
              attribute.ptr());
    });
    return nb::borrow(self);
}

// ---- bucketing construction

/// Read access to one bucketing description, as key lookup, membership test and `get`.
struct Description {
    nb::handle d;

    nb::object operator[](PyObject *key) const { return check(PyObject_GetItem(d.ptr(), key)); }
    bool contains(PyObject *key) const { return check(PySequence_Contains(d.ptr(), key)); }
    nb::object get(PyObject *key, nb::handle fallback = nb::none()) const {
        if (PyDict_CheckExact(d.ptr())) {
            PyObject *v = PyDict_GetItemWithError(d.ptr(), key);
            if (v) return nb::borrow(v);
            if (PyErr_Occurred()) fail();
            return nb::borrow(fallback);
        }
        return check(PyObject_CallMethodObjArgs(d.ptr(), names.get, key, fallback.ptr(), nullptr));
    }
    /// Element `i` of the sequence under `key` when the description has that key, else None.
    nb::object element_or_none(PyObject *key, nb::handle index) const {
        if (!contains(key)) return nb::none();
        nb::object sequence = (*this)[key];
        return check(PyObject_GetItem(sequence.ptr(), index.ptr()));
    }
};

void set(nb::handle dict, PyObject *key, nb::handle value) {
    check(PyDict_SetItem(dict.ptr(), key, value.ptr()));
}

nb::object build_bucketing(nb::handle attribute, Description desc) {
    nb::object dtype = desc.get(names.dtype);
    nb::object binned_name = desc.get(names.binned_attribute_name);
    nb::object bins_list = new_list();
    nb::object bins = desc[names.bins];
    bool categorical = equals_by_eq(dtype, state.categorical);
    Py_ssize_t count = check_size(PyObject_Length(bins.ptr()));
    if (!categorical) --count;
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object index = check(PyLong_FromSsize_t(i));
        nb::object bin = check(PyDict_New());
        set(bin, names.type, dtype);
        set(bin, names.value, desc.element_or_none(names.bin_vals, index));
        set(bin, names.frequency, desc.element_or_none(names.bin_frequencies, index));
        set(bin, names.target_rate, desc.element_or_none(names.bin_target_rates, index));
        set(bin, names.id, nb::int_(i + 2));
        if (equals_by_eq(dtype, state.categorical)) {
            set(bin, names.categories, check(PyObject_GetItem(bins.ptr(), index.ptr())));
        } else if (equals_by_eq(dtype, state.numerical)) {
            nb::object next = check(PyLong_FromSsize_t(i + 1));
            set(bin, names.lower_bound, check(PyObject_GetItem(bins.ptr(), index.ptr())));
            set(bin, names.upper_bound, check(PyObject_GetItem(bins.ptr(), next.ptr())));
        }
        append(bins_list, bin);
    }

    nb::object null_bin = check(PyDict_New());
    set(null_bin, names.type, dtype);
    set(null_bin, names.name, state.bin_null);
    set(null_bin, names.value, desc.get(names.null_val, nb::float_(0.0)));
    set(null_bin, names.frequency, desc.get(names.null_frequency));
    set(null_bin, names.target_rate, desc.get(names.null_target_rate));
    set(null_bin, names.id, nb::int_(1));
    append(bins_list, null_bin);

    nb::object default_value = desc.get(names.default_);
    nb::object default_bin = check(PyDict_New());
    set(default_bin, names.type, dtype);
    set(default_bin, names.name,
        default_value.is_none() ? state.bin_system_default : state.bin_defined_default);
    set(default_bin, names.value,
        truth(default_value) ? nb::object(default_value) : nb::float_(0.0));
    set(default_bin, names.frequency, nb::float_(0.0));
    set(default_bin, names.target_rate, nb::float_(0.0));
    set(default_bin, names.id, nb::int_(0));
    append(bins_list, default_bin);

    nb::object kwargs = check(PyDict_New());
    set(kwargs, names.attribute, attribute);
    set(kwargs, names.attribute_data_type, dtype);
    set(kwargs, names.feature_bucketing, bins_list);
    set(kwargs, names.binned_attribute_name, binned_name);
    nb::object args = check(PyTuple_New(0));
    return check(PyObject_Call(state.feature_bucketing_cls, args.ptr(), kwargs.ptr()));
}

nb::object add_feature_bucketing_impl(Args a) {
    nb::handle features_bucketing = a[1];
    nb::object result = new_list();
    // Iterates the live dict, so that a description changing it fails as a for loop would.
    nb::object live_items = check(PyObject_CallMethod(features_bucketing.ptr(), "items", nullptr));
    for_each(live_items, [&](nb::handle pair) {
        nb::handle attribute = PyTuple_GET_ITEM(pair.ptr(), 0);
        nb::handle description = PyTuple_GET_ITEM(pair.ptr(), 1);
        nb::object built = build_bucketing_directly(attribute, description);
        append(result,
               built.is_valid() ? built : build_bucketing(attribute, Description{description}));
        return false;
    });
    return result;
}

}  // namespace qv::preparation
