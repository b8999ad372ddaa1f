// Bins of one attribute (numerical and categorical), their naming rules, the FeatureBucketing
// record that assigns values to bins, and the GraphQL views of all of them.
#include "binding/declare.hpp"
#include "binding/support.hpp"
#include "engines/bin_names.hpp"
#include "engines/bucketing.hpp"
#include "kernels/number_format.hpp"

#include <cmath>

namespace {

using namespace qv;

constexpr Py_ssize_t kMaxJoinedCategories = 50;

/// Names and objects the rules use on every construction; set at import and never released.
struct State {
    PyObject *id, *name, *type, *lower_bound, *upper_bound, *categories, *empty, *comma, *ellipsis,
        *model_fields, *annotation, *origin, *args, *get_number_formatting, *literal;
    PyObject *own_formatting;  ///< the bound formatting function AttributeBinNumerical installs
    PyObject *mapping;         ///< collections.abc.Mapping
    PyObject *numerical,
        *categorical;  ///< the AttributeDataType members (their text is their value)
};

State state;

// ---- the rules run on the field values before validation

/// A copy of the input mapping that the rules may change; non-mappings are left to validation.
nb::object editable(nb::handle data) {
    if (PyDict_Check(data.ptr())) {
        return check(PyDict_Copy(data.ptr()));
    }
    if (!nb::isinstance(data, nb::handle(state.mapping))) return {};
    nb::dict copy;
    check(PyDict_Merge(copy.ptr(), data.ptr(), 1));
    return copy;
}

/// data.get(key), None when absent.
nb::object get_or_none(nb::handle data, PyObject *key) {
    PyObject *v = dict_lookup(data.ptr(), key);
    return v ? nb::borrow(v) : nb::none();
}

/// data["id"], raising the KeyError of a missing entry.
nb::object required_id(nb::handle data) {
    PyObject *v = PyDict_GetItemWithError(data.ptr(), state.id);
    if (v) return nb::borrow(v);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, state.id);
    fail();
}

/// "{}".format(value)
nb::object format_plain(nb::handle value) {
    return check(PyObject_Format(value.ptr(), state.empty));
}

/// Bound formatting for numbers that are neither exact floats nor exact ints, step by step with
/// Python's own operations (so Decimal, numpy scalars, bool behave as they would, and text fails
/// on the missing is_integer).
nb::object format_number_generic(nb::handle number) {
    nb::object inf = nb::float_(HUGE_VAL), minus_inf = nb::float_(-HUGE_VAL);
    if (identical_or_equal(number, minus_inf)) return nb::str("-inf");
    if (identical_or_equal(number, inf)) return nb::str("inf");
    if (truth(number.attr("is_integer")())) {
        return to_str(check(PyNumber_Long(number.ptr())));
    }
    nb::object scaled = check(PyNumber_Multiply(number.ptr(), nb::int_(100).ptr()));
    bool fixed = truth(check(PyObject_RichCompare(scaled.ptr(), nb::int_(1).ptr(), Py_GT)));
    return check(PyObject_Format(number.ptr(), nb::str(fixed ? ".3f" : ".2E").ptr()));
}

nb::object format_number(nb::handle number) {
    if (PyFloat_CheckExact(number.ptr()))
        return nb::str(kernels::format_bound(PyFloat_AS_DOUBLE(number.ptr())).c_str());
    if (PyLong_CheckExact(number.ptr())) return to_str(number);
    return format_number_generic(number);
}

nb::object get_number_formatting_impl(Args a) {
    nb::handle number = a[0];
    return format_number(number);
}

/// What the type rule reads from a class: the tag its Literal `type` field gives (a new reference),
/// or an empty object when the class has no such field and the data is left as it is.
nb::object literal_type_of(nb::handle cls) {
    nb::object fields = cls.attr(state.model_fields);
    PyObject *info = dict_lookup(fields.ptr(), state.type);
    if (!info) {
        return {};
    }
    nb::object annotation = nb::borrow(info).attr(state.annotation);
    // typing.get_origin(annotation) is Literal: a typing alias whose origin is Literal.
    PyObject *origin = PyObject_GetAttr(annotation.ptr(), state.origin);
    if (!origin) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        return {};
    }
    bool literal = origin == state.literal;
    Py_DECREF(origin);
    if (!literal) return {};
    nb::object values = annotation.attr(state.args);
    return nb::len(values) > 0 ? nb::object(values[0]) : nb::none();
}

