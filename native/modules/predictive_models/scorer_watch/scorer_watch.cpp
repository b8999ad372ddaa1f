// The binnings kept for monitoring a model, and the lookup of the bin record a value falls into.
//
// The lookups answer from the bucketing layer's kept snapshot of a record's bins while it provably
// still holds and the answer needs no Python code; otherwise they scan the current bin list. Every
// bin and entry is held by a strong reference while it is looked at. Exact `str` names and
// categories and exact `float` bounds are compared here without running Python code, so values read
// from a record's dict are used before anything else can happen; anything else goes through
// Python's own comparisons with strong references held, so that code run by
// `__eq__` or `__lt__` cannot pull an object from under the scan.
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "engines/bucketing.hpp"

#include <cmath>
#include <cstring>
#include <optional>

namespace {

using namespace qv;
namespace bk = qv::bucketing;
using bk::Role;

constexpr const char *kBucketingModule = bk::kModule;

/// Interned names of the record fields read here.
const bk::FieldNames &names() { return bk::field_names(); }

/// Module-lifetime references taken at import, deliberately never released.
struct State {
    PyObject *numerical;          ///< AttributeDataType.NUMERICAL
    PyObject *categorical;        ///< AttributeDataType.CATEGORICAL
    PyObject *null_name[1];       ///< PredictiveModelBinName.NULL
    PyObject *fallback_names[3];  ///< DEFAULT, DEFINED_DEFAULT, SYSTEM_DEFAULT
    PyObject *own_numerical;      ///< our _get_numerical_bin staticmethod object
    PyObject *own_categorical;    ///< our _get_categorical_bin staticmethod object
    // interned field and method names
    PyObject *binning, *get_numerical, *get_categorical;
};
State state;

/// Which reserved names a scan looks for.
enum class Wanted : unsigned char { Null, Fallback };

/// The bin's name is "1_null" (Null) or one of the three default names (Fallback). Exact strings
/// are classified by their bytes; anything else is compared with the members through `==`, in
/// the order of `g.null_name` / `g.fallback_names`.
bool named(nb::handle bin, Wanted wanted) {
    Fields f(bin);
    PyObject *peeked = f.peek(names().name);
    if (peeked && PyUnicode_CheckExact(peeked)) {
        Role role = bk::role_of(peeked);
        return wanted == Wanted::Null ? role == Role::Null : bk::is_fallback(role);
    }
    nb::object name = f[names().name];
    PyObject *const *members = wanted == Wanted::Null ? state.null_name : state.fallback_names;
    int count = wanted == Wanted::Null ? 1 : 3;
    for (int i = 0; i < count; ++i)
        if (equals_by_eq(name, members[i])) return true;
    return false;
}

/// First bin of `bins` with a wanted name, or None.
nb::object first_named(const nb::object &bins, Wanted wanted) {
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = list_item(bins, i);
        if (!bin.is_valid()) return nb::none();
        if (named(bin, wanted)) return bin;
    }
}

/// The null bin, or else the first bin with one of the default names, or None.
nb::object null_or_fallback(const nb::object &bins) {
    nb::object null_bin = first_named(bins, Wanted::Null);
    if (!null_bin.is_none()) return null_bin;
    return first_named(bins, Wanted::Fallback);
}

/// The bins of a bucketing as a list (the record's own list when it is one).
nb::object bins_of(nb::handle binning) {
    return as_list(Fields(binning)[names().feature_bucketing]);
}

/// `bound < v` (or, with `value_first`, `v <= bound`) for a bound that is not an exact float.
bool compare(const nb::object &bound, double v, bool value_first) {
    nb::object number = check(PyFloat_FromDouble(v));
    return check(value_first ? PyObject_RichCompareBool(number.ptr(), bound.ptr(), Py_LE)
                             : PyObject_RichCompareBool(bound.ptr(), number.ptr(), Py_LT));
}

