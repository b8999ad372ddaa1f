// Binnings made straight from plain descriptions: the bin and bucketing records validation would
// make, built without running validation. Used only while the three record classes are as this
// module found them, and only for values whose validation is a known plain conversion (exact str,
// exact floats kept, exact ints within 2**53 turned into floats, None); anything else goes through
// validation, as before.
#include "feature_preparation.hpp"

#include "engines/bin_names.hpp"

#include <array>

namespace qv::preparation {

namespace {

constexpr const char *kBucketingModule =
    "quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing";

/// The record classes in the state this module verified, with the key objects pydantic-core puts in
/// their instance dicts (reused, so that later field reads match them by identity).
struct Classes {
    bool checked = false, usable = false;
    PyTypeObject *bucketing = nullptr, *numerical = nullptr, *categorical = nullptr;
    std::array<unsigned int, 3> tags{};
    /// Tuples of the keys, in field order, and the reserved names as validation makes them (str):
    /// deliberately never released, like the classes themselves.
    PyObject *bucketing_keys = nullptr, *numerical_keys = nullptr, *categorical_keys = nullptr;
    PyObject *null_name = nullptr, *system_default_name = nullptr, *defined_default_name = nullptr;
};
Classes classes;

nb::object keys_of(nb::handle record) {
    nb::object dict = check(PyObject_GenericGetDict(record.ptr(), nullptr));
    return check(PySequence_Tuple(dict.ptr()));
}

bool current_tags(std::array<unsigned int, 3> &tags) {
    PyTypeObject *types[] = {classes.bucketing, classes.numerical, classes.categorical};
    for (std::size_t i = 0; i < 3; ++i) {
        if (!PyUnstable_Type_AssignVersionTag(types[i])) return false;
        tags[i] = types[i]->tp_version_tag;
    }
    return true;
}

bool plain_class(PyTypeObject *t) {
    return t->tp_new == PyBaseObject_Type.tp_new && !(t->tp_flags & Py_TPFLAGS_IS_ABSTRACT) &&
           t->tp_dictoffset != 0;
}

/// Whether records may be made directly now: the first time, a sample of each class is validated
/// and its keys, tags and names compared with what this file makes; afterwards the classes' version
/// tags must be the same (any change of a class, such as a patched bound formatting, turns it off).
bool records_can_be_made() {
    if (!classes.checked) {
        classes.checked = true;
        nb::object bucketing = nb::borrow(state.feature_bucketing_cls);
        nb::module_ module = nb::module_::import_(kBucketingModule);
        nb::object num_cls = module.attr("AttributeBinNumerical"),
                   cat_cls = module.attr("AttributeBinCategorical");
        classes.bucketing = reinterpret_cast<PyTypeObject *>(bucketing.ptr());
        classes.numerical = reinterpret_cast<PyTypeObject *>(num_cls.ptr());
        classes.categorical = reinterpret_cast<PyTypeObject *>(cat_cls.ptr());
        // What validation makes of the reserved names (members of a str enumeration): their text.
        nb::object null_name = nb::borrow(state.bin_null).attr("value");
        nb::object system_default_name = nb::borrow(state.bin_system_default).attr("value");
        nb::object defined_default_name = nb::borrow(state.bin_defined_default).attr("value");
        for (nb::handle text : {null_name, system_default_name, defined_default_name})
            if (!PyUnicode_CheckExact(text.ptr())) return false;
        if (!plain_class(classes.bucketing) || !plain_class(classes.numerical) ||
            !plain_class(classes.categorical))
            return false;
        nb::object num =
            num_cls(nb::arg("id") = 2, nb::arg("lower_bound") = -0.5, nb::arg("upper_bound") = 10);
        nb::object cat =
            cat_cls(nb::arg("id") = 3, nb::arg("categories") = nb::make_tuple("a", "b"));
        nb::object rec =
            bucketing(nb::arg("attribute") = "x", nb::arg("attribute_data_type") = "NUMERICAL",
                      nb::arg("feature_bucketing") = nb::make_tuple(num));
        bool same_names = str_equals(field(num, names.name), "2_(-5.00E-01;10)") &&
                          PyFloat_CheckExact(field(num, names.upper_bound).ptr()) &&
                          str_equals(field(cat, names.name), "3_{a,b}") &&
                          field(num, names.type).is(state.numerical) &&
                          field(cat, names.type).is(state.categorical);
        if (!same_names || !current_tags(classes.tags)) return false;
        nb::object bucketing_keys = keys_of(rec), numerical_keys = keys_of(num),
                   categorical_keys = keys_of(cat);
        auto spelled = [](nb::handle keys, std::initializer_list<const char *> expected) {
            if ((size_t) PyTuple_GET_SIZE(keys.ptr()) != expected.size()) return false;
            Py_ssize_t i = 0;
            for (const char *name : expected)
                if (!str_equals(PyTuple_GET_ITEM(keys.ptr(), i++), name)) return false;
            return true;
        };
        classes.usable = spelled(bucketing_keys, {"attribute", "attribute_data_type",
                                                  "feature_bucketing", "binned_attribute_name"}) &&
                         spelled(numerical_keys, {"name", "value", "frequency", "target_rate", "id",
                                                  "type", "lower_bound", "upper_bound"}) &&
                         spelled(categorical_keys, {"name", "value", "frequency", "target_rate",
                                                    "id", "type", "categories"});
        if (classes.usable) {
            classes.bucketing_keys = keep_forever(bucketing_keys);
            classes.numerical_keys = keep_forever(numerical_keys);
            classes.categorical_keys = keep_forever(categorical_keys);
            classes.null_name = keep_forever(null_name);
            classes.system_default_name = keep_forever(system_default_name);
            classes.defined_default_name = keep_forever(defined_default_name);
        }
    }
    if (!classes.usable) return false;
    std::array<unsigned int, 3> now{};
    return current_tags(now) && now == classes.tags;
}

/// A number whose validation as `Optional[float]` is known: None, an exact float (kept), an exact
/// int within 2**53 (its float). Empty for anything else.
nb::object plain_number(PyObject *v, bool none_allowed) {
    if (v == Py_None) return none_allowed ? nb::none() : nb::object();
    if (PyFloat_CheckExact(v)) return nb::borrow(v);
    if (!PyLong_CheckExact(v)) return {};
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || x > (1LL << 53) || x < -(1LL << 53)) return {};
    return check(PyFloat_FromDouble((double) x));
}

/// The description's entry, borrowed (the description holds it), or null when absent.
PyObject *entry(PyObject *d, PyObject *key) {
    PyObject *v = dict_lookup(d, key);
    return v;
}

/// A list of per-bin numbers under `key`: absent (all None) or an exact list at least `count` long.
bool per_bin_list(PyObject *d, PyObject *key, Py_ssize_t count, PyObject *&list) {
    list = entry(d, key);
    return !list || (PyList_CheckExact(list) && PyList_GET_SIZE(list) >= count);
}

nb::object per_bin_value(PyObject *list, Py_ssize_t i) {
    return list ? plain_number(PyList_GET_ITEM(list, i), true) : nb::none();
}

/// A record of `cls` holding `values` (in the class's key order), `set` naming the fields given.
nb::object make_record(PyTypeObject *cls, nb::handle keys, std::initializer_list<nb::handle> values,
                       std::initializer_list<Py_ssize_t> given) {
    nb::object dict = check(PyDict_New());
    Py_ssize_t i = 0;
    for (nb::handle v : values)
        if (PyDict_SetItem(dict.ptr(), PyTuple_GET_ITEM(keys.ptr(), i++), v.ptr()) < 0) fail();
    nb::object fields_set = check(PySet_New(nullptr));
    for (Py_ssize_t k : given)
        if (PySet_Add(fields_set.ptr(), PyTuple_GET_ITEM(keys.ptr(), k)) < 0) fail();
    nb::object record = check(cls->tp_alloc(cls, 0));
    if (PyObject_GenericSetDict(record.ptr(), dict.ptr(), nullptr) < 0 ||
        PyObject_GenericSetAttr(record.ptr(), interned("__pydantic_fields_set__"),
                                fields_set.ptr()) < 0 ||
        PyObject_GenericSetAttr(record.ptr(), interned("__pydantic_extra__"), Py_None) < 0 ||
        PyObject_GenericSetAttr(record.ptr(), interned("__pydantic_private__"), Py_None) < 0)
        fail();
    return record;
}

}  // namespace