/// The type rule's answer for one class, kept while neither the class (nor any base) nor its
/// metaclass has changed: CPython gives a class a new version tag whenever an attribute of it or of
/// a base is set or deleted (`model_rebuild`, a patched `model_fields`), and never gives a tag
/// twice, so a class freed and another made at its address cannot match. The field table itself is
/// pydantic's and is not changed in place (pydantic would not honour that either).
struct TypeRuleEntry {
    PyTypeObject *cls = nullptr;  ///< compared only, never dereferenced
    unsigned int tag = 0, meta_tag = 0;
    bool literal = false;
    PyObject *tag_value = nullptr;  ///< strong reference while the entry holds it
};
constexpr size_t kTypeRuleEntries = 8;
TypeRuleEntry type_rule_cache[kTypeRuleEntries];
size_t type_rule_next = 0;

/// Version tags of the class and its metaclass, or false when CPython cannot give one.
bool version_tags(PyTypeObject *cls, unsigned int &tag, unsigned int &meta_tag) {
    PyTypeObject *meta = Py_TYPE(cls);
    if (!PyUnstable_Type_AssignVersionTag(cls) || !PyUnstable_Type_AssignVersionTag(meta))
        return false;
    tag = cls->tp_version_tag;
    meta_tag = meta->tp_version_tag;
    return tag != 0 && meta_tag != 0;
}

/// The type rule: the "type" entry becomes the first value of the class's Literal `type` field.
nb::object apply_type_rule_impl(Args a) {
    nb::handle cls = a[0], data = a[1];
    nb::object tag_value;
    bool literal = false, cached = false;
    unsigned int tag = 0, meta_tag = 0;
    bool taggable = PyType_Check(cls.ptr()) &&
                    version_tags(reinterpret_cast<PyTypeObject *>(cls.ptr()), tag, meta_tag);
    if (taggable) {
        for (const TypeRuleEntry &e : type_rule_cache) {
            if (e.cls == reinterpret_cast<PyTypeObject *>(cls.ptr()) && e.tag == tag &&
                e.meta_tag == meta_tag) {
                literal = e.literal;
                if (literal) tag_value = nb::borrow(e.tag_value);
                cached = true;
                break;
            }
        }
    }
    if (!cached) {
        tag_value = literal_type_of(cls);
        literal = tag_value.is_valid();
        // Reading the field table runs Python code, which may have changed the class meanwhile.
        unsigned int now = 0, meta_now = 0;
        if (taggable && version_tags(reinterpret_cast<PyTypeObject *>(cls.ptr()), now, meta_now) &&
            now == tag && meta_now == meta_tag) {
            TypeRuleEntry &e = type_rule_cache[type_rule_next];
            type_rule_next = (type_rule_next + 1) % kTypeRuleEntries;
            PyObject *old = e.tag_value;
            e = TypeRuleEntry{reinterpret_cast<PyTypeObject *>(cls.ptr()), tag, meta_tag, literal,
                              literal ? Py_NewRef(tag_value.ptr()) : nullptr};
            Py_XDECREF(old);
        }
    }
    if (!literal) return nb::borrow(data);
    // An exact dict that already holds the tag, or the text of one of the two data types when that
    // is the tag (validation reads the text as that very member), is handed on as it is: the record
    // validated is the same, and no copy is needed.
    if (PyDict_CheckExact(data.ptr())) {
        PyObject *given = PyDict_GetItemWithError(data.ptr(), state.type);
        if (given == tag_value.ptr()) return nb::borrow(data);
        if (!given && PyErr_Occurred()) fail();
        bool own_member = tag_value.is(state.numerical) || tag_value.is(state.categorical);
        if (given && own_member && PyUnicode_CheckExact(given) && same_text(given, tag_value.ptr()))
            return nb::borrow(data);
    }
    nb::object copy = editable(data);
    if (!copy.is_valid()) return nb::borrow(data);
    copy[state.type] = tag_value;
    return copy;
}

