// What the files of the feature_preparation module share: the module-lifetime objects, the field
// names, small helpers and the fast field reader, and the implementations the module set-up declares.
#pragma once

#include "binding/declare.hpp"
#include "binding/support.hpp"

#include <cstddef>
#include <cstdint>

namespace qv::preparation {

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
inline State state;

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
inline Names names;

inline void init_names() {
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

inline nb::object steal_or_throw(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

/// The host's `left == right`, as a truth value (no identity shortcut, unlike RichCompareBool).
inline bool equals(nb::handle left, nb::handle right) {
    if (PyUnicode_CheckExact(left.ptr()) && PyUnicode_CheckExact(right.ptr()))
        return PyUnicode_Compare(left.ptr(), right.ptr()) == 0;
    nb::object result = steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ));
    int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw nb::python_error();
    return truth;
}

inline bool truthy(nb::handle value) {
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
    while (nb::object item = next_item(it))
        if (fn(nb::handle(item))) return true;
    return false;
}

/// A learned dict key of one (class, field name); see Fields.
struct KeyEntry {
    PyTypeObject *type;  ///< compared only, never dereferenced
    PyObject *name;
    PyObject *key;  ///< strong reference, deliberately kept for the life of the process
    Py_ssize_t position;  ///< where the key stood in the dict it was learned from (-1: not found)
};
constexpr std::size_t kKeyEntries = 256;
inline KeyEntry key_table[kKeyEntries];
inline unsigned char key_victim[kKeyEntries / 2];  ///< which way of each set a miss replaces

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
        if (PyObject *v = peek(name)) return nb::borrow(v);
        return steal_or_throw(PyObject_GetAttr(record_.ptr(), name));
    }

    /// Borrowed value from the instance dict, or nullptr when there is none; nothing of Python's
    /// runs. Valid only until Python code runs.
    PyObject *peek(PyObject *name) const {
        if (!dict_.is_valid()) return nullptr;
        const KeyEntry &e = entry(name);
        // Records of one class keep their fields in one order: the entry at the learned position,
        // when it still holds this very key; otherwise a lookup.
        Py_ssize_t pos = e.position;
        PyObject *key = nullptr, *v = nullptr;
        if (pos >= 0 && PyDict_Next(dict_.ptr(), &pos, &key, &v) && key == e.key) return v;
        v = PyDict_GetItemWithError(dict_.ptr(), e.key);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v;
    }

private:
    const KeyEntry &entry(PyObject *name) const {
        PyTypeObject *type = Py_TYPE(record_.ptr());
        // Two-way set: the pair's home slot and its neighbour; a miss replaces the other one.
        std::uint64_t h = (reinterpret_cast<std::uintptr_t>(type) * 0x9E3779B97F4A7C15ull) ^
                          (reinterpret_cast<std::uintptr_t>(name) * 0xC2B2AE3D27D4EB4Full);
        std::size_t slot = (std::size_t) (h >> 40) % kKeyEntries & ~std::size_t(1);
        for (std::size_t way = 0; way < 2; ++way) {
            KeyEntry &hit = key_table[slot + way];
            if (hit.type == type && hit.name == name) {
                key_victim[slot / 2] = (unsigned char) (1 - way);
                return hit;
            }
        }
        KeyEntry &e = key_table[slot + key_victim[slot / 2]];
        key_victim[slot / 2] ^= 1;
        PyObject *found = name, *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0, position = -1;
        for (Py_ssize_t before = 0; PyDict_Next(dict_.ptr(), &pos, &key, &value); before = pos) {
            if (key == name ||
                (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) {
                found = key;
                position = before;
                break;
            }
        }
        Py_INCREF(found);
        Py_XDECREF(e.key);
        e = KeyEntry{type, name, found, position};
        return e;
    }

    nb::handle record_;
    nb::object dict_;
};

inline nb::object get(nb::handle record, PyObject *name) { return Fields(record)[name]; }

inline nb::object new_list() { return steal_or_throw(PyList_New(0)); }

inline void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw nb::python_error();
}

/// The registry's `get_feature_bucketing(attribute)`: done here unless a subclass, a patch of the
/// class or an attribute of the instance replaced the method, which is then called.
nb::object lookup_bucketing(nb::handle self, nb::handle attribute);

// Records (records.cpp): validation and construction of binnings from descriptions.
nb::object check_created_attribute_naming_impl(Args a);
nb::object add_feature_bucketing_impl(Args a);

// Registry lookups, listings and registration (registry.cpp).
nb::object get_transformation_formula_impl(Args a);
nb::object add_feature_reshaping_impl(Args a);
nb::object get_feature_bucketing_impl(Args a);
nb::object feature_bucketing_exists_impl(Args a);
nb::object get_all_transformation_attributes_impl(Args a);
nb::object get_attributes_created_in_transformations_impl(Args a);
nb::object get_all_binning_attributes_impl(Args a);
nb::object get_attributes_created_in_binning_impl(Args a);
nb::object get_all_dummy_enc_attributes_impl(Args a);

// Applying binnings and dummy encodings to values (application.cpp).
enum class Kind { Numerical, Categorical, Other };
/// Which bin method applies, from the bucketing's `attribute_data_type`.
Kind kind_of(nb::handle bucketing);
/// Raises `e` again with "Binning attribute <attribute>: " in front of its message.
[[noreturn]] void reraise_for(nb::python_error &e, nb::handle attribute);
/// The `encoding` list of the first dummy encoding of `attribute`; when there is none, logs that
/// and returns an invalid object.
nb::object find_encoding(nb::handle self, nb::handle attribute);
nb::object apply_feature_bucketing_impl(Args a);
nb::object apply_feature_bucketing_batch_impl(Args a);
nb::object apply_dummy_encoding_impl(Args a);

// The same for whole columns (column_application.cpp).
nb::object apply_feature_bucketing_array_impl(Args a);
nb::object apply_dummy_encoding_array_impl(Args a);

// Whole frames (frames.cpp).
nb::object transform_frame_impl(Args a);
nb::object output_schema_impl(Args a);

}  // namespace qv::preparation
