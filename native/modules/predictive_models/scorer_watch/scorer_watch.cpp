// The binnings kept for monitoring a model, and the lookup of the bin record a value falls into.
//
// The lookups scan the current bin list on every call (nothing is cached). Fields are read from
// the instance dict; exact `str` names and exact `float` bounds take a path that runs no Python
// code, and anything else goes through Python's own comparisons with strong references held, so
// that code run by `__eq__` or `__lt__` cannot pull an object from under the scan.
#include "binding/declare.hpp"
#include "binding/support.hpp"

#include <cmath>
#include <string_view>

namespace {

using namespace qv;

constexpr const char *kBucketingModule =
    "quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing";

/// A reserved bin name: the member, and its text for comparing exact strings by bytes.
struct Reserved {
    PyObject *member;
    std::string_view text;
};

/// Module-lifetime references taken at import, deliberately never released (see DESIGN).
struct Globals {
    PyObject *numerical_bin;    ///< AttributeBinNumerical
    PyObject *categorical_bin;  ///< AttributeBinCategorical
    PyObject *numerical;        ///< AttributeDataType.NUMERICAL
    PyObject *categorical;      ///< AttributeDataType.CATEGORICAL
    Reserved null_name[1];       ///< PredictiveModelBinName.NULL
    Reserved fallback_names[3];  ///< DEFAULT, DEFINED_DEFAULT, SYSTEM_DEFAULT
    PyObject *own_numerical;    ///< our _get_numerical_bin staticmethod object
    PyObject *own_categorical;  ///< our _get_categorical_bin staticmethod object
    // interned field and method names
    PyObject *binning, *attribute, *feature_bucketing, *name, *lower_bound, *upper_bound,
        *categories, *get_numerical, *get_categorical;
};
Globals g;

/// The instance dict of a record (new reference), or an empty object when it has none.
nb::object instance_dict(nb::handle record) {
    PyObject *dict = PyObject_GenericGetDict(record.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return {};
    }
    return nb::steal(dict);
}

/// A field of a record: borrowed from `dict` when it holds the name, else read as an attribute.
/// `holder` keeps a new reference alive when the attribute path was taken.
PyObject *read(nb::handle record, const nb::object &dict, PyObject *name, nb::object &holder) {
    if (dict.is_valid() && PyDict_CheckExact(dict.ptr())) {
        PyObject *value = PyDict_GetItemWithError(dict.ptr(), name);
        if (value) return value;
        if (PyErr_Occurred()) throw nb::python_error();
    }
    holder = nb::steal(PyObject_GetAttr(record.ptr(), name));
    if (!holder.is_valid()) throw nb::python_error();
    return holder.ptr();
}

/// `a == b` as Python's `==` answers it, without a Python call for two exact strings.
bool equals(PyObject *a, PyObject *b) {
    // str's own equality (also of text enumeration members) holds for an object and itself.
    if (a == b && PyUnicode_Check(a) &&
        Py_TYPE(a)->tp_richcompare == PyUnicode_Type.tp_richcompare)
        return true;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b))
        return a == b || PyUnicode_Compare(a, b) == 0;  // cannot fail for two exact strings
    nb::object left = nb::borrow(a), right = nb::borrow(b);
    nb::object result = nb::steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    if (!result.is_valid()) throw nb::python_error();
    int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw nb::python_error();
    return truth;
}

/// The bin's name equals one of the reserved names given.
bool named(nb::handle bin, const Reserved *names, int count) {
    nb::object holder;
    nb::object name = nb::borrow(read(bin, instance_dict(bin), g.name, holder));
    bool exact = PyUnicode_CheckExact(name.ptr());
    for (int i = 0; i < count; ++i) {
        if (exact ? str_equals(name, names[i].text) : equals(name.ptr(), names[i].member))
            return true;
    }
    return false;
}