/// Numerical naming: "<id>_(<lower>;<upper>)" when no "name" is given and both bounds are set.
nb::object apply_numerical_naming_impl(Args a) {
    nb::handle cls = a[0], data = a[1];
    // An exact dict that names its bin is handed on as it is: nothing would change (and the
    // caller's data is never changed, so no copy is needed).
    if (PyDict_CheckExact(data.ptr())) {
        int named = check(PyDict_Contains(data.ptr(), state.name));
        if (named) return nb::borrow(data);
    }
    nb::object copy = editable(data);
    if (!copy.is_valid()) return nb::borrow(data);
    if (check(PyDict_Contains(copy.ptr(), state.name))) return copy;
    nb::object lower = get_or_none(copy, state.lower_bound),
               upper = get_or_none(copy, state.upper_bound);
    if (lower.is_none() || upper.is_none()) return copy;
    nb::object raw_id = required_id(copy);
    // Through the class, so that a subclass's own bound formatting names its bins.
    nb::object formatting = nb::borrow(cls).attr(state.get_number_formatting);
    // Built in one piece while the class formats bounds with the package's own function.
    nb::object plain = formatting.is(state.own_formatting)
                           ? bins::plain_numerical_name(raw_id, lower, upper)
                           : nb::object();
    if (plain.is_valid()) {
        copy[state.name] = plain;
        return copy;
    }
    nb::object id = format_plain(raw_id);
    nb::object lower_text = format_plain(formatting(lower));
    nb::object upper_text = format_plain(formatting(upper));
    copy[state.name] =
        check(PyUnicode_FromFormat("%U_(%U;%U)", id.ptr(), lower_text.ptr(), upper_text.ptr()));
    return copy;
}

/// The categories joined by "," (each through str()), cut to 47 characters plus "..." when longer
/// than 50; None when there are no categories.
nb::object joined_categories(nb::handle categories) {
    if (categories.is_none()) return nb::none();
    nb::list texts;
    for_each(categories, [&](nb::handle element) { texts.append(to_str(element)); });
    nb::object text = check(PyUnicode_Join(state.comma, texts.ptr()));
    if (PyUnicode_GET_LENGTH(text.ptr()) <= kMaxJoinedCategories) return text;
    nb::object cut = check(PyUnicode_Substring(text.ptr(), 0, kMaxJoinedCategories - 3));
    return check(PyUnicode_Concat(cut.ptr(), state.ellipsis));
}

/// Categorical naming: "<id>_{<joined categories>}" when "name" is absent or None.
nb::object apply_categorical_naming_impl(Args a) {
    nb::handle data = a[1];
    // An exact dict that names its bin is handed on as it is, as above.
    if (PyDict_CheckExact(data.ptr())) {
        PyObject *given = PyDict_GetItemWithError(data.ptr(), state.name);
        if (given && given != Py_None) return nb::borrow(data);
        if (!given && PyErr_Occurred()) fail();
    }
    nb::object copy = editable(data);
    if (!copy.is_valid()) return nb::borrow(data);
    if (!get_or_none(copy, state.name).is_none()) return copy;
    nb::object categories = get_or_none(copy, state.categories);
    // Plain categories (an exact list of exact str) and id: named in one piece, nothing to run.
    if (PyObject *given_id = PyDict_GetItemWithError(copy.ptr(), state.id)) {
        if (nb::object name = bins::plain_categorical_name(given_id, categories); name.is_valid()) {
            copy[state.name] = name;
            return copy;
        }
    } else if (PyErr_Occurred()) {
        fail();
    }
    nb::object joined = joined_categories(categories);
    nb::object id = format_plain(required_id(copy));
    nb::object joined_text = format_plain(joined);
    copy[state.name] = check(PyUnicode_FromFormat("%U_{%U}", id.ptr(), joined_text.ptr()));
    return copy;
}

// ---- bucketing

nb::object bin_numeric_attribute_impl(Args a) {
    nb::handle self = a[0], value = a[1];
    return bucketing::bin_numeric(self, value);
}
nb::object bin_categoric_attribute_impl(Args a) {
    nb::handle self = a[0], value = a[1];
    return bucketing::bin_categoric(self, value);
}

