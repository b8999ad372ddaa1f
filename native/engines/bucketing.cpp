// Assigning a value to the bin of a FeatureBucketing record, single calls and snapshots.
#include "engines/bucketing.hpp"

#include "binding/cpython_private.hpp"
#include "binding/support.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <unordered_map>
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

/// The owning module, imported once (leaked on purpose, like the classes below); its `logger`
/// attribute is read on every log call, so that a replaced logger is used.
nb::handle owning_module() {
    static PyObject *module = nullptr;
    if (!module) module = nb::module_::import_(kModule).release().ptr();
    return module;
}

/// The two bin classes, looked up once from the owning module (leaked on purpose: they live as
/// long as the process keeps the module).
struct Classes {
    PyObject *numerical = nullptr;
    PyObject *categorical = nullptr;
};

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

/// isinstance(record, cls), answering the common cases without a call into Python.
bool is_instance(PyObject *record, PyObject *cls, PyObject *other_cls) {
    PyTypeObject *t = Py_TYPE(record);
    if (t == reinterpret_cast<PyTypeObject *>(cls)) return true;
    if (t == reinterpret_cast<PyTypeObject *>(other_cls)) return false;
    return qv::is_instance(record, cls);
}

/// The key objects of a record class's instance dicts, indexed by `Field`. pydantic-core fills
/// every instance dict of a class with the same (not interned) key objects; looking up with those
/// very objects lets the dict match by identity instead of comparing text. A stale entry only
/// costs speed: lookups still compare equal keys.
constexpr std::size_t kFields = 8;
using FieldKeys = std::array<PyObject *, kFields>;

const FieldKeys &interned_keys() {
    const Keys &k = keys();
    static const FieldKeys fk{k.name,       k.value,     k.lower_bound,       k.upper_bound,
                              k.categories, k.attribute, k.feature_bucketing, k.binning};
    return fk;
}

}  // namespace

/// Key objects and their entry positions in the instance dicts of one record class.
struct KeyLayout {
    FieldKeys keys;
    std::array<Py_ssize_t, kFields> positions;  ///< -1: unknown
};

namespace {

KeyLayout learn_layout(PyObject *dict) {
    KeyLayout result{interned_keys(), {}};
    result.positions.fill(-1);
    Py_ssize_t pos = 0, at = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (at = pos, PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) continue;
        for (std::size_t i = 0; i < kFields; ++i) {
            PyObject *&known = result.keys[i];
            if (key == known || PyUnicode_Compare(key, known) == 0) {
                if (key != known) {
                    Py_INCREF(key);  // kept for the life of the process, like the interned names
                    known = key;
                }
                result.positions[i] = at;
            }
        }
    }
    PyErr_Clear();  // PyUnicode_Compare cannot fail on two exact strings; be safe anyway
    return result;
}

/// The learned layouts of the last few record classes seen (the two bin classes, FeatureBucketing).
class KeyCache {
public:
    const KeyLayout &for_record(PyObject *record, PyObject *dict) {
        PyTypeObject *t = Py_TYPE(record);
        for (Entry &e : entries_)
            if (e.type == t) return e.layout;
        Entry &e = entries_[next_++ % kEntries];
        e.type = t;
        e.layout = learn_layout(dict);
        return e.layout;
    }

private:
    struct Entry {
        PyTypeObject *type = nullptr;  ///< compared only, never dereferenced
        KeyLayout layout{};
    };
    static constexpr unsigned kEntries = 4;
    Entry entries_[kEntries];
    unsigned next_ = 0;
};

/// Layout used when a record has no instance dict: interned names, no positions.
const KeyLayout &plain_layout() {
    static const KeyLayout layout = [] {
        KeyLayout l{interned_keys(), {}};
        l.positions.fill(-1);
        return l;
    }();
    return layout;
}

KeyCache &key_cache() {
    static KeyCache cache;
    return cache;
}

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