/// lower_bound < v and v <= upper_bound, where a bound that is None means "skip this bin". Each
/// bound is read once and held; two exact floats are compared here, anything else by Python.
bool in_interval(const Fields &f, double v) {
    PyObject *peeked = f.peek(names().lower_bound);
    if (peeked == Py_None) return false;
    nb::object low = peeked ? nb::borrow(peeked) : f[names().lower_bound];
    if (low.is_none()) return false;
    peeked = f.peek(names().upper_bound);
    if (peeked == Py_None) return false;
    if (peeked && PyFloat_CheckExact(peeked) && PyFloat_CheckExact(low.ptr()))
        return PyFloat_AS_DOUBLE(low.ptr()) < v && v <= PyFloat_AS_DOUBLE(peeked);
    nb::object up = peeked ? nb::borrow(peeked) : f[names().upper_bound];
    if (up.is_none()) return false;
    bool above =
        PyFloat_CheckExact(low.ptr()) ? PyFloat_AS_DOUBLE(low.ptr()) < v : compare(low, v, false);
    if (!above) return false;
    return PyFloat_CheckExact(up.ptr()) ? v <= PyFloat_AS_DOUBLE(up.ptr()) : compare(up, v, true);
}

/// None becomes NaN; numbers become floats; text and other non-numbers are refused.
double numeric_value(nb::handle value) {
    PyObject *o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    if (o == Py_None) return NAN;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    if (!nm || (!nm->nb_float && !nm->nb_index)) raise_arg_type("value", "float", value);
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

nb::object numerical_bin(nb::handle binning, nb::handle value) {
    double v = numeric_value(value);  // once: its Python code may change the bins read below
    if (nb::object known = bk::watch_numeric_kept(binning, v); known.is_valid()) return known;
    nb::object bins = bins_of(binning);
    if (std::isnan(v)) return null_or_fallback(bins);
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = list_item(bins, i);
        if (!bin.is_valid()) break;
        if (bk::is_numerical(bin) && in_interval(Fields(bin), v)) return bin;
    }
    return first_named(bins, Wanted::Fallback);
}

/// None, a float NaN and anything whose text is "nan" count as missing.
bool is_missing(nb::handle value) {
    PyObject *o = value.ptr();
    if (o == Py_None) return true;
    if (PyFloat_CheckExact(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) == 3 && str_equals(value, "nan");
    return str_equals(to_str(value), "nan");
}

/// `value in categories`, as a list's own test answers it (identity, then `item == value`), with
/// exact strings compared here and the list held while Python compares anything else. `text` is
/// the value taken apart when it is an exact str, else null.
bool contains(const nb::object &categories, nb::handle value, const Text *text) {
    PyObject *list = categories.ptr(), *v = value.ptr();
    if (!text || !PyList_CheckExact(list)) return check(PySequence_Contains(list, v));
    // The size is read again after any call into Python.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *element = PyList_GET_ITEM(list, i);
        if (PyUnicode_CheckExact(element)) {
            if (text->equals(element)) return true;
            continue;
        }
        nb::object held = nb::borrow(element);
        if (check(PyObject_RichCompareBool(held.ptr(), v, Py_EQ))) return true;
    }
    return false;
}

nb::object categorical_bin(nb::handle binning, nb::handle value) {
    if (value.is_none() || PyUnicode_CheckExact(value.ptr())) {
        if (nb::object known = bk::watch_categoric_kept(binning, value); known.is_valid())
            return known;
    }
    nb::object bins = bins_of(binning);
    if (is_missing(value)) return null_or_fallback(bins);
    std::optional<Text> text;
    if (PyUnicode_CheckExact(value.ptr())) text.emplace(value.ptr());
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = list_item(bins, i);
        if (!bin.is_valid()) break;
        if (!bk::is_categorical(bin)) continue;
        Fields f(bin);
        PyObject *peeked = f.peek(names().categories);
        nb::object categories = peeked ? nb::borrow(peeked) : f[names().categories];
        if (categories.is_none()) continue;
        if (contains(categories, value, text ? &*text : nullptr)) return bin;
    }
    return first_named(bins, Wanted::Fallback);
}

nb::object get_numerical_bin_impl(Args a) {
    nb::handle binning = a[0], value = a[1];
    return numerical_bin(binning, value);
}
nb::object get_categorical_bin_impl(Args a) {
    nb::handle binning = a[0], value = a[1];
    return categorical_bin(binning, value);
}

