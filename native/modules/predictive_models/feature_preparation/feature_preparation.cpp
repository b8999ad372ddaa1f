// The preparation registry of a model: transformations, binnings and dummy encodings, with the
// construction of binnings from a description and their application to input values.
#include "engines/bucketing.hpp"
#include "binding/declare.hpp"
#include "binding/support.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace qv;

/// Module-lifetime objects, deliberately leaked: their owners live as long as the interpreter.
struct State {
    PyObject *module = nullptr;
    PyObject *feature_bucketing_cls = nullptr;
    PyObject *feature_reshaping_cls = nullptr;
    PyObject *numerical = nullptr;        ///< AttributeDataType.NUMERICAL
    PyObject *categorical = nullptr;      ///< AttributeDataType.CATEGORICAL
    PyObject *bin_null = nullptr;         ///< PredictiveModelBinName.NULL
    PyObject *bin_system_default = nullptr;
    PyObject *bin_defined_default = nullptr;
    PyObject *own_get_feature_bucketing = nullptr;  ///< the function this module installs
    PyObject *own_bin_numeric = nullptr;     ///< FeatureBucketing's own bin_numeric_attribute
    PyObject *own_bin_categoric = nullptr;   ///< FeatureBucketing's own bin_categoric_attribute
};
State state;

/// Field names, interned once.
struct Names {
    PyObject *attribute, *transformations, *binning, *dummy_encoding, *transformed_attribute_name,
        *transformation, *binned_attribute_name, *attribute_data_type, *feature_bucketing, *encoding,
        *value, *encoded_feature_name, *use_for_undefined, *bin_numeric_attribute,
        *bin_categoric_attribute, *get_feature_bucketing, *append, *keys, *get;
    PyObject *bins, *dtype, *bin_vals, *bin_frequencies, *bin_target_rates, *null_val,
        *null_frequency, *null_target_rate, *default_;
    PyObject *type, *name, *frequency, *target_rate, *id, *categories, *lower_bound, *upper_bound;
};
Names names;

void init_names() {
    names = Names{interned("attribute"), interned("transformations"), interned("binning"),
                  interned("dummy_encoding"), interned("transformed_attribute_name"),
                  interned("transformation"), interned("binned_attribute_name"),
                  interned("attribute_data_type"), interned("feature_bucketing"),
                  interned("encoding"), interned("value"), interned("encoded_feature_name"),
                  interned("use_for_undefined"), interned("bin_numeric_attribute"),
                  interned("bin_categoric_attribute"), interned("get_feature_bucketing"),
                  interned("append"), interned("keys"), interned("get"),
                  interned("bins"), interned("dtype"), interned("bin_vals"),
                  interned("bin_frequencies"), interned("bin_target_rates"), interned("null_val"),
                  interned("null_frequency"), interned("null_target_rate"), interned("default"),
                  interned("type"), interned("name"), interned("frequency"),
                  interned("target_rate"), interned("id"), interned("categories"),
                  interned("lower_bound"), interned("upper_bound")};
}

nb::object steal_or_throw(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

/// The host's `left == right`, as a truth value (no identity shortcut, unlike RichCompareBool).
bool equals(nb::handle left, nb::handle right) {
    if (PyUnicode_CheckExact(left.ptr()) && PyUnicode_CheckExact(right.ptr()))
        return PyUnicode_Compare(left.ptr(), right.ptr()) == 0;
    nb::object result = steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw nb::python_error();
    return truth;
}

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth;
}