nb::object build_bucketing_directly(nb::handle attribute, nb::handle description) {
    PyObject *d = description.ptr();
    if (!PyUnicode_CheckExact(attribute.ptr()) || !PyDict_CheckExact(d) || !records_can_be_made())
        return {};
    // From here on nothing runs Python code until the records are complete: the description's
    // entries are read borrowed (the description holds them, the caller holds the description).
    PyObject *dtype = entry(d, names.dtype);
    bool categorical;
    if (!dtype) return {};
    if (dtype == state.categorical || str_equals(dtype, "CATEGORICAL"))
        categorical = true;
    else if (dtype == state.numerical || str_equals(dtype, "NUMERICAL"))
        categorical = false;
    else
        return {};
    PyObject *binned = entry(d, names.binned_attribute_name);
    if (binned && binned != Py_None && !PyUnicode_CheckExact(binned)) return {};
    PyObject *bins = entry(d, names.bins);
    if (!bins || !PyList_CheckExact(bins)) return {};
    Py_ssize_t count = PyList_GET_SIZE(bins) - (categorical ? 0 : 1);
    PyObject *values, *frequencies, *target_rates;
    if (!per_bin_list(d, names.bin_vals, count, values) ||
        !per_bin_list(d, names.bin_frequencies, count, frequencies) ||
        !per_bin_list(d, names.bin_target_rates, count, target_rates))
        return {};
    PyObject *null_val = entry(d, names.null_val), *null_frequency = entry(d, names.null_frequency),
             *null_target_rate = entry(d, names.null_target_rate),
             *default_value = entry(d, names.default_);
    nb::object none = nb::none();
    // The null bin's value is 0.0 unless given; the default bin's is the default when truthy.
    nb::object null_value = null_val ? plain_number(null_val, true) : nb::float_(0.0);
    nb::object null_freq = null_frequency ? plain_number(null_frequency, true) : none;
    nb::object null_rate = null_target_rate ? plain_number(null_target_rate, true) : none;
    nb::object given_default = default_value ? plain_number(default_value, true) : none;
    if (!null_value.is_valid() || !null_freq.is_valid() || !null_rate.is_valid() ||
        !given_default.is_valid())
        return {};
    bool defined = !given_default.is_none();
    nb::object default_bin_value =
        defined && PyFloat_AS_DOUBLE(given_default.ptr()) != 0.0 ? given_default : nb::float_(0.0);

    nb::object type = nb::borrow(categorical ? state.categorical : state.numerical);
    PyTypeObject *cls = categorical ? classes.categorical : classes.numerical;
    nb::handle keys = categorical ? classes.categorical_keys : classes.numerical_keys;
    nb::object records = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object value = per_bin_value(values, i), frequency = per_bin_value(frequencies, i),
                   target_rate = per_bin_value(target_rates, i);
        if (!value.is_valid() || !frequency.is_valid() || !target_rate.is_valid()) return {};
        nb::object id = check(PyLong_FromSsize_t(i + 2));
        if (categorical) {
            PyObject *categories = PyList_GET_ITEM(bins, i);
            nb::object name = bins::plain_categorical_name(id, categories);
            if (!name.is_valid()) return {};
            nb::object copied = check(PyList_GetSlice(categories, 0, PyList_GET_SIZE(categories)));
            append(records,
                   make_record(cls, keys, {name, value, frequency, target_rate, id, type, copied},
                               {0, 1, 2, 3, 4, 5, 6}));
        } else {
            PyObject *lower = PyList_GET_ITEM(bins, i), *upper = PyList_GET_ITEM(bins, i + 1);
            nb::object name = bins::plain_numerical_name(id, lower, upper);
            nb::object low = plain_number(lower, false), high = plain_number(upper, false);
            if (!name.is_valid() || !low.is_valid() || !high.is_valid()) return {};
            append(records, make_record(cls, keys,
                                        {name, value, frequency, target_rate, id, type, low, high},
                                        {0, 1, 2, 3, 4, 5, 6, 7}));
        }
    }
    // The null and default bins: given name, type, value, frequency, target rate and id; the
    // bounds or categories keep their defaults (None) and are not among the fields set.
    nb::object null_id = check(PyLong_FromLong(1)), default_id = check(PyLong_FromLong(0));
    nb::handle default_name = defined ? classes.defined_default_name : classes.system_default_name;
    nb::handle null_name = classes.null_name;
    nb::object zero_frequency = nb::float_(0.0), zero_rate = nb::float_(0.0);
    if (categorical) {
        append(records,
               make_record(cls, keys,
                           {null_name, null_value, null_freq, null_rate, null_id, type, none},
                           {0, 1, 2, 3, 4, 5}));
        append(records, make_record(cls, keys,
                                    {default_name, default_bin_value, zero_frequency, zero_rate,
                                     default_id, type, none},
                                    {0, 1, 2, 3, 4, 5}));
    } else {
        append(records,
               make_record(cls, keys,
                           {null_name, null_value, null_freq, null_rate, null_id, type, none, none},
                           {0, 1, 2, 3, 4, 5}));
        append(records, make_record(cls, keys,
                                    {default_name, default_bin_value, zero_frequency, zero_rate,
                                     default_id, type, none, none},
                                    {0, 1, 2, 3, 4, 5}));
    }
    nb::object binned_name = binned ? nb::borrow(binned) : none;
    return make_record(classes.bucketing, classes.bucketing_keys,
                       {attribute, type, records, binned_name}, {0, 1, 2, 3});
}

}  // namespace qv::preparation