/// The range test of one regular numerical bin: `lower < v`, and only then `v <= upper`, exact
/// floats compared in C, anything else through Python (with its errors). `v_obj` is made on demand.
/// `upper_of` reads the upper bound only when it is needed.
template <typename UpperOf>
bool in_range(nb::handle lower, UpperOf &&upper_of, double v, nb::object &v_obj) {
    auto number = [&]() -> nb::handle {
        if (!v_obj.is_valid()) v_obj = check(PyFloat_FromDouble(v));
        return v_obj;
    };
    if (PyFloat_CheckExact(lower.ptr())) {
        if (!(PyFloat_AS_DOUBLE(lower.ptr()) < v)) return false;
    } else if (!compare(lower, number(), Py_LT)) {
        return false;
    }
    nb::object upper = upper_of();
    if (PyFloat_CheckExact(upper.ptr())) return v <= PyFloat_AS_DOUBLE(upper.ptr());
    return compare(number(), upper, Py_LE);
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
    nb::object attribute = Fields(bucketing).get(Field::Attribute);
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
    nb::object bins = Fields(bucketing).get(Field::FeatureBucketing);
    if (PyList_Check(bins.ptr())) return bins;
    return list_of(bins);
}

/// The role of a bin's name, read without a reference when it is an exact str.
Role role_of_bin(const Fields &f) {
    PyObject *name = f.peek(Field::Name);
    if (name && PyUnicode_CheckExact(name)) return role_of(name);
    return role_of(f.get(Field::Name));
}

nb::object first_null(nb::handle list) {
    for (Py_ssize_t i = 0;; ++i) {
        nb::object b = list_item(list, i);
        if (!b.is_valid()) return {};
        Fields f(b);
        if (role_of_bin(f) == Role::Null) return result_value(f.get(Field::Value));
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
        return result_value(Fields(b).get(Field::Value));
    }
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

}  // namespace

Fields::Fields(nb::handle record) : record_(record), layout_(&plain_layout()) {
    // The instance dict slot itself (records keep their fields there); no dict: attribute access.
    slot_ = instance_dict_slot(record.ptr());
    if (!slot_) return;
    if (!*slot_ || !PyDict_Check(*slot_)) return;
    dict_ = nb::borrow(*slot_);
    layout_ = &key_cache().for_record(record.ptr(), *slot_);
}

/// The dict in the record's slot now: code run between two reads (a comparison, a log call) may
/// have replaced the record's __dict__ wholesale, and a value from the old one would be stale.
PyObject *Fields::current_dict() const {
    if (!slot_) return nullptr;
    PyObject *now = *slot_;
    if (now != dict_.ptr()) {
        if (!now || !PyDict_Check(now)) {
            dict_.reset();
            return nullptr;
        }
        dict_ = nb::borrow(now);  // same class: the learned layout still applies
    }
    return now;
}

PyObject *Fields::peek(Field field) const {
    if (!current_dict()) return nullptr;
    auto index = static_cast<std::size_t>(field);
    PyObject *key = layout_->keys[index];
    // The entry at the learned position, when it still holds this very key (records of one class
    // keep their fields in one order); otherwise an ordinary lookup.
    Py_ssize_t pos = layout_->positions[index];
    PyObject *found_key = nullptr, *value = nullptr;
    if (pos >= 0 && PyDict_Next(dict_.ptr(), &pos, &found_key, &value) && found_key == key)
        return value;
    value = PyDict_GetItemWithError(dict_.ptr(), key);
    if (!value && PyErr_Occurred()) fail();
    return value;
}

nb::object Fields::get(Field field) const {
    if (PyObject *v = peek(field)) return nb::borrow(v);
    return check(PyObject_GetAttr(record_.ptr(), interned_keys()[static_cast<std::size_t>(field)]));
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
            PyObject *lower = f.peek(Field::LowerBound);
            if (lower && PyFloat_CheckExact(lower)) {
                if (!(PyFloat_AS_DOUBLE(lower) < v)) continue;
                PyObject *upper = f.peek(Field::UpperBound);
                if (upper && PyFloat_CheckExact(upper)) {
                    if (!(v <= PyFloat_AS_DOUBLE(upper))) continue;
                    return result_value(f.get(Field::Value));
                }
            }
            auto upper = [&] { return f.get(Field::UpperBound); };
            if (!in_range(f.get(Field::LowerBound), upper, v, v_obj)) continue;
            return result_value(f.get(Field::Value));
        }
    }
    return fallback(bucketing, list, float_object(v), sink);
}