/// The record's list of bucketings; None when the field holds none.
nb::object binning_of(nb::handle self) {
    nb::object binning = field(self, state.binning);
    if (binning.is_none()) return binning;
    return as_list(std::move(binning));
}

/// The entry's `attribute` equals `attribute` (an exact str, taken apart in `text`).
bool has_attribute(nb::handle entry, const Text &text) {
    Fields f(entry);
    PyObject *peeked = f.peek(names().attribute);
    if (peeked && PyUnicode_CheckExact(peeked)) return text.equals(peeked);
    nb::object value = f[names().attribute];
    return equals_by_eq(value, text.object);
}

nb::object remove_feature_bucketing_impl(Args a) {
    nb::handle self = a[0], attribute = a[1];
    nb::object binning = field(self, state.binning);
    if (binning.is_none()) return nb::none();
    nb::object entries = as_list(binning);
    Text text(attribute.ptr());
    nb::list kept;
    for (Py_ssize_t i = 0;; ++i) {
        nb::object entry = list_item(entries, i);
        if (!entry.is_valid()) break;
        if (!has_attribute(entry, text)) kept.append(entry);
    }
    // In place: whoever holds the record's list sees the removal.
    check(PyObject_SetItem(binning.ptr(), nb::slice(nb::none(), nb::none(), nb::none()).ptr(),
                           kept.ptr()));
    return nb::none();
}

nb::object feature_bucketing_exists_impl(Args a) {
    nb::handle self = a[0], attribute = a[1];
    nb::object entries = binning_of(self);
    if (entries.is_none()) return nb::bool_(false);
    Text text(attribute.ptr());
    for (Py_ssize_t i = 0;; ++i) {
        nb::object entry = list_item(entries, i);
        if (!entry.is_valid()) return nb::bool_(false);
        if (has_attribute(entry, text)) return nb::bool_(true);
    }
}

/// Calls `self.<name>(binning=..., value=...)`, or our own lookup directly while the class
/// still holds our static method under that name and the instance does not shadow it.
nb::object dispatch(nb::handle self, PyObject *name, PyObject *own, Impl impl, nb::handle binning,
                    nb::handle value) {
    if (is_own_method(self, name, own)) {
        nb::handle args[2] = {binning, value};
        return impl(Args(args, 2));
    }
    nb::object method = check(PyObject_GetAttr(self.ptr(), name));
    return method(nb::arg("binning") = binning, nb::arg("value") = value);
}

nb::object get_feature_bucketing_impl(Args a) {
    nb::handle self = a[0], attribute = a[1], dtype = a[2], value = a[3];
    nb::object found = bk::kept_entry(self, attribute, true);  // the last entry of the attribute
    if (!found.is_valid()) {
        nb::object entries = binning_of(self);
        if (entries.is_none()) return nb::none();
        Text text(attribute.ptr());
        for (Py_ssize_t i = 0;; ++i) {
            nb::object entry = list_item(entries, i);
            if (!entry.is_valid()) break;
            if (has_attribute(entry, text)) found = std::move(entry);
        }
    }
    if (!found.is_valid() || found.is_none()) return nb::none();
    if (equals_by_eq(dtype, state.numerical))
        return dispatch(self, state.get_numerical, state.own_numerical, get_numerical_bin_impl,
                        found, value);
    if (equals_by_eq(dtype, state.categorical))
        return dispatch(self, state.get_categorical, state.own_categorical,
                        get_categorical_bin_impl, found, value);
    return nb::none();
}

}  // namespace

