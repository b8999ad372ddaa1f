// Reading record fields straight from the instance dict, and recognising the package's own
// methods: the two checks every shortcut that stands in for a Python call makes.
#pragma once

#include "capi.hpp"
#include "cpython_private.hpp"

#include <cstddef>
#include <cstdint>

namespace qv {

namespace detail {

/// A learned dict key of one (class, field name); see Fields.
struct KeyEntry {
    PyTypeObject *type;  ///< compared only, never dereferenced
    PyObject *name;
    PyObject *key;        ///< strong reference, deliberately kept for the life of the process
    Py_ssize_t position;  ///< where the key stood in the dict it was learned from (-1: not found)
};
inline constexpr std::size_t kKeyEntries = 256;
inline KeyEntry key_table[kKeyEntries];
inline unsigned char key_victim[kKeyEntries / 2];  ///< which way of each set a miss replaces

/// The key object (and its position) under which dicts of records of `type` hold `name`, learned
/// from `dict` on a miss.
inline const KeyEntry &key_entry(PyTypeObject *type, PyObject *dict, PyObject *name) {
    // Two-way set: the pair's home slot and its neighbour; a miss replaces the other one.
    std::uint64_t h = (reinterpret_cast<std::uintptr_t>(type) * 0x9E3779B97F4A7C15ull) ^
                      (reinterpret_cast<std::uintptr_t>(name) * 0xC2B2AE3D27D4EB4Full);
    std::size_t slot = static_cast<std::size_t>(h >> 40) % kKeyEntries & ~std::size_t(1);
    for (std::size_t way = 0; way < 2; ++way) {
        KeyEntry &hit = key_table[slot + way];
        if (hit.type == type && hit.name == name) {
            key_victim[slot / 2] = static_cast<unsigned char>(1 - way);
            return hit;
        }
    }
    KeyEntry &e = key_table[slot + key_victim[slot / 2]];
    key_victim[slot / 2] ^= 1;
    PyObject *found = name, *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0, position = -1;
    for (Py_ssize_t before = 0; PyDict_Next(dict, &pos, &key, &value); before = pos) {
        if (key == name || (PyUnicode_CheckExact(key) && same_text(key, name))) {
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

}  // namespace detail

/// The one reader of record fields. Records keep their fields in the instance dict, where
/// pydantic-core puts the same key objects (not the interned names) in every instance of a class:
/// the key object of each (class, name) is learned once, so that a lookup matches by identity
/// instead of comparing text. A stale entry (a class freed and another allocated in its place)
/// only costs speed, never correctness. Every read sees the dict the record holds at that moment,
/// also when Python code run between two reads replaced it. Keep the record alive while the
/// reader is used.
class Fields {
public:
    explicit Fields(nb::handle record) : record_(record) {
        slot_ = instance_dict_slot(record.ptr());
        if (slot_) {
            if (*slot_ && PyDict_Check(*slot_)) dict_ = nb::borrow(*slot_);
            return;
        }
        // Without access to the slot: the dict attribute access finds, taken once.
        PyObject *d = PyObject_GenericGetDict(record.ptr(), nullptr);
        if (d)
            dict_ = nb::steal(d);
        else
            PyErr_Clear();  // no instance dict: attribute access
    }

    /// The record's instance dict now (borrowed), nullptr when it has none.
    PyObject *dict() const {
        if (!slot_) return dict_.ptr();
        PyObject *now = *slot_;
        if (now != dict_.ptr()) {
            if (now && PyDict_Check(now))
                dict_ = nb::borrow(now);
            else
                dict_.reset();
        }
        return dict_.ptr();
    }

    /// The value in the instance dict, borrowed (valid until Python code runs); nullptr when the
    /// dict lacks the name. Runs no Python code unless the dict holds a key that is no exact str.
    PyObject *peek(PyObject *name) const {
        PyObject *d = dict();
        if (!d) return nullptr;
        const detail::KeyEntry &e = detail::key_entry(Py_TYPE(record_.ptr()), d, name);
        if (PyObject *v = at(d, e)) return v;
        return dict_lookup(d, e.key);
    }

    /// The value where records of this class keep `name` in their dicts, borrowed; nullptr when
    /// that entry holds another key (then `peek` finds it). Never a look-up by key, so it runs no
    /// Python code whatever the dict holds.
    PyObject *peek_in_place(PyObject *name) const {
        PyObject *d = dict();
        if (!d) return nullptr;
        return at(d, detail::key_entry(Py_TYPE(record_.ptr()), d, name));
    }

    /// As `peek`, but never runs Python code: nullptr also when finding the name would compare a
    /// key that is no exact str (whose `__eq__` could change what was read before). For readings
    /// kept on the promise that nothing ran while they were taken.
    PyObject *peek_quietly(PyObject *name) const {
        PyObject *d = dict();
        if (!d) return nullptr;
        const detail::KeyEntry &e = detail::key_entry(Py_TYPE(record_.ptr()), d, name);
        if (PyObject *v = at(d, e)) return v;
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *v = nullptr;
        while (PyDict_Next(d, &pos, &key, &v))
            if (!PyUnicode_CheckExact(key)) return nullptr;
        return dict_lookup(d, e.key);  // exact str keys only: compared without Python code
    }

    /// New reference: the value in the instance dict, else ordinary attribute access (with its
    /// error). Safe to keep across calls back into Python.
    nb::object operator[](PyObject *name) const {
        if (PyObject *v = peek(name)) return nb::borrow(v);
        return check(PyObject_GetAttr(record_.ptr(), name));
    }

private:
    /// Records of one class keep their fields in one order: the entry at the learned position,
    /// when it still holds the very key learned.
    static PyObject *at(PyObject *dict, const detail::KeyEntry &e) {
        Py_ssize_t pos = e.position;
        PyObject *key = nullptr, *v = nullptr;
        if (pos >= 0 && PyDict_Next(dict, &pos, &key, &v) && key == e.key) return v;
        return nullptr;
    }

    nb::handle record_;
    PyObject **slot_ = nullptr;  ///< where the record keeps its instance dict
    mutable nb::object dict_;    ///< what the slot held at the last read
};

/// `record.<name>` read through `Fields` (a new reference).
inline nb::object field(nb::handle record, PyObject *name) { return Fields(record)[name]; }

/// The value under `name` in the instance dict of `obj`, read without running Python code
/// (see `Fields::peek`); empty when there is none.
inline nb::object stored_field(nb::handle obj, PyObject *name) {
    PyObject *v = Fields(obj).peek(name);
    return v ? nb::borrow(v) : nb::object();
}

/// True when the instance dict of `obj` holds `name` (an attribute found there comes before a
/// method of its class); false without an instance dict. Errors of the look-up propagate.
bool in_instance_dict(nb::handle obj, PyObject *name);

/// True while `obj.<name>` resolves to `own` as Python's attribute look-up would find it: the
/// class (through its MRO, so subclasses and patches of any class count) holds exactly `own`, and
/// the instance does not shadow it with an attribute of its own. `own` null or None: false.
/// Checked on every call: classes and records may change between calls.
inline bool is_own_method(nb::handle obj, PyObject *name, PyObject *own) {
    if (!own || own == Py_None) return false;
    return type_attribute_is(Py_TYPE(obj.ptr()), name, own) && !in_instance_dict(obj, name);
}

/// `cls.__dict__[name]` when it is still the package's compiled function that `module` defined as
/// `<class name>.<name>` (so that a patch made before the caller looked cannot pass for it); None
/// otherwise.
nb::object own_function(nb::handle cls, const char *name, const char *module,
                        const char *class_name);

}  // namespace qv