namespace {

/// A field read from a record's instance dict at the position its class keeps it in, when that
/// entry holds the very key object learned for the class; nullptr otherwise. Never a lookup by
/// key, so no Python code runs (a lookup can compare a foreign key through its __eq__).
inline PyObject *at_position(PyObject *dict, const KeyLayout &layout, Field field) {
    auto index = static_cast<std::size_t>(field);
    Py_ssize_t pos = layout.positions[index];
    if (pos < 0) return nullptr;
    PyObject *key = nullptr, *value = nullptr;
    if (PyDict_Next(dict, &pos, &key, &value) && key == layout.keys[index]) return value;
    return nullptr;
}

/// The membership scan of `bin_categoric` for an exact str `value`, run on borrowed references
/// while no step can run Python code: bins of exactly the two bin classes, fields at their learned
/// dict positions, exact str names, exact lists of exact strings. Sets `result` at the first
/// regular categorical bin containing the value. Returns the index where the general scan must
/// go on: the list's size when every bin was decided here, else the first bin that needs Python
/// code (nothing has run by then, so the general scan sees that bin exactly as the first time).
Py_ssize_t scan_categoric_quietly(PyObject *list, PyObject *value, nb::object &result) {
    const Classes &c = classes();
    const KeyLayout *layout = nullptr;  // of the categorical class, learned at its first bin
    Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *record = PyList_GET_ITEM(list, i);
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record));
        if (type == c.numerical) continue;
        if (type != c.categorical) return i;
        PyObject **slot = instance_dict_slot(record);
        if (!slot) return i;
        PyObject *dict = *slot;
        if (!dict || !PyDict_CheckExact(dict)) return i;
        if (!layout) layout = &key_cache().for_record(record, dict);
        // The name first, as in the general scan: reserved bins (the null bin has no list of
        // categories) are skipped without reading their categories.
        PyObject *name = at_position(dict, *layout, Field::Name);
        if (!name || !PyUnicode_CheckExact(name)) return i;
        if (role_of(name) != Role::Regular) continue;
        PyObject *categories = at_position(dict, *layout, Field::Categories);
        if (!categories) return i;
        int found = contains_exact(categories, value);
        if (found < 0) return i;
        if (!found) continue;
        PyObject *bin_value = at_position(dict, *layout, Field::Value);
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
            PyObject *categories = f.peek(Field::Categories);  // borrowed while no Python runs
            int found = categories ? contains_exact(categories, value.ptr()) : -1;
            if (found < 0) found = contains(f.get(Field::Categories), value);
            if (found) return result_value(f.get(Field::Value));
        }
    }
    return fallback(bucketing, list, value, sink);
}

// ---- snapshots

