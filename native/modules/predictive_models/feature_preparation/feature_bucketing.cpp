// Bins of one attribute (numerical and categorical), their naming rules, the FeatureBucketing
// record that assigns values to bins, and the GraphQL views of all of them.
#include "engines/bucketing.hpp"
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "kernels/number_format.hpp"

#include <cmath>

namespace {

using namespace qv;

constexpr Py_ssize_t kMaxJoinedCategories = 50;

/// Names and objects the rules use on every construction; made once, deliberately never released.
struct Statics {
    PyObject *id, *name, *type, *lower_bound, *upper_bound, *categories, *empty, *comma, *ellipsis,
        *model_fields, *annotation, *origin, *args, *get_number_formatting, *literal;
};

const Statics &statics() {
    static const Statics s{interned("id"),          interned("name"),
                           interned("type"),        interned("lower_bound"),
                           interned("upper_bound"), interned("categories"),
                           interned(""),            interned(","),
                           interned("..."),         interned("model_fields"),
                           interned("annotation"),  interned("__origin__"),
                           interned("__args__"),    interned("_get_number_formatting"),
                           nb::object(nb::module_::import_("typing").attr("Literal")).release().ptr()};
    return s;
}

// ---- the rules run on the field values before validation

/// A copy of the input mapping that the rules may change; non-mappings are left to validation.
nb::object editable(nb::handle data) {
    if (PyDict_Check(data.ptr())) {
        PyObject *copy = PyDict_Copy(data.ptr());
        if (!copy) throw nb::python_error();
        return nb::steal(copy);
    }
    nb::object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    if (!nb::isinstance(data, mapping)) return {};
    nb::dict copy;
    if (PyDict_Merge(copy.ptr(), data.ptr(), 1) < 0) throw nb::python_error();
    return copy;
}

/// data.get(key), None when absent.
nb::object get_or_none(nb::handle data, PyObject *key) {
    PyObject *v = PyDict_GetItemWithError(data.ptr(), key);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v ? nb::borrow(v) : nb::none();
}

/// data["id"], raising the KeyError of a missing entry.
nb::object required_id(nb::handle data) {
    PyObject *v = PyDict_GetItemWithError(data.ptr(), statics().id);
    if (v) return nb::borrow(v);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, statics().id);
    throw nb::python_error();
}

/// "{}".format(value)
nb::object format_plain(nb::handle value) {
    PyObject *text = PyObject_Format(value.ptr(), statics().empty);
    if (!text) throw nb::python_error();
    return nb::steal(text);
}

bool truth(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

/// Bound formatting for numbers that are neither exact floats nor exact ints, step by step with
/// Python's own operations (so Decimal, numpy scalars, bool behave as they would, and text fails
/// on the missing is_integer).
nb::object format_number_generic(nb::handle number) {
    nb::object inf = nb::float_(INFINITY), minus_inf = nb::float_(-INFINITY);
    if (equals(number, minus_inf)) return nb::str("-inf");
    if (equals(number, inf)) return nb::str("inf");
    if (truth(number.attr("is_integer")())) {
        PyObject *integer = PyNumber_Long(number.ptr());
        if (!integer) throw nb::python_error();
        return to_str(nb::steal(integer));
    }
    PyObject *scaled = PyNumber_Multiply(number.ptr(), nb::int_(100).ptr());
    if (!scaled) throw nb::python_error();
    PyObject *above = PyObject_RichCompare(scaled, nb::int_(1).ptr(), Py_GT);
    Py_DECREF(scaled);
    if (!above) throw nb::python_error();
    bool fixed = truth(nb::steal(above));
    PyObject *text = PyObject_Format(number.ptr(), nb::str(fixed ? ".3f" : ".2E").ptr());
    if (!text) throw nb::python_error();
    return nb::steal(text);
}

nb::object format_number(nb::handle number) {
    if (PyFloat_CheckExact(number.ptr()))
        return nb::str(kernels::format_bound(PyFloat_AS_DOUBLE(number.ptr())).c_str());
    if (PyLong_CheckExact(number.ptr())) return to_str(number);
    return format_number_generic(number);
}

nb::object get_number_formatting(Args a) { return format_number(a[0]); }

/// The type rule: the "type" entry becomes the first value of the class's Literal `type` field.
nb::object apply_type_rule(Args a) {
    const Statics &st = statics();
    nb::handle cls = a[0], data = a[1];
    nb::object fields = cls.attr(st.model_fields);
    PyObject *info = PyDict_GetItemWithError(fields.ptr(), st.type);
    if (!info) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(data);
    }
    nb::object annotation = nb::borrow(info).attr(st.annotation);
    // typing.get_origin(annotation) is Literal: a typing alias whose origin is Literal.
    PyObject *origin = PyObject_GetAttr(annotation.ptr(), st.origin);
    if (!origin) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::borrow(data);
    }
    bool literal = origin == st.literal;
    Py_DECREF(origin);
    if (!literal) return nb::borrow(data);
    nb::object values = annotation.attr(st.args);
    nb::object copy = editable(data);
    if (!copy.is_valid()) return nb::borrow(data);
    copy[st.type] = nb::len(values) > 0 ? nb::object(values[0]) : nb::none();
    return copy;
}