// ---- view resolvers (self, parent)

nb::object type_impl(Args a) {
    nb::handle parent = a[1];
    return field(parent, interned("type"));
}

/// A bound as GraphQL's Float can carry it: infinities and NaN are shown as null.
nb::object finite_or_none(nb::object bound) {
    if (PyFloat_Check(bound.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(bound.ptr())))
        return nb::none();
    return bound;
}

nb::object lower_bound_impl(Args a) {
    nb::handle parent = a[1];
    return finite_or_none(field(parent, interned("lower_bound")));
}
nb::object upper_bound_impl(Args a) {
    nb::handle parent = a[1];
    return finite_or_none(field(parent, interned("upper_bound")));
}

nb::object formatted(nb::handle parent, const char *name) {
    nb::object bound = field(parent, interned(name));
    if (bound.is_none()) return nb::none();
    return parent.attr("_get_number_formatting")(nb::arg("number") = bound);
}

nb::object formatted_lower_bound_impl(Args a) {
    nb::handle parent = a[1];
    return formatted(parent, "lower_bound");
}
nb::object formatted_upper_bound_impl(Args a) {
    nb::handle parent = a[1];
    return formatted(parent, "upper_bound");
}

nb::object feature_bucketing_impl(Args a) {
    nb::handle parent = a[1];
    return field(parent, interned("feature_bucketing"));
}

}  // namespace