/// The bins of a bucketing as a list (the record's own list when it is one).
nb::object bins_of(nb::handle binning) {
    nb::object bins = field(binning, g.feature_bucketing);
    if (PyList_CheckExact(bins.ptr())) return bins;
    PyObject *list = PySequence_List(bins.ptr());
    if (!list) throw nb::python_error();
    return nb::steal(list);
}

/// Item `i` of a list that Python code may have shortened meanwhile; empty past the end.
nb::object item(const nb::object &list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list.ptr())) return {};
    return nb::borrow(PyList_GET_ITEM(list.ptr(), i));
}

/// First bin whose name is one of `names`, or None.
nb::object first_named(const nb::object &bins, const Reserved *names, int count) {
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = item(bins, i);
        if (!bin.is_valid()) return nb::none();
        if (named(bin, names, count)) return bin;
    }
}

nb::object fallback(const nb::object &bins) { return first_named(bins, g.fallback_names, 3); }

bool is_instance(nb::handle value, PyObject *cls) {
    if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject *>(cls)) return true;
    int r = PyObject_IsInstance(value.ptr(), cls);
    if (r < 0) throw nb::python_error();
    return r;
}

/// `bound < v` (or, with `value_first`, `v <= bound`) for a bound that is not an exact float.
bool compare(PyObject *bound, double v, bool value_first) {
    nb::object held = nb::borrow(bound);
    nb::object number = nb::steal(PyFloat_FromDouble(v));
    if (!number.is_valid()) throw nb::python_error();
    int r = value_first ? PyObject_RichCompareBool(number.ptr(), held.ptr(), Py_LE)
                        : PyObject_RichCompareBool(held.ptr(), number.ptr(), Py_LT);
    if (r < 0) throw nb::python_error();
    return r;
}

/// lower_bound < v and v <= upper_bound, where bounds that are none mean "skip this bin".
bool in_interval(nb::handle bin, double v) {
    nb::object dict = instance_dict(bin);
    nb::object lower_holder, upper_holder;
    PyObject *lower = read(bin, dict, g.lower_bound, lower_holder);
    if (lower == Py_None) return false;
    nb::object lower_ref = nb::borrow(lower);
    PyObject *upper = read(bin, dict, g.upper_bound, upper_holder);
    if (upper == Py_None) return false;
    nb::object upper_ref = nb::borrow(upper);
    bool above = PyFloat_CheckExact(lower) ? PyFloat_AS_DOUBLE(lower) < v : compare(lower, v, false);
    if (!above) return false;
    return PyFloat_CheckExact(upper) ? v <= PyFloat_AS_DOUBLE(upper) : compare(upper, v, true);
}

/// None becomes NaN; numbers become floats; text and other non-numbers are refused.
double numeric_value(nb::handle value) {
    PyObject *o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    if (o == Py_None) return NAN;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    if (!nm || (!nm->nb_float && !nm->nb_index)) raise_arg_type("value", "float", value);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::object numerical_bin(nb::handle binning, nb::handle value) {
    double v = numeric_value(value);
    nb::object bins = bins_of(binning);
    if (std::isnan(v)) {
        nb::object null_bin = first_named(bins, g.null_name, 1);
        if (!null_bin.is_none()) return null_bin;
        return fallback(bins);
    }
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = item(bins, i);
        if (!bin.is_valid()) break;
        if (is_instance(bin, g.numerical_bin) && in_interval(bin, v)) return bin;
    }
    return fallback(bins);
}