/// Calls `fn(item)` for every item of `iterable` with a strong reference, as a for loop does;
/// stops early when `fn` returns true. Returns whether it stopped early. A list is walked by
/// index against its live size, exactly as its iterator would, without allocating one.
template <typename Fn> bool each(nb::handle iterable, Fn &&fn) {
    if (PyList_CheckExact(iterable.ptr())) {
        nb::object list = nb::borrow(iterable);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
            if (fn(nb::handle(item))) return true;
        }
        return false;
    }
    nb::object it = steal_or_throw(PyObject_GetIter(iterable.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (fn(nb::handle(item))) return true;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
}

/// A learned dict key of one (class, field name); see Fields.
struct KeyEntry {
    PyTypeObject *type;  ///< compared only, never dereferenced
    PyObject *name;
    PyObject *key;  ///< strong reference, deliberately kept for the life of the process
};
constexpr std::size_t kKeyEntries = 256;
KeyEntry key_table[kKeyEntries];
unsigned char key_victim[kKeyEntries / 2];  ///< which way of each set a miss replaces

/// Record fields read straight from the instance dict. pydantic-core fills every instance dict of
/// a class with the same key objects (not the interned names), so the key object of each (class,
/// name) is learned once: the lookup then matches by identity instead of comparing text. A stale
/// entry (a class freed and another allocated in its place) only costs speed, never correctness.
class Fields {
public:
    explicit Fields(nb::handle record) : record_(record) {
        PyObject *d = PyObject_GenericGetDict(record.ptr(), nullptr);
        if (d) dict_ = nb::steal(d);
        else PyErr_Clear();
    }

    /// New reference; attribute access when the dict lacks the name.
    nb::object operator[](PyObject *name) const {
        if (dict_.is_valid()) {
            PyObject *v = PyDict_GetItemWithError(dict_.ptr(), dict_key(name));
            if (v) return nb::borrow(v);
            if (PyErr_Occurred()) throw nb::python_error();
        }
        return steal_or_throw(PyObject_GetAttr(record_.ptr(), name));
    }

private:
    PyObject *dict_key(PyObject *name) const {
        PyTypeObject *type = Py_TYPE(record_.ptr());
        // Two-way set: the pair's home slot and its neighbour; a miss replaces the other one.
        std::uint64_t h = (reinterpret_cast<std::uintptr_t>(type) * 0x9E3779B97F4A7C15ull) ^
                          (reinterpret_cast<std::uintptr_t>(name) * 0xC2B2AE3D27D4EB4Full);
        std::size_t slot = (std::size_t) (h >> 40) % kKeyEntries & ~std::size_t(1);
        for (std::size_t way = 0; way < 2; ++way) {
            KeyEntry &hit = key_table[slot + way];
            if (hit.type == type && hit.name == name) {
                key_victim[slot / 2] = (unsigned char) (1 - way);
                return hit.key;
            }
        }
        KeyEntry &e = key_table[slot + key_victim[slot / 2]];
        key_victim[slot / 2] ^= 1;
        PyObject *found = name, *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(dict_.ptr(), &pos, &key, &value)) {
            if (key == name ||
                (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
                found = key;
                break;
            }
        }
        Py_INCREF(found);
        Py_XDECREF(e.key);
        e = KeyEntry{type, name, found};
        return found;
    }

    nb::handle record_;
    nb::object dict_;
};

nb::object get(nb::handle record, PyObject *name) { return Fields(record)[name]; }

nb::object new_list() { return steal_or_throw(PyList_New(0)); }

void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw nb::python_error();
}

// ---- dummy encoding records

nb::object check_created_attribute_naming(Args a) {
    nb::handle self = a[0];
    nb::object attribute = get(self, names.attribute);
    each(get(self, names.encoding), [&](nb::handle item) {
        if (!equals(get(item, names.encoded_feature_name), attribute)) return false;
        raise(PyExc_ValueError,
              "Features created by dummy encoding in predictive model cannot be named the same as "
              "feature that is being encoded. This rule is broken for feature '%S'",
              attribute.ptr());
    });
    return nb::borrow(self);
}

// ---- registry: lookups and listings

nb::object get_transformation_formula(Args a) {
    nb::handle self = a[0], attribute = a[1];
    nb::object found;
    each(get(self, names.transformations), [&](nb::handle entry) {
        if (!equals(get(entry, names.transformed_attribute_name), attribute)) return false;
        found = nb::borrow(entry);
        return true;
    });
    if (!found.is_valid()) return nb::borrow(attribute);
    nb::str formula = to_str(get(found, names.transformation));
    return steal_or_throw(PyUnicode_FromFormat("(%U)", formula.ptr()));
}

