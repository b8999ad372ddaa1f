// Assigning a value to the bin of a FeatureBucketing record: the single-call scan, and the field
// reading and value tests the snapshots share.
#include "engines/bucketing_parts.hpp"

#include "binding/support.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace qv::bucketing {

namespace {

struct Keys {
    PyObject *name, *value, *lower_bound, *upper_bound, *categories, *attribute, *feature_bucketing,
        *binning, *module, *qualname, *numerical_cls, *categorical_cls, *null, *default_,
        *system_default, *defined_default, *empty;
};

/// Interned names, made once per extension module and deliberately never released.
const Keys &keys() {
    static const Keys k{interned("name"),
                        interned("value"),
                        interned("lower_bound"),
                        interned("upper_bound"),
                        interned("categories"),
                        interned("attribute"),
                        interned("feature_bucketing"),
                        interned("binning"),
                        interned("__module__"),
                        interned("__qualname__"),
                        interned("AttributeBinNumerical"),
                        interned("AttributeBinCategorical"),
                        interned("1_null"),
                        interned("0_default"),
                        interned("0_system_default"),
                        interned("0_defined_default"),
                        interned("")};
    return k;
}

}  // namespace

/// Imported once and leaked on purpose, like the classes below.
nb::handle owning_module() {
    static PyObject *module = nullptr;
    if (!module) module = nb::module_::import_(kModule).release().ptr();
    return module;
}

namespace {

/// isinstance(record, cls), answering the common cases without a call into Python.
bool is_instance(PyObject *record, PyObject *cls, PyObject *other_cls) {
    PyTypeObject *t = Py_TYPE(record);
    if (t == reinterpret_cast<PyTypeObject *>(cls)) return true;
    if (t == reinterpret_cast<PyTypeObject *>(other_cls)) return false;
    return qv::is_instance(record, cls);
}

}  // namespace

namespace {

bool ascii_equals(PyObject *s, const char *text, Py_ssize_t n) {
    return std::memcmp(PyUnicode_DATA(s), text, (size_t) n) == 0;
}

Role role_of_generic(PyObject *name) {
    const Keys &k = keys();
    const std::pair<PyObject *, Role> table[] = {{k.default_, Role::Default},
                                                 {k.system_default, Role::SystemDefault},
                                                 {k.defined_default, Role::DefinedDefault},
                                                 {k.null, Role::Null}};
    for (const auto &[text, role] : table)
        if (identical_or_equal(name, text)) return role;
    return Role::Regular;
}

/// `value in categories` for an exact list of exact strings and an exact str value, without a
/// call into Python (so borrowed references stay valid); -1 when the generic test is needed.
int contains_exact(PyObject *list, PyObject *value) {
    if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(value)) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (item == value) return 1;
        if (!PyUnicode_CheckExact(item)) return -1;
        if (same_text(item, value)) return 1;
    }
    return 0;
}

/// The role of a bin's name, read without a reference when it is an exact str.
Role role_of_bin(const Fields &f) {
    PyObject *name = f.peek(keys().name);
    if (name && PyUnicode_CheckExact(name)) return role_of(name);
    return role_of(f[keys().name]);
}

nb::object first_null(nb::handle list) {
    for (Py_ssize_t i = 0;; ++i) {
        nb::object b = list_item(list, i);
        if (!b.is_valid()) return {};
        Fields f(b);
        if (role_of_bin(f) == Role::Null) return result_value(f[keys().value]);
    }
}

nb::object fallback(nb::handle bucketing, nb::handle list, nb::handle shown_value,
                    FallbackSink *sink) {
    for (Py_ssize_t i = 0;; ++i) {
        nb::object b = list_item(list, i);
        if (!b.is_valid()) return nb::none();
        Role role = role_of_bin(Fields(b));
        if (!is_fallback(role)) continue;
        if (sink)
            sink->hit(b, role, shown_value);
        else
            log_fallback(bucketing, role, shown_value);
        return result_value(Fields(b)[keys().value]);
    }
}

}  // namespace

const Classes &classes() {
    static Classes c;
    if (!c.numerical) {
        nb::handle module = owning_module();
        nb::object numerical = module.attr(keys().numerical_cls);
        nb::object categorical = module.attr(keys().categorical_cls);
        c.categorical = categorical.release().ptr();
        c.numerical = numerical.release().ptr();
    }
    return c;
}

/// The bin's value as the methods hand it back: None, or a float. A value assigned after
/// validation (an int, a bool, a Decimal, a text, a float subclass, ...) is converted as `float()`
/// converts it, and the conversion's errors propagate.
nb::object result_value(nb::object value) {
    if (value.is_none() || PyFloat_CheckExact(value.ptr())) return value;
    return check(PyNumber_Float(value.ptr()));
}