namespace {

void add_bin(Snapshot &s, Bin b) {
    std::size_t index = s.bins.size();
    if (b.role == Role::Null && s.first_null < 0) s.first_null = (std::ptrdiff_t) index;
    if (is_fallback(b.role) && s.first_fallback < 0) s.first_fallback = (std::ptrdiff_t) index;
    if (b.role == Role::Regular && b.numerical) s.regular_numerical.push_back(index);
    if (b.role == Role::Regular && b.categorical) s.regular_categorical.push_back(index);
    s.bins.push_back(std::move(b));
}

/// Reads every bin as the single calls would, through Python where needed.
void read_bins(Snapshot &s) {
    s.list = bin_list(s.bucketing);
    for (Py_ssize_t i = 0;; ++i) {
        nb::object record = list_item(s.list, i);
        if (!record.is_valid()) break;
        Fields f(record);
        Bin b;
        b.name = f.get(Field::Name);
        b.role = role_of(b.name);
        b.value = f.get(Field::Value);
        b.numerical = is_numerical(record);
        b.categorical = !b.numerical && is_categorical(record);
        if (b.role == Role::Regular && b.numerical) {
            b.lower = f.get(Field::LowerBound);
            b.upper = f.get(Field::UpperBound);
        }
        if (b.role == Role::Regular && b.categorical) b.categories = f.get(Field::Categories);
        b.record = std::move(record);
        add_bin(s, std::move(b));
    }
}

/// Reads every bin from instance dicts only; false (with nothing run) at the first bin that would
/// need Python code: another class, a field missing from the dict, a name that is no exact str.
bool read_bins_quietly(Snapshot &s) {
    PyObject *list = Fields(s.bucketing).peek(Field::FeatureBucketing);
    if (!list || !PyList_CheckExact(list)) return false;
    s.list = nb::borrow(list);
    s.bins.reserve((std::size_t) PyList_GET_SIZE(list));
    const Classes &c = classes();
    for (Py_ssize_t i = 0;; ++i) {
        nb::object record = list_item(s.list, i);
        if (!record.is_valid()) break;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record.ptr()));
        if (type != c.numerical && type != c.categorical) return false;
        Fields f(record);
        Bin b;
        PyObject *name = f.peek(Field::Name);
        if (!name || !PyUnicode_CheckExact(name)) return false;
        b.name = nb::borrow(name);
        b.role = role_of(name);
        PyObject *value = f.peek(Field::Value);
        if (!value) return false;
        b.value = nb::borrow(value);
        b.numerical = type == c.numerical;
        b.categorical = !b.numerical;
        if (b.role == Role::Regular && b.numerical) {
            PyObject *lower = f.peek(Field::LowerBound);
            if (!lower) return false;
            b.lower = nb::borrow(lower);
            PyObject *upper = f.peek(Field::UpperBound);
            if (!upper) return false;
            b.upper = nb::borrow(upper);
        }
        if (b.role == Role::Regular && b.categorical) {
            PyObject *categories = f.peek(Field::Categories);
            if (!categories) return false;
            b.categories = nb::borrow(categories);
        }
        // None held in the dict is immutable: the watched dict tells when it changes.
        if (b.role != Role::Regular && b.numerical && f.peek(Field::LowerBound) != Py_None &&
            f.peek(Field::UpperBound) != Py_None)
            s.reserved_numerical_open = false;
        if (b.role != Role::Regular && b.categorical && f.peek(Field::Categories) != Py_None)
            s.reserved_categorical_empty = false;
        b.record = std::move(record);
        add_bin(s, std::move(b));
    }
    return true;
}

/// The binary-search table and the category index, where they give the linear scan's answers.
void build_indexes(Snapshot &s, bool allow_binary_search) {
    s.float_bounds = true;
    for (std::size_t index : s.regular_numerical) {
        const Bin &b = s.bins[index];
        if (!PyFloat_CheckExact(b.lower.ptr()) || !PyFloat_CheckExact(b.upper.ptr()))
            s.float_bounds = false;
    }

    // The interval search is the linear scan's equal only when no comparison can reach Python and
    // at most one interval can contain a value.
    bool searchable = allow_binary_search && s.float_bounds;
    if (searchable && !s.regular_numerical.empty()) {
        std::vector<double> lows, highs;
        lows.reserve(s.regular_numerical.size());
        highs.reserve(s.regular_numerical.size());
        for (std::size_t index : s.regular_numerical) {
            lows.push_back(PyFloat_AS_DOUBLE(s.bins[index].lower.ptr()));
            highs.push_back(PyFloat_AS_DOUBLE(s.bins[index].upper.ptr()));
        }
        searchable = intervals::ascending_and_disjoint(lows, highs);
        for (std::size_t k = 0; searchable && k < lows.size(); ++k) {
            if (!(lows[k] < highs[k])) continue;  // empty, or a NaN bound: never matches
            s.table.add(lows[k], highs[k]);
            s.sorted_bins.push_back(s.regular_numerical[k]);
        }
    }
    s.sorted = searchable;

    // Category table: exact strings compare in a dict as they do in a list. Without regular
    // categorical bins there is nothing to find (and no dict to make on every batch).
    if (s.regular_categorical.empty()) return;
    bool indexable = true;
    for (std::size_t index : s.regular_categorical) {
        PyObject *cats = s.bins[index].categories.ptr();
        if (!PyList_CheckExact(cats)) {
            indexable = false;
            break;
        }
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cats); ++j)
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(cats, j))) indexable = false;
        if (!indexable) break;
    }
    if (indexable) {
        nb::dict table;
        for (std::size_t index : s.regular_categorical) {
            Bin &b = s.bins[index];
            PyObject *cats = b.categories.ptr();
            nb::object position = nb::int_(index);
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cats); ++j) {
                if (!PyDict_SetDefault(table.ptr(), PyList_GET_ITEM(cats, j), position.ptr()))
                    fail();
            }
            if (s.quiet) {  // the items the table was made of, for `current`
                b.category_items = check(PyList_AsTuple(cats));
            }
        }
        s.category_index = std::move(table);
    }
}

}  // namespace