/// `cls(**mapping)`, with the host's errors for an element that is not a mapping of names.
nb::object build_from_mapping(nb::handle cls, nb::handle mapping) {
    nb::object kwargs = steal_or_throw(PyDict_New());
    if (!PyDict_Check(mapping.ptr()) && !PyObject_HasAttrWithError(mapping.ptr(), names.keys)) {
        if (PyErr_Occurred()) throw nb::python_error();
        nb::object module = cls.attr("__module__"), qualname = cls.attr("__qualname__");
        raise(PyExc_TypeError, "%S.%S() argument after ** must be a mapping, not %s",
              module.ptr(), qualname.ptr(), Py_TYPE(mapping.ptr())->tp_name);
    }
    if (PyDict_Merge(kwargs.ptr(), mapping.ptr(), 1) < 0) throw nb::python_error();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value))
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    nb::object args = steal_or_throw(PyTuple_New(0));
    return steal_or_throw(PyObject_Call(cls.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object add_feature_reshaping(Args a) {
    nb::handle self = a[0], transformations = a[1];
    // All records are built before any is registered: a failing element leaves the registry as it was.
    nb::object built = new_list();
    each(transformations, [&](nb::handle mapping) {
        append(built, build_from_mapping(state.feature_reshaping_cls, mapping));
        return false;
    });
    nb::object target = get(self, names.transformations);
    if (PyList_CheckExact(target.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(target.ptr());
        if (PyList_SetSlice(target.ptr(), n, n, built.ptr()) < 0) throw nb::python_error();
    } else {
        each(built, [&](nb::handle record) {
            steal_or_throw(PyObject_CallMethodOneArg(target.ptr(), names.append, record.ptr()));
            return false;
        });
    }
    return nb::none();
}

nb::object find_bucketing(nb::handle self, nb::handle attribute) {
    nb::object found = nb::none();
    each(get(self, names.binning), [&](nb::handle entry) {
        if (!equals(get(entry, names.attribute), attribute)) return false;
        found = nb::borrow(entry);
        return true;
    });
    return found;
}

nb::object get_feature_bucketing(Args a) { return find_bucketing(a[0], a[1]); }

/// The registry's `get_feature_bucketing(attribute)`: done here unless a subclass, a patch of the
/// class or an attribute of the instance replaced the method, which is then called.
nb::object lookup_bucketing(nb::handle self, nb::handle attribute) {
    PyObject *method = _PyType_Lookup(Py_TYPE(self.ptr()), names.get_feature_bucketing);
    if (method == state.own_get_feature_bucketing &&
        !in_instance_dict(self, names.get_feature_bucketing))
        return find_bucketing(self, attribute);
    return steal_or_throw(
        PyObject_CallMethodOneArg(self.ptr(), names.get_feature_bucketing, attribute.ptr()));
}

nb::object feature_bucketing_exists(Args a) { return nb::bool_(!find_bucketing(a[0], a[1]).is_none()); }

/// `[entry.<name> for entry in self.<list>]`.
nb::object list_field_of_entries(nb::handle self, PyObject *list, PyObject *name) {
    nb::object result = new_list();
    each(get(self, list), [&](nb::handle entry) {
        append(result, get(entry, name));
        return false;
    });
    return result;
}

/// Names created by entries of `self.<list>`: `created` when it is set and differs from `source`.
nb::object created_names(nb::handle self, PyObject *list, PyObject *created) {
    nb::object result = new_list();
    each(get(self, list), [&](nb::handle entry) {
        Fields fields(entry);
        nb::object name = fields[created];
        if (!name.is_none() && !equals(name, fields[names.attribute])) append(result, name);
        return false;
    });
    return result;
}

nb::object get_all_transformation_attributes(Args a) {
    return list_field_of_entries(a[0], names.transformations, names.attribute);
}
nb::object get_attributes_created_in_transformations(Args a) {
    return created_names(a[0], names.transformations, names.transformed_attribute_name);
}
nb::object get_all_binning_attributes(Args a) {
    return list_field_of_entries(a[0], names.binning, names.attribute);
}
nb::object get_attributes_created_in_binning(Args a) {
    return created_names(a[0], names.binning, names.binned_attribute_name);
}
nb::object get_all_dummy_enc_attributes(Args a) {
    nb::object result = new_list();
    each(get(a[0], names.dummy_encoding), [&](nb::handle entry) {
        each(get(entry, names.encoding), [&](nb::handle item) {
            append(result, get(item, names.encoded_feature_name));
            return false;
        });
        return false;
    });
    return result;
}

// ---- applying bucketing

enum class Kind { Numerical, Categorical, Other };

Kind kind_of(nb::handle bucketing) {
    nb::object dtype = get(bucketing, names.attribute_data_type);
    if (equals(dtype, state.numerical)) return Kind::Numerical;
    if (equals(dtype, state.categorical)) return Kind::Categorical;
    return Kind::Other;
}

PyObject *method_name(Kind kind) {
    return kind == Kind::Numerical ? names.bin_numeric_attribute : names.bin_categoric_attribute;
}

[[noreturn]] void reraise_for(nb::python_error &e, nb::handle attribute) {
    nb::object prefix =
        steal_or_throw(PyUnicode_FromFormat("Binning attribute %U: ", attribute.ptr()));
    reraise_prefixed(e, prefix);
}

/// The bin value as a float: None stays None, floats are kept, other numbers are converted.
nb::object as_float(nb::object result) {
    if (result.is_none() || PyFloat_Check(result.ptr())) return result;
    if (PyUnicode_Check(result.ptr()) || PyBytes_Check(result.ptr()) ||
        PyByteArray_Check(result.ptr()))
        raise(PyExc_TypeError, "bin value must be a real number, not %s",
              Py_TYPE(result.ptr())->tp_name);
    return steal_or_throw(PyNumber_Float(result.ptr()));
}

/// True while `bucketing.<method>` resolves to the package's own function: neither a subclass,
/// nor a patch of the class, nor an instance attribute replaced it. Checked on every call, since
/// classes and records may change between calls.
bool own_method(nb::handle bucketing, Kind kind) {
    PyObject *own = kind == Kind::Numerical ? state.own_bin_numeric : state.own_bin_categoric;
    PyObject *name = method_name(kind);
    if (own == Py_None || _PyType_Lookup(Py_TYPE(bucketing.ptr()), name) != own) return false;
    return !in_instance_dict(bucketing, name);
}

/// `bucketing.bin_numeric_attribute(value)` (or categoric): the shared scan while the method is
/// the package's own, else a call of the subclassed or patched method.
nb::object bin_one(nb::handle bucketing, Kind kind, nb::handle value) {
    if (own_method(bucketing, kind))
        return kind == Kind::Numerical ? bucketing::bin_numeric(bucketing, value)
                                       : bucketing::bin_categoric(bucketing, value);
    return steal_or_throw(PyObject_CallMethodOneArg(bucketing.ptr(), method_name(kind), value.ptr()));
}

nb::object apply_feature_bucketing(Args a) {
    nb::handle self = a[0], attribute = a[1], value = a[2];
    nb::object bucketing = lookup_bucketing(self, attribute);
    if (bucketing.is_none()) return nb::none();
    try {
        Kind kind = kind_of(bucketing);
        if (kind == Kind::Other) return nb::none();
        return as_float(bin_one(bucketing, kind, value));
    } catch (nb::python_error &e) {
        reraise_for(e, attribute);
    }
}

/// `[bin(value) for value in values]` over the live list: a callback that changes the list is
/// seen as a for loop would see it. `fast(item)` answers the common cases without calling into
/// Python (a borrowed bin value, or null to take `slow`, which gets a strong reference).
/// `after_slow()` runs once that reference is dropped (its finalizer is Python code, too).
template <typename Fast, typename Slow, typename AfterSlow>
nb::object bin_list(nb::handle values, Fast &&fast, Slow &&slow, AfterSlow &&after_slow) {
    PyObject *list = values.ptr();
    Py_ssize_t n = PyList_GET_SIZE(list);
    nb::object result = steal_or_throw(PyList_New(n));
    // Its slots are empty until filled, and `slow` runs Python code: hidden from the collector
    // meanwhile, so that gc.get_objects() and gc.get_referrers() cannot hand it to that code.
    PyObject_GC_UnTrack(result.ptr());
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        PyObject *binned = fast(item);
        if (binned) {
            Py_INCREF(binned);
        } else {
            {
                nb::object value = nb::borrow(item);
                binned = slow(nb::handle(value)).release().ptr();
            }
            after_slow();
        }
        if (i < n) {
            PyList_SET_ITEM(result.ptr(), i, binned);
        } else {
            nb::object owned = nb::steal(binned);
            append(result, owned);
        }
    }
    if (i < n && PyList_SetSlice(result.ptr(), i, n, nullptr) < 0) throw nb::python_error();
    PyObject_GC_Track(result.ptr());
    return result;
}

/// The bin value of one element from the snapshot, borrowed, when the single call would give it
/// without running Python code: an exact float (or exact int, converted as float() converts it)
/// or None for a numerical bucketing, an exact str or None for a categorical one. nullptr when
/// the element needs the call itself: another type, no bin found (the fallback logs), a bin value
/// the call would convert.
template <Kind kind> PyObject *plain_bin(const bucketing::Snapshot &s, PyObject *item) {
    if constexpr (kind == Kind::Numerical) {
        double v;
        if (PyFloat_CheckExact(item)) {
            v = PyFloat_AS_DOUBLE(item);
        } else if (item == Py_None) {
            return bucketing::null_plain(s);
        } else if (PyLong_CheckExact(item)) {
            v = PyLong_AsDouble(item);
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();  // too large: the call raises float()'s error
                return nullptr;
            }
        } else {
            return nullptr;
        }
        return std::isnan(v) ? bucketing::null_plain(s) : bucketing::numeric_plain(s, v);
    }
    if (item == Py_None) return bucketing::null_plain(s);
    if (!PyUnicode_CheckExact(item)) return nullptr;
    if (str_equals(item, "nan")) return bucketing::null_plain(s);
    return bucketing::categoric_plain(s, item);
}

/// The batch: one call of the bucketing's method per element, as specified. While the method is
/// the package's own, elements whose answer needs no Python code are answered from a snapshot of
/// the bins taken without running any; every other element gets the call's own scan of the live
/// record. Such a call may run Python code (a conversion, a comparison, a log processor) that
/// changes the bins or replaces the method: after it, the snapshot is checked and taken again
/// when the record changed, and the method is checked again.
template <Kind kind> nb::object bin_batch(nb::handle bucketing, nb::handle values) {
    PyObject *name = method_name(kind);
    bool own = own_method(bucketing, kind);
    bucketing::Snapshot s;
    if (own) s = bucketing::quiet_snapshot(bucketing);
    bool use_snapshot = s.quiet;  // set while the method is our own and the snapshot current
    return bin_list(
        values,
        [&](PyObject *item) { return use_snapshot ? plain_bin<kind>(s, item) : nullptr; },
        [&](nb::handle v) {
            if (!own)
                return steal_or_throw(PyObject_CallMethodOneArg(bucketing.ptr(), name, v.ptr()));
            return kind == Kind::Numerical ? bucketing::bin_numeric(bucketing, v)
                                           : bucketing::bin_categoric(bucketing, v);
        },
        [&] {
            if (own && !own_method(bucketing, kind)) own = false;
            if (own && s.quiet && !bucketing::current(s)) s = bucketing::quiet_snapshot(bucketing);
            use_snapshot = own && s.quiet;
        });
}

nb::object apply_feature_bucketing_batch(Args a) {
    nb::handle self = a[0], attribute = a[1], values = a[2];
    nb::object bucketing = lookup_bucketing(self, attribute);
    if (bucketing.is_none()) return nb::none();
    try {
        Kind kind = kind_of(bucketing);
        if (kind == Kind::Other) return nb::borrow(values);
        return kind == Kind::Numerical ? bin_batch<Kind::Numerical>(bucketing, values)
                                       : bin_batch<Kind::Categorical>(bucketing, values);
    } catch (nb::python_error &e) {
        reraise_for(e, attribute);
    }
}

// ---- dummy encoding

nb::object apply_dummy_encoding(Args a) {
    nb::handle self = a[0], attribute = a[1], value = a[2];
    nb::object encoding;
    each(get(self, names.dummy_encoding), [&](nb::handle entry) {
        if (!equals(get(entry, names.attribute), attribute)) return false;
        encoding = get(entry, names.encoding);
        return true;
    });
    if (!encoding.is_valid()) {
        nb::object text =
            steal_or_throw(PyUnicode_FromFormat("No dummy encoding for %U was found.", attribute.ptr()));
        log(state.module, "warning", text);
        return nb::none();
    }
    nb::object result = steal_or_throw(PyDict_New());
    nb::object zero = nb::int_(0), one = nb::int_(1);
    bool found = false;
    nb::object default_name = nb::none();
    each(encoding, [&](nb::handle item) {
        Fields fields(item);
        nb::object feature = fields[names.encoded_feature_name];
        nb::object item_value = fields[names.value];
        if (truthy(fields[names.use_for_undefined])) default_name = feature;
        if (equals(value, item_value)) {
            if (PyDict_SetItem(result.ptr(), feature.ptr(), one.ptr()) < 0)
                throw nb::python_error();
            found = true;
        } else {
            // A feature already set to 1 by an earlier item of the same name keeps its 1.
            PyObject *kept = nullptr;
            if (PyDict_SetDefaultRef(result.ptr(), feature.ptr(), zero.ptr(), &kept) < 0)
                throw nb::python_error();
            Py_XDECREF(kept);
        }
        return false;
    });
    if (!found) {
        if (!default_name.is_none() && truthy(default_name)) {
            if (PyDict_SetItem(result.ptr(), default_name.ptr(), one.ptr()) < 0)
                throw nb::python_error();
            nb::object text = steal_or_throw(PyUnicode_FromFormat(
                "Dummy encoding for value '%S' of attribute '%U' is not defined. Default value "
                "'%S' was assigned with 1.",
                value.ptr(), attribute.ptr(), default_name.ptr()));
            log(state.module, "info", text);
        } else {
            nb::object text = steal_or_throw(PyUnicode_FromFormat(
                "Dummy encoding for value '%S' of attribute '%U' is not defined and no default "
                "value was assigned. All dummies for given attribute are assigned with 0.",
                value.ptr(), attribute.ptr()));
            log(state.module, "warning", text);
        }
    }
    return result;
}

// ---- bucketing construction

/// Read access to one bucketing description, as key lookup, membership test and `get`.
struct Description {
    nb::handle d;

    nb::object operator[](PyObject *key) const {
        return steal_or_throw(PyObject_GetItem(d.ptr(), key));
    }
    bool contains(PyObject *key) const {
        int r = PySequence_Contains(d.ptr(), key);
        if (r < 0) throw nb::python_error();
        return r;
    }
    nb::object get(PyObject *key, nb::handle fallback = nb::none()) const {
        if (PyDict_CheckExact(d.ptr())) {
            PyObject *v = PyDict_GetItemWithError(d.ptr(), key);
            if (v) return nb::borrow(v);
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::borrow(fallback);
        }
        return steal_or_throw(
            PyObject_CallMethodObjArgs(d.ptr(), names.get, key, fallback.ptr(), nullptr));
    }
    /// Element `i` of the sequence under `key` when the description has that key, else None.
    nb::object element_or_none(PyObject *key, nb::handle index) const {
        if (!contains(key)) return nb::none();
        nb::object sequence = (*this)[key];
        return steal_or_throw(PyObject_GetItem(sequence.ptr(), index.ptr()));
    }
};

void set(nb::handle dict, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) < 0) throw nb::python_error();
}