/// None, a float NaN and anything whose text is "nan" count as missing.
bool is_missing(nb::handle value) {
    PyObject *o = value.ptr();
    if (o == Py_None) return true;
    if (PyFloat_CheckExact(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    if (PyUnicode_CheckExact(o)) return str_equals(value, "nan");
    return str_equals(to_str(value), "nan");
}

nb::object categorical_bin(nb::handle binning, nb::handle value) {
    nb::object bins = bins_of(binning);
    if (is_missing(value)) {
        nb::object null_bin = first_named(bins, g.null_name, 1);
        if (!null_bin.is_none()) return null_bin;
        return fallback(bins);
    }
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = item(bins, i);
        if (!bin.is_valid()) break;
        if (!is_instance(bin, g.categorical_bin)) continue;
        nb::object holder;
        nb::object categories = nb::borrow(read(bin, instance_dict(bin), g.categories, holder));
        if (categories.is_none()) continue;
        int found = PySequence_Contains(categories.ptr(), value.ptr());
        if (found < 0) throw nb::python_error();
        if (found) return bin;
    }
    return fallback(bins);
}

nb::object get_numerical_bin_impl(Args a) { return numerical_bin(a[0], a[1]); }
nb::object get_categorical_bin_impl(Args a) { return categorical_bin(a[0], a[1]); }

/// The record's list of bucketings; None when the field holds none.
nb::object binning_of(nb::handle self) {
    nb::object binning = field(self, g.binning);
    if (binning.is_none() || PyList_CheckExact(binning.ptr())) return binning;
    PyObject *list = PySequence_List(binning.ptr());
    if (!list) throw nb::python_error();
    return nb::steal(list);
}

bool has_attribute(nb::handle entry, nb::handle attribute) {
    nb::object holder;
    nb::object value = nb::borrow(read(entry, instance_dict(entry), g.attribute, holder));
    return equals(value.ptr(), attribute.ptr());
}

nb::object remove_feature_bucketing_impl(Args a) {
    nb::object binning = field(a[0], g.binning);
    if (binning.is_none()) return nb::none();
    nb::object entries = binning_of(a[0]);
    nb::list kept;
    for (Py_ssize_t i = 0;; ++i) {
        nb::object entry = item(entries, i);
        if (!entry.is_valid()) break;
        if (!has_attribute(entry, a[1])) kept.append(entry);
    }
    // In place: whoever holds the record's list sees the removal.
    if (PyObject_SetItem(binning.ptr(), nb::slice(nb::none(), nb::none(), nb::none()).ptr(),
                         kept.ptr()) < 0)
        throw nb::python_error();
    return nb::none();
}

nb::object feature_bucketing_exists_impl(Args a) {
    nb::object entries = binning_of(a[0]);
    if (entries.is_none()) return nb::bool_(false);
    for (Py_ssize_t i = 0;; ++i) {
        nb::object entry = item(entries, i);
        if (!entry.is_valid()) return nb::bool_(false);
        if (has_attribute(entry, a[1])) return nb::bool_(true);
    }
}

/// Calls `self.<name>(binning=..., value=...)`, or our own lookup directly while the class
/// still holds our static method under that name.
nb::object dispatch(nb::handle self, PyObject *name, PyObject *own, Impl impl, nb::handle binning,
                    nb::handle value) {
    if (_PyType_Lookup(Py_TYPE(self.ptr()), name) == own) {
        nb::handle args[2] = {binning, value};
        return impl(Args(args, 2));
    }
    nb::object method = nb::steal(PyObject_GetAttr(self.ptr(), name));
    if (!method.is_valid()) throw nb::python_error();
    return method(nb::arg("binning") = binning, nb::arg("value") = value);
}

nb::object get_feature_bucketing_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], dtype = a[2], value = a[3];
    nb::object entries = binning_of(self);
    if (entries.is_none()) return nb::none();
    nb::object found;
    for (Py_ssize_t i = 0;; ++i) {
        nb::object entry = item(entries, i);
        if (!entry.is_valid()) break;
        if (has_attribute(entry, attribute)) found = std::move(entry);
    }
    if (!found.is_valid()) return nb::none();
    if (equals(dtype.ptr(), g.numerical))
        return dispatch(self, g.get_numerical, g.own_numerical, get_numerical_bin_impl, found, value);
    if (equals(dtype.ptr(), g.categorical))
        return dispatch(self, g.get_categorical, g.own_categorical, get_categorical_bin_impl, found,
                        value);
    return nb::none();
}