Snapshot snapshot(nb::handle bucketing, bool allow_binary_search) {
    Snapshot s;
    s.bucketing = nb::borrow(bucketing);
    read_bins(s);
    build_indexes(s, allow_binary_search);
    return s;
}

Snapshot quiet_snapshot(nb::handle bucketing) {
    Snapshot s;
    s.bucketing = nb::borrow(bucketing);
    if (!read_bins_quietly(s)) return Snapshot{};
    s.quiet = true;
    build_indexes(s, true);
    return s;
}

namespace {

/// Bumped by every change to a watched dict (and by its end): a shared snapshot taken at another
/// count may be stale.
std::uint64_t watched_epoch = 0;

int on_watched_dict(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++watched_epoch;
    return 0;
}

/// The bin's categories list still holds the items the category table was made of.
bool same_category_items(const Bin &b) {
    if (!b.category_items.is_valid()) return true;
    PyObject *cats = b.categories.ptr(), *items = b.category_items.ptr();
    Py_ssize_t size = PyTuple_GET_SIZE(items);
    if (PyList_GET_SIZE(cats) != size) return false;
    for (Py_ssize_t j = 0; j < size; ++j)
        if (PyList_GET_ITEM(cats, j) != PyTuple_GET_ITEM(items, j)) return false;
    return true;
}

/// Watches `dict`; false when no watcher can be had (an interpreter allows only a few).
bool watch(PyObject *dict) {
    static int watcher = -1;  // -2: none to be had
    if (watcher == -1) {
        watcher = PyDict_AddWatcher(on_watched_dict);
        if (watcher < 0) {
            PyErr_Clear();
            watcher = -2;
        }
    }
    if (watcher < 0 || !dict) return false;
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

PyObject *dict_of(PyObject *record) {
    PyObject **slot = instance_dict_slot(record);
    return slot ? *slot : nullptr;
}

/// Watches the record's dict and every bin's; false when one cannot be watched.
bool watch_all(Snapshot &s) {
    s.dict = dict_of(s.bucketing.ptr());
    if (!watch(s.dict)) return false;
    s.bin_dicts.clear();
    s.bin_slots.clear();
    for (const Bin &b : s.bins) {
        PyObject **slot = instance_dict_slot(b.record.ptr());
        if (!slot || !watch(*slot)) return false;
        s.bin_slots.push_back(slot);
        s.bin_dicts.push_back(*slot);
    }
    s.epoch = watched_epoch;
    return true;
}

/// A watched snapshot still holds: no watched dict changed, the record and every bin still keep
/// their fields in the dicts watched, and the containers the dicts point to (the bin list, the
/// categories lists) hold the same items. Runs no Python code.
bool still_holds(const Snapshot &s) {
    if (s.epoch != watched_epoch || dict_of(s.bucketing.ptr()) != s.dict) return false;
    PyObject *list = s.list.ptr();
    auto n = (Py_ssize_t) s.bins.size();
    if (PyList_GET_SIZE(list) != n) return false;
    const Classes &c = classes();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Bin &b = s.bins[(std::size_t) i];
        PyObject *record = PyList_GET_ITEM(list, i);
        if (record != b.record.ptr()) return false;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record));
        if (type != (b.numerical ? c.numerical : c.categorical)) return false;
        // The bin's class is unchanged (just checked), so its dict is where it was.
        if (*s.bin_slots[(std::size_t) i] != s.bin_dicts[(std::size_t) i]) return false;
        if (!same_category_items(b)) return false;
    }
    return true;
}

/// A record's entry among the kept snapshots. Without a snapshot (the record could not be read
/// quietly) the entry only spares the next few calls a reading that would fail again.
struct Kept {
    std::shared_ptr<const Snapshot> snap;
    nb::object record;        ///< held, so that no other record takes its address meanwhile
    unsigned skips_left = 0;  ///< entries without a snapshot: calls left before reading again
};