nb::object build_bucketing(nb::handle attribute, Description desc) {
    nb::object dtype = desc.get(names.dtype);
    nb::object binned_name = desc.get(names.binned_attribute_name);
    nb::object bins_list = new_list();
    nb::object bins = desc[names.bins];
    bool categorical = equals(dtype, state.categorical);
    Py_ssize_t count = PyObject_Length(bins.ptr());
    if (count < 0) throw nb::python_error();
    if (!categorical) --count;
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object index = steal_or_throw(PyLong_FromSsize_t(i));
        nb::object bin = steal_or_throw(PyDict_New());
        set(bin, names.type, dtype);
        set(bin, names.value, desc.element_or_none(names.bin_vals, index));
        set(bin, names.frequency, desc.element_or_none(names.bin_frequencies, index));
        set(bin, names.target_rate, desc.element_or_none(names.bin_target_rates, index));
        set(bin, names.id, nb::int_(i + 2));
        if (equals(dtype, state.categorical)) {
            set(bin, names.categories, steal_or_throw(PyObject_GetItem(bins.ptr(), index.ptr())));
        } else if (equals(dtype, state.numerical)) {
            nb::object next = steal_or_throw(PyLong_FromSsize_t(i + 1));
            set(bin, names.lower_bound, steal_or_throw(PyObject_GetItem(bins.ptr(), index.ptr())));
            set(bin, names.upper_bound, steal_or_throw(PyObject_GetItem(bins.ptr(), next.ptr())));
        }
        append(bins_list, bin);
    }

    nb::object null_bin = steal_or_throw(PyDict_New());
    set(null_bin, names.type, dtype);
    set(null_bin, names.name, state.bin_null);
    set(null_bin, names.value, desc.get(names.null_val, nb::float_(0.0)));
    set(null_bin, names.frequency, desc.get(names.null_frequency));
    set(null_bin, names.target_rate, desc.get(names.null_target_rate));
    set(null_bin, names.id, nb::int_(1));
    append(bins_list, null_bin);

    nb::object default_value = desc.get(names.default_);
    nb::object default_bin = steal_or_throw(PyDict_New());
    set(default_bin, names.type, dtype);
    set(default_bin, names.name,
        default_value.is_none() ? state.bin_system_default : state.bin_defined_default);
    set(default_bin, names.value, truthy(default_value) ? nb::object(default_value) : nb::float_(0.0));
    set(default_bin, names.frequency, nb::float_(0.0));
    set(default_bin, names.target_rate, nb::float_(0.0));
    set(default_bin, names.id, nb::int_(0));
    append(bins_list, default_bin);

    nb::object kwargs = steal_or_throw(PyDict_New());
    set(kwargs, names.attribute, attribute);
    set(kwargs, names.attribute_data_type, dtype);
    set(kwargs, names.feature_bucketing, bins_list);
    set(kwargs, names.binned_attribute_name, binned_name);
    nb::object args = steal_or_throw(PyTuple_New(0));
    return steal_or_throw(PyObject_Call(state.feature_bucketing_cls, args.ptr(), kwargs.ptr()));
}