NB_MODULE(scorer_watch, m) {
    qv::init_native_types();
    m.doc() =
        "The binnings kept for monitoring a model in production, the lookup of a value's "
        "bin record, and the GraphQL view.";
    // The names a Python version of this module would import.
    import_names(m, "typing", {"List", "Optional", "Union"});
    import_module(m, "math");
    import_module(m, "strawberry");
    import_names(m, kBucketingModule,
                 {"AbstractAttributeBin", "FeatureBucketing", "AttributeBinNumerical",
                  "AttributeBinCategorical", "FeatureBucketingType", "AttributeDataType",
                  "PredictiveModelBinName"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});

    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_ fb = nb::module_::import_(kBucketingModule);
    nb::object bucketing = fb.attr("FeatureBucketing");
    nb::object numerical_cls = fb.attr("AttributeBinNumerical");
    nb::object categorical_cls = fb.attr("AttributeBinCategorical");
    nb::object dtype = fb.attr("AttributeDataType");
    nb::object names = fb.attr("PredictiveModelBinName");

    state.numerical = keep_forever(dtype.attr("NUMERICAL"));
    state.categorical = keep_forever(dtype.attr("CATEGORICAL"));
    state.null_name[0] = keep_forever(names.attr("NULL"));
    state.fallback_names[0] = keep_forever(names.attr("DEFAULT"));
    state.fallback_names[1] = keep_forever(names.attr("DEFINED_DEFAULT"));
    state.fallback_names[2] = keep_forever(names.attr("SYSTEM_DEFAULT"));
    state.binning = interned("binning");
    state.get_numerical = interned("_get_numerical_bin");
    state.get_categorical = interned("_get_categorical_bin");

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
            .method({.name = "remove_feature_bucketing",
                     .params = {{.name = "attribute", .rule = Rule::Str, .annotation = str}},
                     .returns = none,
                     .doc = "Removes every binning of the attribute from `binning`, in place. "
                            "`attribute` must be exactly str (else TypeError)."},
                    remove_feature_bucketing_impl)
            .method({.name = "feature_bucketing_exists",
                     .params = {{.name = "attribute", .rule = Rule::Str, .annotation = str}},
                     .returns = typ::builtin("bool"),
                     .doc = "True when `binning` holds a binning of the attribute. `attribute` "
                            "must be exactly str (else TypeError)."},
                    feature_bucketing_exists_impl)
            .method({.name = "get_feature_bucketing",
                     .params = {{.name = "attribute", .rule = Rule::Str, .annotation = str},
                                {.name = "attribute_dtype", .annotation = dtype},
                                {.name = "attribute_value", .annotation = typ::Union({str, flt})}},
                     .returns = bin_result,
                     .doc = "The bin record a value falls into, in the last binning of the "
                            "attribute; None when there is none.\n\n`attribute_dtype` chooses "
                            "the lookup: NUMERICAL needs a number (text raises TypeError), "
                            "CATEGORICAL compares the value with the categories. Missing values "
                            "(None, NaN, \"nan\") give the \"1_null\" bin; a value no bin takes "
                            "gives the first fallback bin. Nothing is logged. `attribute` must "
                            "be exactly str (else TypeError)."},
                    get_feature_bucketing_impl)
            .staticmethod({.name = "_get_numerical_bin",
                           .params = {{.name = "binning", .annotation = bucketing},
                                      {.name = "value", .annotation = typ::Optional(flt)}},
                           .returns = abstract_result,
                           .doc = "The numerical bin record of a number in `binning`: null bin "
                                  "for None/NaN, else the first bin with lower_bound < v <= "
                                  "upper_bound (bins without bounds skipped), else the first "
                                  "fallback bin, else None."},
                          get_numerical_bin_impl)
            .staticmethod(
                {.name = "_get_categorical_bin",
                 .params = {{.name = "binning", .annotation = bucketing},
                            {.name = "value", .annotation = typ::Optional(typ::Union({str, flt}))}},
                 .returns = abstract_result,
                 .doc = "The categorical bin record of a value in `binning`: null bin "
                        "when missing, else the first bin whose categories hold it, "
                        "else the first fallback bin, else None."},
                get_categorical_bin_impl)
            .build();

    state.own_numerical = keep_forever(watch.attr("__dict__")["_get_numerical_bin"]);
    state.own_categorical = keep_forever(watch.attr("__dict__")["_get_categorical_bin"]);

    nb::object bucketing_view = fb.attr("FeatureBucketingType");
    ViewClass(m, "PredictiveScorerWatchType", watch)
        .doc("GraphQL view of the monitoring binnings and the binning of the model's output.")
        .field("binning", typ::List(bucketing_view), "Binnings of the monitored attributes.")
        .field("predictive_model_output_binning", typ::Optional(bucketing_view),
               "Binning of the model's output, if kept.")
        .build();
}