/// Kept snapshots by record, dropped oldest first beyond `kKept`: a scorer applies one record per
/// attribute in turn, and each must find its own snapshot again on the next row.
constexpr std::size_t kKept = 256;
constexpr unsigned kSkips = 32;

struct KeptTable {
    std::unordered_map<PyObject *, Kept> by_record;
    std::deque<PyObject *> order;  ///< insertion order; may name records dropped since
    /// The entry found last (a map's entries stay in place until erased; `take` clears this).
    PyObject *last_record = nullptr;
    Kept *last = nullptr;
};
/// Never destroyed at exit (its objects would outlive the interpreter).
KeptTable &kept_table() {
    static KeptTable *table = new KeptTable;
    return *table;
}

/// Takes the entry of `record` out of the table (empty when there is none). Its objects are
/// released by the caller once nothing refers into the table: that may run Python code.
Kept take(KeptTable &t, PyObject *record) {
    if (t.last_record == record) t.last_record = nullptr, t.last = nullptr;
    auto it = t.by_record.find(record);
    if (it == t.by_record.end()) return {};
    Kept entry = std::move(it->second);
    t.by_record.erase(it);
    return entry;
}

/// Makes room for one more entry, oldest first; the dropped entries go to `dropped`.
void make_room(KeptTable &t, std::vector<Kept> &dropped) {
    while (t.by_record.size() >= kKept && !t.order.empty()) {
        PyObject *oldest = t.order.front();
        t.order.pop_front();
        if (Kept k = take(t, oldest); k.record.is_valid()) dropped.push_back(std::move(k));
    }
    // Records taken out and put back leave names of their old places behind.
    if (t.order.size() > 4 * kKept) {
        std::deque<PyObject *> live;
        for (PyObject *r : t.order)
            if (t.by_record.count(r) && std::find(live.begin(), live.end(), r) == live.end())
                live.push_back(r);
        t.order = std::move(live);
    }
}

void keep(PyObject *record, Kept entry) {  // NOLINT(performance-unnecessary-value-param): moved in
    KeptTable &t = kept_table();
    // An entry put back meanwhile (by code that releasing old entries ran) stays: replacing it
    // would release it, and that could run code changing the record just read.
    auto [it, added] = t.by_record.try_emplace(record, std::move(entry));
    if (added) t.order.push_back(record);
}

/// The record of bin `index`, or else of the first fallback bin, or None.
nb::object record_or_fallback(const Snapshot &s, std::ptrdiff_t index) {
    if (index < 0) index = s.first_fallback;
    return index >= 0 ? s.bins[(std::size_t) index].record : nb::none();
}

}  // namespace

std::shared_ptr<const Snapshot> shared_quiet_snapshot(nb::handle bucketing) {
    KeptTable &t = kept_table();
    PyObject *record = bucketing.ptr();
    Kept *found = t.last_record == record ? t.last : nullptr;
    if (!found) {
        auto it = t.by_record.find(record);
        if (it != t.by_record.end()) {
            found = &it->second;
            t.last_record = record;
            t.last = found;
        }
    }
    if (found) {
        Kept &k = *found;
        if (k.snap && still_holds(*k.snap)) return k.snap;
        if (!k.snap && k.skips_left > 0) {
            --k.skips_left;
            return nullptr;
        }
    }
    {
        // Dropped before anything is read: releasing old bins may run Python code (finalizers),
        // which may change this very record or call back in here.
        std::vector<Kept> dropped;
        if (Kept stale = take(t, record); stale.record.is_valid())
            dropped.push_back(std::move(stale));
        make_room(t, dropped);
    }
    auto s = std::make_shared<Snapshot>(quiet_snapshot(bucketing));
    if (!s->quiet) {
        keep(record, Kept{nullptr, nb::borrow(bucketing), kSkips});
        return nullptr;
    }
    if (watch_all(*s)) keep(record, Kept{s, nb::borrow(bucketing), 0});
    return s;
}

nb::object numeric_kept(nb::handle bucketing, double v) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    PyObject *found = !s ? nullptr : std::isnan(v) ? null_plain(*s) : numeric_plain(*s, v);
    return found ? nb::borrow(found) : nb::object();  // taken before `s` may release the bins
}