/// float(value), None giving NaN; the conversion's errors propagate.
double to_float(nb::handle value) {
    if (value.is_none()) return std::nan("");
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    return PyFloat_AS_DOUBLE(check(PyNumber_Float(value.ptr())).ptr());
}

/// Python's `a < b` (or `a <= b`) as a truth value; its errors propagate.
bool compare(nb::handle a, nb::handle b, int op) {
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) == 1;
}

/// `value in categories`, Python's membership test (and its errors) for anything but exact types.
bool contains(nb::handle categories, nb::handle value) {
    int r = contains_exact(categories.ptr(), value.ptr());
    if (r >= 0) return r == 1;
    return check(PySequence_Contains(categories.ptr(), value.ptr())) == 1;
}

/// Logs the fallback message on the owning module's logger (looked up now, so it can be replaced).
/// The message is not built for a logger that drops the event unseen, when building it runs no
/// Python code.
void log_fallback(nb::handle bucketing, Role role, nb::handle shown_value) {
    nb::object attribute = Fields(bucketing)[keys().attribute];
    bool pure = formats_without_python(attribute) && formats_without_python(shown_value);
    log_event(owning_module(), role == Role::DefinedDefault ? "debug" : "warning", pure, [&] {
        const Keys &k = keys();
        nb::object a_text = check(PyObject_Format(attribute.ptr(), k.empty));
        nb::object v_text = check(PyObject_Format(shown_value.ptr(), k.empty));
        return check(PyUnicode_FromFormat(
            "Predictive model hit default value when processing binning of attribute '%U' with "
            "value '%U'.",
            a_text.ptr(), v_text.ptr()));
    });
}

/// The bin list as a list (the record's own list object when it is one).
nb::object bin_list(nb::handle bucketing) {
    nb::object bins = Fields(bucketing)[keys().feature_bucketing];
    if (PyList_Check(bins.ptr())) return bins;
    return list_of(bins);
}

void check_categorical_value(nb::handle value) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr()))
        raise_arg_type("value", "str", value);
}

/// None or the text "nan" (checked by bytes for an exact str, the only other value accepted).
bool is_missing_category(nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None) return true;
    if (!PyUnicode_CheckExact(v)) return str_equals(value, "nan");
    return PyUnicode_GET_LENGTH(v) == 3 && PyUnicode_IS_COMPACT_ASCII(v) &&
           std::memcmp(PyUnicode_DATA(v), "nan", 3) == 0;
}

nb::object float_object(double v) { return check(PyFloat_FromDouble(v)); }

const FieldNames &field_names() {
    const Keys &k = keys();
    static const FieldNames names{.name = k.name,
                                  .value = k.value,
                                  .lower_bound = k.lower_bound,
                                  .upper_bound = k.upper_bound,
                                  .categories = k.categories,
                                  .attribute = k.attribute,
                                  .feature_bucketing = k.feature_bucketing,
                                  .binning = k.binning};
    return names;
}

bool is_numerical(nb::handle record) {
    const Classes &c = classes();
    return is_instance(record.ptr(), c.numerical, c.categorical);
}

bool is_categorical(nb::handle record) {
    const Classes &c = classes();
    return is_instance(record.ptr(), c.categorical, c.numerical);
}

Role role_of(nb::handle name) {
    PyObject *s = name.ptr();
    if (!PyUnicode_CheckExact(s)) return role_of_generic(s);
    if (!PyUnicode_IS_COMPACT_ASCII(s)) return Role::Regular;  // the reserved names are ASCII
    switch (PyUnicode_GET_LENGTH(s)) {
        case 6: return ascii_equals(s, "1_null", 6) ? Role::Null : Role::Regular;
        case 9: return ascii_equals(s, "0_default", 9) ? Role::Default : Role::Regular;
        case 16:
            return ascii_equals(s, "0_system_default", 16) ? Role::SystemDefault : Role::Regular;
        case 17:
            return ascii_equals(s, "0_defined_default", 17) ? Role::DefinedDefault : Role::Regular;
        default: return Role::Regular;
    }
}