/// Numerical naming: "<id>_(<lower>;<upper>)" when no "name" is given and both bounds are set.
nb::object apply_numerical_naming(Args a) {
    nb::handle data = a[1];
    nb::object copy = editable(data);
    if (!copy.is_valid()) return nb::borrow(data);
    const Statics &st = statics();
    int has_name = PyDict_Contains(copy.ptr(), st.name);
    if (has_name < 0) throw nb::python_error();
    if (has_name) return copy;
    nb::object lower = get_or_none(copy, st.lower_bound), upper = get_or_none(copy, st.upper_bound);
    if (lower.is_none() || upper.is_none()) return copy;
    nb::object id = format_plain(required_id(copy));
    // Through the class, so that a subclass's own bound formatting names its bins.
    nb::object formatting = nb::borrow(a[0]).attr(st.get_number_formatting);
    nb::object lower_text = format_plain(formatting(lower));
    nb::object upper_text = format_plain(formatting(upper));
    PyObject *name = PyUnicode_FromFormat("%U_(%U;%U)", id.ptr(), lower_text.ptr(),
                                          upper_text.ptr());
    if (!name) throw nb::python_error();
    copy[st.name] = nb::steal(name);
    return copy;
}

/// The categories joined by "," (each through str()), cut to 47 characters plus "..." when longer
/// than 50; None when there are no categories.
nb::object joined_categories(nb::handle categories) {
    if (categories.is_none()) return nb::none();
    nb::list texts;
    for (nb::handle element : categories) texts.append(to_str(element));
    PyObject *joined = PyUnicode_Join(statics().comma, texts.ptr());
    if (!joined) throw nb::python_error();
    nb::object text = nb::steal(joined);
    if (PyUnicode_GET_LENGTH(text.ptr()) <= kMaxJoinedCategories) return text;
    PyObject *head = PyUnicode_Substring(text.ptr(), 0, kMaxJoinedCategories - 3);
    if (!head) throw nb::python_error();
    nb::object cut = nb::steal(head);
    PyObject *result = PyUnicode_Concat(cut.ptr(), statics().ellipsis);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

/// Categorical naming: "<id>_{<joined categories>}" when "name" is absent or None.
nb::object apply_categorical_naming(Args a) {
    nb::handle data = a[1];
    nb::object copy = editable(data);
    if (!copy.is_valid()) return nb::borrow(data);
    const Statics &st = statics();
    if (!get_or_none(copy, st.name).is_none()) return copy;
    nb::object joined = joined_categories(get_or_none(copy, st.categories));
    nb::object id = format_plain(required_id(copy));
    nb::object joined_text = format_plain(joined);
    PyObject *name = PyUnicode_FromFormat("%U_{%U}", id.ptr(), joined_text.ptr());
    if (!name) throw nb::python_error();
    copy[st.name] = nb::steal(name);
    return copy;
}

// ---- bucketing

nb::object bin_numeric_attribute(Args a) { return bucketing::bin_numeric(a[0], a[1]); }
nb::object bin_categoric_attribute(Args a) { return bucketing::bin_categoric(a[0], a[1]); }

// ---- view resolvers (self, parent)

nb::object resolve_type(Args a) { return field(a[1], interned("type")); }

/// A bound as GraphQL's Float can carry it: infinities and NaN are shown as null.
nb::object finite_or_none(nb::object bound) {
    if (PyFloat_Check(bound.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(bound.ptr())))
        return nb::none();
    return bound;
}

nb::object resolve_lower_bound(Args a) {
    return finite_or_none(field(a[1], interned("lower_bound")));
}
nb::object resolve_upper_bound(Args a) {
    return finite_or_none(field(a[1], interned("upper_bound")));
}

nb::object formatted(nb::handle parent, const char *name) {
    nb::object bound = field(parent, interned(name));
    if (bound.is_none()) return nb::none();
    return parent.attr("_get_number_formatting")(nb::arg("number") = bound);
}

nb::object resolve_formatted_lower_bound(Args a) { return formatted(a[1], "lower_bound"); }
nb::object resolve_formatted_upper_bound(Args a) { return formatted(a[1], "upper_bound"); }

nb::object resolve_feature_bucketing(Args a) { return field(a[1], interned("feature_bucketing")); }

}  // namespace