NB_MODULE(feature_bucketing, m) {
    qv::init_native_types();
    m.doc() =
        "Bins of one attribute and the bucketing of a value.\n\n`FeatureBucketing` holds "
        "the ordered bins (`AttributeBinNumerical` covering the interval (lower_bound, "
        "upper_bound], or `AttributeBinCategorical` holding categories) and turns a raw "
        "value into the `value` of its bin. Bins named after `PredictiveModelBinName` are "
        "special: \"1_null\" takes missing values, \"0_default\", \"0_system_default\" and "
        "\"0_defined_default\" take what no regular bin takes. A fallback is logged "
        "through `logger` (structlog, named after this module): warning for the default "
        "and system default bins, debug for the defined default. The `...Type` classes are "
        "the GraphQL views.";
    state = State{interned("id"),
                  interned("name"),
                  interned("type"),
                  interned("lower_bound"),
                  interned("upper_bound"),
                  interned("categories"),
                  interned(""),
                  interned(","),
                  interned("..."),
                  interned("model_fields"),
                  interned("annotation"),
                  interned("__origin__"),
                  interned("__args__"),
                  interned("_get_number_formatting"),
                  keep_forever(nb::module_::import_("typing").attr("Literal")),
                  nullptr,
                  keep_forever(nb::module_::import_("collections.abc").attr("Mapping")),
                  nullptr,
                  nullptr};
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

    nb::module_ record_base_module =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base");
    nb::object record_base = record_base_module.attr("RecordBase");
    nb::object abc_base = nb::module_::import_("abc").attr("ABC");
    m.attr("logger") = nb::module_::import_("structlog").attr("get_logger")(m.attr("__name__"));

    nb::object str_t = typ::builtin("str"), int_t = typ::builtin("int");
    nb::object opt_float = typ::Optional(typ::builtin("float"));
    nb::object opt_str = typ::Optional(str_t);

    nb::object attribute_data_type = declare_str_enum(
        m, "AttributeDataType", {{"CATEGORICAL", "CATEGORICAL"}, {"NUMERICAL", "NUMERICAL"}}, true,
        "Kind of an attribute's values: CATEGORICAL (text categories) or NUMERICAL (numbers). Also "
        "a GraphQL enumeration.");
    state.numerical = keep_forever(attribute_data_type.attr("NUMERICAL"));
    state.categorical = keep_forever(attribute_data_type.attr("CATEGORICAL"));
    declare_str_enum(m, "PredictiveModelBinName",
                     {{"DEFAULT", "0_default"},
                      {"DEFINED_DEFAULT", "0_defined_default"},
                      {"SYSTEM_DEFAULT", "0_system_default"},
                      {"NULL", "1_null"}},
                     false,
                     "Reserved bin names: a bin whose `name` equals one of these texts is the "
                     "null bin (NULL, \"1_null\") or a fallback bin (DEFAULT, SYSTEM_DEFAULT, "
                     "DEFINED_DEFAULT).");

    nb::object any_t = typ::Any();
    nb::object abstract_attribute_bin =
        RecordClass(m, "AbstractAttributeBin", {record_base, abc_base})
            .doc("One bin of an attribute.")
            .field("name", str_t)
            .field("value", opt_float, nb::none())
            .field("frequency", opt_float, nb::none())
            .field("target_rate", opt_float, nb::none())
            .field("id", int_t)
            .before_validator({.name = "_apply_type_rule",
                               .params = {{.name = "data", .annotation = any_t}},
                               .returns = any_t,
                               .doc = "Sets the variant tag from the class's literal `type` "
                                      "field."},
                              apply_type_rule_impl)
            .build();

    nb::object attribute_bin_categorical =
        RecordClass(m, "AttributeBinCategorical", {abstract_attribute_bin})
            .doc("One bin of a categorical attribute.")
            .field("type", typ::Literal(attribute_data_type.attr("CATEGORICAL")))
            .field("categories", typ::Optional(typ::List(str_t)), nb::none())
            .before_validator({.name = "_apply_categorical_naming",
                               .params = {{.name = "data", .annotation = any_t}},
                               .returns = any_t,
                               .doc = "Names the bin after its id and categories when unnamed."},
                              apply_categorical_naming_impl)
            .build();

    nb::object attribute_bin_numerical =
        RecordClass(m, "AttributeBinNumerical", {abstract_attribute_bin})
            .doc("One bin of a numerical attribute.")
            .field("type", typ::Literal(attribute_data_type.attr("NUMERICAL")))
            .field("lower_bound", opt_float, nb::none())
            .field("upper_bound", opt_float, nb::none())
            .before_validator({.name = "_apply_numerical_naming",
                               .params = {{.name = "data", .annotation = any_t}},
                               .returns = any_t,
                               .doc = "Names the bin after its id and bounds when no name is "
                                      "given."},
                              apply_numerical_naming_impl)
            .staticmethod(
                {.name = "_get_number_formatting",
                 .params = {{.name = "number",
                             .annotation = typ::Union({typ::builtin("float"), int_t})}},
                 .returns = str_t,
                 .doc = "Short text of a bound: -inf, inf, whole numbers in digits, three "
                        "decimals above 0.01, else scientific notation with two decimals."},
                get_number_formatting_impl)
            .build();
    state.own_formatting = keep_forever(attribute_bin_numerical.attr("_get_number_formatting"));

    nb::object attribute_bin =
        publish(m, "AttributeBin",
                typ::Annotated(typ::Union({attribute_bin_numerical, attribute_bin_categorical}),
                               Field(nb::arg("discriminator") = "type")));

    nb::object abstract_attribute_bin_type =
        ViewClass(m, "AbstractAttributeBinType", abstract_attribute_bin)
            .doc("GraphQL view of a bin: name, value, frequency, target rate, id and type.")
            .auto_field("name", "The bin's name, for example 2_(-inf;30) or 1_null.")
            .auto_field("value",
                        "The number that stands for values of the bin (weight of evidence or "
                        "score points).")
            .auto_field("frequency", "Share of the development sample in the bin.")
            .auto_field("target_rate", "Target rate of the development sample in the bin.")
            .auto_field("id", "The bin's number.")
            .resolver({.name = "type",
                       .returns = attribute_data_type,
                       .doc = "The bin's kind, NUMERICAL or CATEGORICAL (the record's `type` "
                              "tag).",
                       .is_async = true},
                      type_impl, attribute_bin)
            .build();
    nb::object attribute_bin_categorical_type =
        ViewClass(m, "AttributeBinCategoricalType", attribute_bin_categorical,
                  {abstract_attribute_bin_type})
            .doc("GraphQL view of a categorical bin: the common bin fields and its categories.")
            .auto_field("categories", "The categories the bin takes; null for a special bin.")
            .build();
    // GraphQL's Float has no infinities or NaN: the bounds keep their record type but are resolved
    // so that an open end shows as null there, and as "-inf"/"inf" in the formatted fields. They
    // resolve synchronously: strawberry runs every asynchronous field as an asyncio task of its
    // own, the main cost of a query over many bins.
    nb::object attribute_bin_numerical_type =
        ViewClass(m, "AttributeBinNumericalType", attribute_bin_numerical,
                  {abstract_attribute_bin_type})
            .doc(
                "GraphQL view of a numerical bin: the common bin fields, its bounds and the "
                "bounds as short text.\n\nGraphQL's Float has no infinities: an open bound "
                "shows as null in `lower_bound`/`upper_bound` and as -inf or inf in the "
                "formatted fields.")
            .auto_field("lower_bound")
            .auto_field("upper_bound")
            .resolver({.name = "lower_bound",
                       .returns = opt_float,
                       .doc = "The lower bound; null when missing or infinite."},
                      lower_bound_impl, attribute_bin_numerical)
            .resolver({.name = "upper_bound",
                       .returns = opt_float,
                       .doc = "The upper bound; null when missing or infinite."},
                      upper_bound_impl, attribute_bin_numerical)
            .resolver({.name = "formatted_lower_bound",
                       .returns = opt_str,
                       .doc = "The lower bound as short text (-inf, inf, whole numbers in "
                              "digits, three decimals above 0.01, else scientific notation); "
                              "null when missing.",
                       .is_async = true},
                      formatted_lower_bound_impl, attribute_bin_numerical)
            .resolver({.name = "formatted_upper_bound",
                       .returns = opt_str,
                       .doc = "The upper bound as short text, formatted as the lower bound; null "
                              "when missing.",
                       .is_async = true},
                      formatted_upper_bound_impl, attribute_bin_numerical)
            .build();

    nb::object feature_bucketing =
        RecordClass(m, "FeatureBucketing", {record_base})
            .doc("Class to store binning of the attributes.")
            .field("attribute", str_t)
            .field("attribute_data_type", attribute_data_type)
            .field("feature_bucketing", typ::List(attribute_bin),
                   Field(nb::arg("default_factory") = typ::builtin("list")))
            .field("binned_attribute_name", opt_str, nb::none())
            .method({.name = "bin_numeric_attribute",
                     .params = {{.name = "value", .annotation = opt_float}},
                     .returns = opt_float,
                     .doc = "The value of the bin that the number falls into, a fallback bin's "
                            "value (logged), or None.\n\n`value` goes through float(): 7 and the "
                            "text \"7\" both read as 7.0; None and NaN are missing and take the "
                            "\"1_null\" bin. A regular numerical bin takes v when lower_bound < "
                            "v <= upper_bound; the first match in list order wins. Otherwise the "
                            "first fallback bin answers, logged at warning (0_default, "
                            "0_system_default) or debug (0_defined_default) level. No bin at "
                            "all: None, nothing logged. Raises what float() raises for the "
                            "value, and TypeError when the scan reaches a regular bin without "
                            "bounds."},
                    bin_numeric_attribute_impl)
            .method({.name = "bin_categoric_attribute",
                     .params = {{.name = "value", .rule = Rule::StrOrNone, .annotation = opt_str}},
                     .returns = opt_float,
                     .doc = "The value of the bin whose categories hold the text, a fallback "
                            "bin's value (logged), or None.\n\n`value` must be exactly str or "
                            "None (anything else: TypeError). None and the text \"nan\" are "
                            "missing and take the \"1_null\" bin. Categories match by exact text "
                            "equality, first bin in list order wins. Fallback and logging as in "
                            "`bin_numeric_attribute`."},
                    bin_categoric_attribute_impl)
            .build();

    ViewClass(m, "FeatureBucketingType", feature_bucketing)
        .doc(
            "GraphQL view of an attribute's binning: the attribute and its bins, each through "
            "the view of its kind.")
        .auto_field("attribute", "The binned attribute.")
        .resolver({.name = "feature_bucketing",
                   .returns = typ::List(
                       typ::Union({attribute_bin_numerical_type, attribute_bin_categorical_type})),
                   .doc = "The bins in record order, unchanged.",
                   .is_async = true},
                  feature_bucketing_impl, feature_bucketing)
        .build();
}