nb::object categoric_kept(nb::handle bucketing, nb::handle value) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    PyObject *found = !s                           ? nullptr
                      : is_missing_category(value) ? null_plain(*s)
                                                   : categoric_plain(*s, value.ptr());
    return found ? nb::borrow(found) : nb::object();
}

nb::object watch_numeric_kept(nb::handle bucketing, double v) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    if (!s) return {};
    if (std::isnan(v)) return record_or_fallback(*s, s->first_null);
    if (!s->reserved_numerical_open) return {};
    std::ptrdiff_t k = numeric_index(*s, v);
    return k == -2 ? nb::object() : record_or_fallback(*s, k);
}

nb::object watch_categoric_kept(nb::handle bucketing, nb::handle value) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    if (!s) return {};
    if (is_missing_category(value)) return record_or_fallback(*s, s->first_null);
    if (!s->reserved_categorical_empty || !s->category_index.is_valid()) return {};
    // Exact str keys and value: the look-up runs no Python code and cannot fail.
    PyObject *position = dict_lookup(s->category_index.ptr(), value.ptr());
    return record_or_fallback(*s, position ? (std::ptrdiff_t) PyLong_AsSsize_t(position) : -1);
}

namespace {

/// An index of the entries of one owner's `binning` list by their exact str `attribute`.
struct EntryIndex {
    nb::object owner;
    PyObject *dict = nullptr;  ///< the owner's instance dict when read (watched)
    nb::object list;
    std::vector<nb::object> entries;
    std::vector<PyObject *> entry_dicts;  ///< watched
    /// Where the owner and each entry keep their dicts (fixed for an object's life: a `__class__`
    /// assignment keeps the layout).
    PyObject **slot = nullptr;
    std::vector<PyObject **> entry_slots;
    nb::object first, last;  ///< attribute -> entry
    std::uint64_t epoch = 0;
};

/// Reads the index without running Python code; false when that cannot be done.
bool read_entries(EntryIndex &x) {
    PyObject *list = Fields(x.owner).peek(Field::Binning);
    if (!list || !PyList_CheckExact(list)) return false;
    x.list = nb::borrow(list);
    x.slot = instance_dict_slot(x.owner.ptr());
    if (!x.slot) return false;
    x.dict = *x.slot;
    x.first = nb::steal(PyDict_New());
    x.last = nb::steal(PyDict_New());
    if (!x.first.is_valid() || !x.last.is_valid()) fail();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        PyObject *attribute = Fields(entry).peek(Field::Attribute);
        if (!attribute || !PyUnicode_CheckExact(attribute)) return false;
        // Exact str keys: these dict operations run no Python code.
        PyObject *kept = PyDict_SetDefault(x.first.ptr(), attribute, entry);
        if (!kept || PyDict_SetItem(x.last.ptr(), attribute, entry) < 0) fail();
        PyObject **slot = instance_dict_slot(entry);
        if (!slot) return false;
        x.entries.push_back(nb::borrow(entry));
        x.entry_slots.push_back(slot);
        x.entry_dicts.push_back(*slot);
    }
    if (!watch(x.dict)) return false;
    for (PyObject *d : x.entry_dicts)
        if (!watch(d)) return false;
    x.epoch = watched_epoch;
    return true;
}

bool entries_hold(const EntryIndex &x) {
    if (x.epoch != watched_epoch || *x.slot != x.dict) return false;
    PyObject *list = x.list.ptr();
    auto n = (Py_ssize_t) x.entries.size();
    if (PyList_GET_SIZE(list) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (entry != x.entries[(std::size_t) i].ptr() ||
            *x.entry_slots[(std::size_t) i] != x.entry_dicts[(std::size_t) i])
            return false;
    }
    return true;
}

constexpr std::size_t kIndexes = 8;
/// The kept indexes; never destroyed at exit (their objects would outlive the interpreter).
std::shared_ptr<const EntryIndex> *entry_indexes() {
    static auto *indexes = new std::shared_ptr<const EntryIndex>[kIndexes];
    return indexes;
}

}  // namespace