bool is_own_method(nb::handle bucketing, Which which) {
    static PyObject *own[2] = {nullptr, nullptr};  // found once, deliberately never released
    const char *name =
        which == Which::Numeric ? "bin_numeric_attribute" : "bin_categoric_attribute";
    PyObject *&known = own[which == Which::Numeric ? 0 : 1];
    if (!known) {
        nb::object cls = nb::module_::import_(kModule).attr("FeatureBucketing");
        nb::object fn = own_function(cls, name, kModule, "FeatureBucketing");
        if (fn.is_none()) return false;  // patched before the first look: asked again next time
        known = keep_forever(fn);
    }
    return qv::is_own_method(bucketing, interned(name), known);
}

nb::object bin_numeric(nb::handle bucketing, nb::handle value, FallbackSink *sink) {
    double v = to_float(value);  // once: its Python code may change the bins read below
    if (nb::object known = numeric_kept(bucketing, v); known.is_valid()) return known;
    nb::object list = bin_list(bucketing);
    if (std::isnan(v)) {
        if (nb::object r = first_null(list); r.is_valid()) return r;
    } else {
        nb::object v_obj;  // made only when a comparison has to go through Python
        for (Py_ssize_t i = 0;; ++i) {
            nb::object b = list_item(list, i);
            if (!b.is_valid()) break;
            if (!is_numerical(b)) continue;
            Fields f(b);
            if (role_of_bin(f) != Role::Regular) continue;
            // Exact float bounds are tested on borrowed references (nothing here runs Python
            // code); anything else takes the general path below.
            PyObject *lower = f.peek(keys().lower_bound);
            if (lower && PyFloat_CheckExact(lower)) {
                if (!(PyFloat_AS_DOUBLE(lower) < v)) continue;
                PyObject *upper = f.peek(keys().upper_bound);
                if (upper && PyFloat_CheckExact(upper)) {
                    if (!(v <= PyFloat_AS_DOUBLE(upper))) continue;
                    return result_value(f[keys().value]);
                }
            }
            auto upper = [&] { return f[keys().upper_bound]; };
            if (!in_range(f[keys().lower_bound], upper, v, v_obj)) continue;
            return result_value(f[keys().value]);
        }
    }
    return fallback(bucketing, list, float_object(v), sink);
}

namespace {

/// The membership scan of `bin_categoric` for an exact str `value`, run on borrowed references
/// while no step can run Python code: bins of exactly the two bin classes, fields at their learned
/// dict positions, exact str names, exact lists of exact strings. Sets `result` at the first
/// regular categorical bin containing the value. Returns the index where the general scan must
/// go on: the list's size when every bin was decided here, else the first bin that needs Python
/// code (nothing has run by then, so the general scan sees that bin exactly as the first time).
Py_ssize_t scan_categoric_quietly(PyObject *list, PyObject *value, nb::object &result) {
    const Classes &c = classes();
    const Keys &k = keys();
    Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *record = PyList_GET_ITEM(list, i);
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record));
        if (type == c.numerical) continue;
        if (type != c.categorical) return i;
        Fields f(record);
        // The name first, as in the general scan: reserved bins (the null bin has no list of
        // categories) are skipped without reading their categories.
        PyObject *name = f.peek_in_place(k.name);
        if (!name || !PyUnicode_CheckExact(name)) return i;
        if (role_of(name) != Role::Regular) continue;
        PyObject *categories = f.peek_in_place(k.categories);
        if (!categories) return i;
        int found = contains_exact(categories, value);
        if (found < 0) return i;
        if (!found) continue;
        PyObject *bin_value = f.peek_in_place(k.value);
        if (!bin_value) return i;
        result = result_value(nb::borrow(bin_value));
        return size;
    }
    return size;
}

}  // namespace

nb::object bin_categoric(nb::handle bucketing, nb::handle value, FallbackSink *sink) {
    check_categorical_value(value);
    if (nb::object known = categoric_kept(bucketing, value); known.is_valid()) return known;
    nb::object list = bin_list(bucketing);
    if (is_missing_category(value)) {
        if (nb::object r = first_null(list); r.is_valid()) return r;
    } else {
        nb::object quick;
        Py_ssize_t start = scan_categoric_quietly(list.ptr(), value.ptr(), quick);
        if (quick.is_valid()) return quick;
        for (Py_ssize_t i = start;; ++i) {
            nb::object b = list_item(list, i);
            if (!b.is_valid()) break;
            if (!is_categorical(b)) continue;
            Fields f(b);
            if (role_of_bin(f) != Role::Regular) continue;
            PyObject *categories = f.peek(keys().categories);  // borrowed while no Python runs
            int found = categories ? contains_exact(categories, value.ptr()) : -1;
            if (found < 0) found = contains(f[keys().categories], value);
            if (found) return result_value(f[keys().value]);
        }
    }
    return fallback(bucketing, list, value, sink);
}

}  // namespace qv::bucketing