NB_MODULE(feature_bucketing, m) {
    qv::init_native_types();
    // The names a Python version of this module would import.
    import_names(m, "typing",
                 {"List", "Optional", "Union", "Any", "Literal", "cast", "get_args", "get_origin"});
    import_names(m, "typing_extensions", {"Annotated"});
    import_module(m, "structlog");
    import_module(m, "strawberry");
    import_module(m, "math");
    import_names(m, "pydantic", {"Field"});
    import_names(m, "abc", {"ABC"});
    import_names(m, "enum", {"Enum"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});

    nb::module_ record_base = nb::module_::import_("quorvex_analytics_utils.utils.record_base");
    nb::object RecordBase = record_base.attr("RecordBase");
    nb::object ABC = nb::module_::import_("abc").attr("ABC");
    m.attr("logger") = nb::module_::import_("structlog").attr("get_logger")(m.attr("__name__"));

    nb::object str_t = typ::builtin("str"), int_t = typ::builtin("int");
    nb::object opt_float = typ::Optional(typ::builtin("float"));
    nb::object opt_str = typ::Optional(str_t);

    nb::object AttributeDataType = declare_str_enum(
        m, "AttributeDataType", {{"CATEGORICAL", "CATEGORICAL"}, {"NUMERICAL", "NUMERICAL"}}, true);
    declare_str_enum(m, "PredictiveModelBinName",
                     {{"DEFAULT", "0_default"},
                      {"DEFINED_DEFAULT", "0_defined_default"},
                      {"SYSTEM_DEFAULT", "0_system_default"},
                      {"NULL", "1_null"}},
                     false);

    nb::object any_t = typ::Any();
    nb::object AbstractAttributeBin =
        RecordClass(m, "AbstractAttributeBin", {RecordBase, ABC})
            .doc("One bin of an attribute.")
            .field("name", str_t)
            .field("value", opt_float, nb::none())
            .field("frequency", opt_float, nb::none())
            .field("target_rate", opt_float, nb::none())
            .field("id", int_t)
            .before_validator({"_apply_type_rule", {Param{"data", Rule::Any, any_t}}, any_t,
                               "Sets the variant tag from the class's literal `type` field."},
                              apply_type_rule)
            .build();

    nb::object AttributeBinCategorical =
        RecordClass(m, "AttributeBinCategorical", {AbstractAttributeBin})
            .doc("One bin of a categorical attribute.")
            .field("type", typ::Literal(AttributeDataType.attr("CATEGORICAL")))
            .field("categories", typ::Optional(typ::List(str_t)), nb::none())
            .before_validator({"_apply_categorical_naming", {Param{"data", Rule::Any, any_t}},
                               any_t, "Names the bin after its id and categories when unnamed."},
                              apply_categorical_naming)
            .build();

    nb::object AttributeBinNumerical =
        RecordClass(m, "AttributeBinNumerical", {AbstractAttributeBin})
            .doc("One bin of a numerical attribute.")
            .field("type", typ::Literal(AttributeDataType.attr("NUMERICAL")))
            .field("lower_bound", opt_float, nb::none())
            .field("upper_bound", opt_float, nb::none())
            .before_validator({"_apply_numerical_naming", {Param{"data", Rule::Any, any_t}}, any_t,
                               "Names the bin after its id and bounds when no name is given."},
                              apply_numerical_naming)
            .staticmethod({"_get_number_formatting",
                           {Param{"number", Rule::Any,
                                  typ::Union({typ::builtin("float"), int_t})}},
                           str_t,
                           "Short text of a bound: -inf, inf, whole numbers in digits, three "
                           "decimals above 0.01, else scientific notation with two decimals."},
                          get_number_formatting)
            .build();

    nb::object AttributeBin = publish(
        m, "AttributeBin",
        typ::Annotated(typ::Union({AttributeBinNumerical, AttributeBinCategorical}),
                       Field(nb::arg("discriminator") = "type")));

    nb::object AbstractAttributeBinType =
        ViewClass(m, "AbstractAttributeBinType", AbstractAttributeBin)
            .auto_field("name")
            .auto_field("value")
            .auto_field("frequency")
            .auto_field("target_rate")
            .auto_field("id")
            .resolver({"type", {}, AttributeDataType, nullptr, true}, resolve_type, AttributeBin)
            .build();
    nb::object AttributeBinCategoricalType =
        ViewClass(m, "AttributeBinCategoricalType", AttributeBinCategorical,
                  {AbstractAttributeBinType})
            .auto_field("categories")
            .build();
    // GraphQL's Float has no infinities or NaN: the bounds keep their record type but are resolved
    // so that an open end shows as null there, and as "-inf"/"inf" in the formatted fields.
    nb::object AttributeBinNumericalType =
        ViewClass(m, "AttributeBinNumericalType", AttributeBinNumerical, {AbstractAttributeBinType})
            .auto_field("lower_bound")
            .auto_field("upper_bound")
            .resolver({"lower_bound", {}, opt_float, nullptr, true}, resolve_lower_bound,
                      AttributeBinNumerical)
            .resolver({"upper_bound", {}, opt_float, nullptr, true}, resolve_upper_bound,
                      AttributeBinNumerical)
            .resolver({"formatted_lower_bound", {}, opt_str, nullptr, true},
                      resolve_formatted_lower_bound, AttributeBinNumerical)
            .resolver({"formatted_upper_bound", {}, opt_str, nullptr, true},
                      resolve_formatted_upper_bound, AttributeBinNumerical)
            .build();

    nb::object FeatureBucketing =
        RecordClass(m, "FeatureBucketing", {RecordBase})
            .doc("Class to store binning of the attributes.")
            .field("attribute", str_t)
            .field("attribute_data_type", AttributeDataType)
            .field("feature_bucketing", typ::List(AttributeBin),
                   Field(nb::arg("default_factory") = typ::builtin("list")))
            .field("binned_attribute_name", opt_str, nb::none())
            .method({"bin_numeric_attribute",
                     {Param{"value", Rule::Any, opt_float}},
                     opt_float,
                     "The value of the bin that the number falls into, a fallback bin's value "
                     "(logged), or None."},
                    bin_numeric_attribute)
            .method({"bin_categoric_attribute",
                     {Param{"value", Rule::StrOrNone, opt_str}},
                     opt_float,
                     "The value of the bin whose categories hold the text, a fallback bin's "
                     "value (logged), or None."},
                    bin_categoric_attribute)
            .build();

    ViewClass(m, "FeatureBucketingType", FeatureBucketing)
        .auto_field("attribute")
        .resolver({"feature_bucketing",
                   {},
                   typ::List(typ::Union({AttributeBinNumericalType, AttributeBinCategoricalType})),
                   nullptr,
                   true},
                  resolve_feature_bucketing, FeatureBucketing)
        .build();
}