nb::object kept_entry(nb::handle owner, nb::handle attribute, bool last) {
    if (!PyUnicode_CheckExact(attribute.ptr())) return {};
    std::size_t slot = (reinterpret_cast<std::uintptr_t>(owner.ptr()) >> 4) % kIndexes;
    std::shared_ptr<const EntryIndex> x = entry_indexes()[slot];
    if (!x || x->owner.ptr() != owner.ptr() || !entries_hold(*x)) {
        // Released before anything is read: that may run Python code (finalizers).
        x.reset();
        std::shared_ptr<const EntryIndex> old = std::move(entry_indexes()[slot]);
        old.reset();
        auto fresh = std::make_shared<EntryIndex>();
        fresh->owner = nb::borrow(owner);
        if (!read_entries(*fresh)) return {};
        // One put there meanwhile stays: replacing it would release it, running code again.
        if (!entry_indexes()[slot]) entry_indexes()[slot] = fresh;
        x = std::move(fresh);
    }
    // Exact str key and keys: the look-up runs no Python code.
    PyObject *found = dict_lookup((last ? x->last : x->first).ptr(), attribute.ptr());
    return found ? nb::borrow(found) : nb::none();
}

bool current(const Snapshot &s) {
    if (!s.quiet) return false;
    PyObject *list = Fields(s.bucketing).peek(Field::FeatureBucketing);
    if (list != s.list.ptr()) return false;
    auto n = (Py_ssize_t) s.bins.size();
    for (Py_ssize_t i = 0; i < n; ++i) {
        // The size is read again for every bin: a dict look-up may compare a foreign key.
        if (PyList_GET_SIZE(list) != n) return false;
        const Bin &b = s.bins[(std::size_t) i];
        PyObject *record = PyList_GET_ITEM(list, i);
        if (record != b.record.ptr()) return false;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record));
        if (type != (b.numerical ? classes().numerical : classes().categorical)) return false;
        Fields f(b.record);
        if (f.peek(Field::Name) != b.name.ptr() || f.peek(Field::Value) != b.value.ptr())
            return false;
        if (b.lower.is_valid() && (f.peek(Field::LowerBound) != b.lower.ptr() ||
                                   f.peek(Field::UpperBound) != b.upper.ptr()))
            return false;
        if (b.categories.is_valid() && f.peek(Field::Categories) != b.categories.ptr())
            return false;
        if (!same_category_items(b)) return false;
    }
    return PyList_GET_SIZE(list) == n;
}

namespace {

nb::object snapshot_fallback(const Snapshot &s, nb::handle shown_value) {
    if (s.first_fallback < 0) return nb::none();
    const Bin &b = s.bins[(std::size_t) s.first_fallback];
    log_fallback(s.bucketing, b.role, shown_value);
    return result_value(b.value);
}

}  // namespace

nb::object numeric(const Snapshot &s, nb::handle value) {
    double v = to_float(value);
    if (std::isnan(v)) {
        if (s.first_null >= 0) return result_value(s.bins[(std::size_t) s.first_null].value);
    } else if (s.sorted) {
        std::size_t k = s.table.find(v);
        if (k < s.table.size()) return result_value(s.bins[s.sorted_bins[k]].value);
    } else {
        nb::object v_obj;
        for (std::size_t index : s.regular_numerical) {
            const Bin &b = s.bins[index];
            if (in_range(b.lower, [&] { return b.upper; }, v, v_obj)) return result_value(b.value);
        }
    }
    return snapshot_fallback(s, float_object(v));
}

nb::object categoric(const Snapshot &s, nb::handle value) {
    check_categorical_value(value);
    if (is_missing_category(value)) {
        if (s.first_null >= 0) return result_value(s.bins[(std::size_t) s.first_null].value);
    } else if (s.category_index.is_valid()) {
        PyObject *position = PyDict_GetItemWithError(s.category_index.ptr(), value.ptr());
        if (position) return result_value(s.bins[PyLong_AsSize_t(position)].value);
        if (PyErr_Occurred()) fail();
    } else {
        for (std::size_t index : s.regular_categorical) {
            const Bin &b = s.bins[index];
            if (contains(b.categories, value)) return result_value(b.value);
        }
    }
    return snapshot_fallback(s, value);
}

}  // namespace qv::bucketing