PyObject *leak(nb::handle o) { return nb::borrow(o).release().ptr(); }

}  // namespace

NB_MODULE(scorer_watch, m) {
    qv::init_native_types();
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_ fb = nb::module_::import_(kBucketingModule);
    nb::object bucketing = fb.attr("FeatureBucketing");
    nb::object numerical_cls = fb.attr("AttributeBinNumerical");
    nb::object categorical_cls = fb.attr("AttributeBinCategorical");
    nb::object dtype = fb.attr("AttributeDataType");
    nb::object names = fb.attr("PredictiveModelBinName");

    g.numerical_bin = leak(numerical_cls);
    g.categorical_bin = leak(categorical_cls);
    g.numerical = leak(dtype.attr("NUMERICAL"));
    g.categorical = leak(dtype.attr("CATEGORICAL"));
    g.null_name[0] = {leak(names.attr("NULL")), "1_null"};
    g.fallback_names[0] = {leak(names.attr("DEFAULT")), "0_default"};
    g.fallback_names[1] = {leak(names.attr("DEFINED_DEFAULT")), "0_defined_default"};
    g.fallback_names[2] = {leak(names.attr("SYSTEM_DEFAULT")), "0_system_default"};
    g.binning = interned("binning");
    g.attribute = interned("attribute");
    g.feature_bucketing = interned("feature_bucketing");
    g.name = interned("name");
    g.lower_bound = interned("lower_bound");
    g.upper_bound = interned("upper_bound");
    g.categories = interned("categories");
    g.get_numerical = interned("_get_numerical_bin");
    g.get_categorical = interned("_get_categorical_bin");

    nb::object str = typ::builtin("str"), flt = typ::builtin("float");
    nb::object bin_result = typ::Optional(typ::Union({numerical_cls, categorical_cls}));
    nb::object abstract_result = typ::Optional(fb.attr("AbstractAttributeBin"));
    nb::object none = nb::none();

    nb::object watch =
        RecordClass(m, "PredictiveScorerWatch", {record_base})
            .doc("Data needed for monitoring models.")
            .field("binning", typ::List(bucketing),
                   Field(nb::arg("default_factory") = typ::builtin("list")))
            .field("predictive_model_output_binning", typ::Optional(bucketing), none)
            .method({"remove_feature_bucketing", {Param{"attribute", Rule::Str, str}}, none},
                    remove_feature_bucketing_impl)
            .method({"feature_bucketing_exists", {Param{"attribute", Rule::Str, str}},
                     typ::builtin("bool")},
                    feature_bucketing_exists_impl)
            .method({"get_feature_bucketing",
                     {Param{"attribute", Rule::Str, str}, Param{"attribute_dtype", Rule::Any, dtype},
                      Param{"attribute_value", Rule::Any, typ::Union({str, flt})}},
                     bin_result},
                    get_feature_bucketing_impl)
            .staticmethod({"_get_numerical_bin",
                           {Param{"binning", Rule::Any, bucketing},
                            Param{"value", Rule::Any, typ::Optional(flt)}},
                           abstract_result},
                          get_numerical_bin_impl)
            .staticmethod({"_get_categorical_bin",
                           {Param{"binning", Rule::Any, bucketing},
                            Param{"value", Rule::Any, typ::Optional(typ::Union({str, flt}))}},
                           abstract_result},
                          get_categorical_bin_impl)
            .build();

    g.own_numerical = leak(watch.attr("__dict__")["_get_numerical_bin"]);
    g.own_categorical = leak(watch.attr("__dict__")["_get_categorical_bin"]);

    nb::object bucketing_view = fb.attr("FeatureBucketingType");
    ViewClass(m, "PredictiveScorerWatchType", watch)
        .field("binning", typ::List(bucketing_view))
        .field("predictive_model_output_binning", typ::Optional(bucketing_view))
        .build();
}