nb::object add_feature_bucketing(Args a) {
    nb::object result = new_list();
    // Iterates the live dict, so that a description changing it fails as a for loop would.
    nb::object live_items = steal_or_throw(PyObject_CallMethod(a[1].ptr(), "items", nullptr));
    each(live_items, [&](nb::handle pair) {
        nb::handle attribute = PyTuple_GET_ITEM(pair.ptr(), 0);
        nb::handle description = PyTuple_GET_ITEM(pair.ptr(), 1);
        append(result, build_bucketing(attribute, Description{description}));
        return false;
    });
    return result;
}

/// `cls.<name>` when it is still the function that feature_bucketing defined (a patch made before
/// this module was imported must not pass for it); None otherwise, and then no fast path is taken.
nb::object own_function(nb::handle cls, const char *name) {
    nb::object fn = cls.attr("__dict__")[name];
    std::string qualname = std::string("FeatureBucketing.") + name;
    bool own = std::string_view(Py_TYPE(fn.ptr())->tp_name).ends_with("cython_function_or_method") &&
               str_equals(fn.attr("__module__"), bucketing::kModule) &&
               str_equals(fn.attr("__qualname__"), qualname);
    return own ? fn : nb::none();
}

}  // namespace

NB_MODULE(feature_preparation, m) {
    qv::init_native_types();
    init_names();
    state.module = Py_NewRef(m.ptr());

    // The names a Python version of this module would import.
    import_names(m, "typing", {"List", "Optional", "Union", "Dict", "Any"});
    import_module(m, "structlog");
    import_module(m, "strawberry");
    import_names(m, "pydantic", {"model_validator"});
    import_names(m, "quorvex_analytics_utils.predictive_models.feature_preparation.feature_bucketing",
                 {"FeatureBucketing", "FeatureBucketingType", "AttributeDataType", "PredictiveModelBinName"});
    import_names(m, "quorvex_analytics_utils.predictive_models.feature_preparation.feature_reshaping",
                 {"FeatureReshaping", "FeatureReshapingType"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});
    m.attr("logger") = m.attr("structlog").attr("get_logger")(m.attr("__name__"));

    nb::object record_base = m.attr("RecordBase");
    nb::object feature_bucketing = m.attr("FeatureBucketing");
    nb::object data_type = m.attr("AttributeDataType");
    nb::object bin_name = m.attr("PredictiveModelBinName");
    state.own_bin_numeric = keep_forever(own_function(feature_bucketing, "bin_numeric_attribute"));
    state.own_bin_categoric = keep_forever(own_function(feature_bucketing, "bin_categoric_attribute"));
    state.feature_bucketing_cls = keep_forever(feature_bucketing);
    state.feature_reshaping_cls = keep_forever(m.attr("FeatureReshaping"));
    state.numerical = keep_forever(data_type.attr("NUMERICAL"));
    state.categorical = keep_forever(data_type.attr("CATEGORICAL"));
    state.bin_null = keep_forever(bin_name.attr("NULL"));
    state.bin_system_default = keep_forever(bin_name.attr("SYSTEM_DEFAULT"));
    state.bin_defined_default = keep_forever(bin_name.attr("DEFINED_DEFAULT"));

    nb::object str = typ::builtin("str"), integer = typ::builtin("int"),
               floating = typ::builtin("float"), boolean = typ::builtin("bool");
    nb::object none = nb::none();
    nb::object scalar = typ::Union({str, integer, floating});
    nb::handle fb = state.feature_bucketing_cls;

    nb::object single_value = RecordClass(m, "PredictiveModelDummyEncodingSingleValue", {record_base})
                                  .field("value", scalar)
                                  .field("encoded_feature_name", str)
                                  .field("use_for_undefined", boolean, nb::bool_(false))
                                  .build();

    nb::object dummy_encoding =
        RecordClass(m, "PredictiveModelDummyEncoding", {record_base})
            .field("attribute", str)
            .field("encoding", typ::List(single_value))
            .after_validator({"check_created_attribute_naming", {}, nb::str("PredictiveModelDummyEncoding")},
                             check_created_attribute_naming)
            .build();

    auto text = [&](const char *name) { return Param{name, Rule::Str, str}; };
    nb::object list_of_str = typ::List(str);
    nb::object preparation =
        RecordClass(m, "FeaturePreparation", {record_base})
            .doc("Class stores information about attribute transformations and binning applied "
                 "before models creation.")
            .field("transformations", typ::List(m.attr("FeatureReshaping")), nb::list())
            .field("binning", typ::List(fb), nb::list())
            .field("dummy_encoding", typ::List(dummy_encoding), nb::list())
            .method({"get_transformation_formula", {text("attribute")}, str},
                    get_transformation_formula)
            .method({"add_feature_reshaping",
                     {Param{"transformations", Rule::List, typ::List(typ::Dict(str, str))}},
                     none},
                    add_feature_reshaping)
            .classmethod({"add_feature_bucketing",
                          {Param{"features_bucketing", Rule::Dict, typ::Dict(str, typ::Any())}},
                          typ::List(fb)},
                         add_feature_bucketing)
            .method({"get_feature_bucketing", {text("attribute")}, typ::Optional(fb)},
                    get_feature_bucketing)
            .method({"apply_feature_bucketing",
                     {text("attribute"), Param{"attribute_value", Rule::Any, scalar}},
                     typ::Optional(floating)},
                    apply_feature_bucketing)
            .method({"apply_feature_bucketing_batch",
                     {text("attribute"), Param{"attribute_values", Rule::List, typ::builtin("list")}},
                     typ::Optional(typ::List(floating))},
                    apply_feature_bucketing_batch)
            .method({"feature_bucketing_exists", {text("attribute")}, boolean},
                    feature_bucketing_exists)
            .method({"get_all_transformation_attributes", {}, list_of_str},
                    get_all_transformation_attributes)
            .method({"get_attributes_created_in_transformations", {}, list_of_str},
                    get_attributes_created_in_transformations)
            .method({"get_all_binning_attributes", {}, list_of_str}, get_all_binning_attributes)
            .method({"get_attributes_created_in_binning", {}, list_of_str},
                    get_attributes_created_in_binning)
            .method({"get_all_dummy_enc_attributes", {}, list_of_str},
                    get_all_dummy_enc_attributes)
            .method({"apply_dummy_encoding",
                     {text("attribute"), Param{"attribute_value", Rule::Any, scalar}},
                     typ::Optional(typ::Dict(str, integer))},
                    apply_dummy_encoding)
            .build();
    state.own_get_feature_bucketing = keep_forever(preparation.attr("__dict__")["get_feature_bucketing"]);

    ViewClass(m, "FeaturePreparationType", preparation)
        .field("binning", typ::List(m.attr("FeatureBucketingType")))
        .field("transformations", typ::List(m.attr("FeatureReshapingType")))
        .build();
}
