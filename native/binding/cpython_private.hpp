// The one place that uses CPython's private API: a type's attribute without descriptor binding,
// and an object's instance dict slot. Each has a portable fallback for builds without them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace qv {

namespace nb = nanobind;

/// The attribute `name` as the type's MRO holds it (no descriptor `__get__`, no error), as a new
/// reference; empty when no class in the MRO defines it.
inline nb::object type_lookup(PyTypeObject *type, PyObject *name) {
#if defined(Py_LIMITED_API) || defined(PYPY_VERSION)
    // Public API only: each class's namespace through attribute access, as nanobind does.
    PyObject *mro = PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__mro__");
    if (!mro) {
        PyErr_Clear();
        return {};
    }
    nb::object held = nb::steal(mro);
    for (Py_ssize_t i = 0; i < PyTuple_Size(mro); ++i) {
        PyObject *dict = PyObject_GetAttrString(PyTuple_GetItem(mro, i), "__dict__");
        PyObject *found = dict ? PyObject_GetItem(dict, name) : nullptr;
        Py_XDECREF(dict);
        if (found) return nb::steal(found);
        PyErr_Clear();
    }
    return {};
#elif PY_VERSION_HEX >= 0x030D0000
    return nb::steal(_PyType_LookupRef(type, name));
#else
    return nb::borrow(_PyType_Lookup(type, name));
#endif
}

/// True when the type's MRO holds exactly `expected` under `name` (see `type_lookup`). Runs no
/// Python code and cannot fail.
inline bool type_attribute_is(PyTypeObject *type, PyObject *name, PyObject *expected) {
#if defined(Py_LIMITED_API) || defined(PYPY_VERSION) || defined(Py_GIL_DISABLED)
    return type_lookup(type, name).ptr() == expected;
#else
    // Remembered per (type, version tag, name): CPython gives a type a new version tag whenever
    // an attribute of it or of a base may have changed, as its own attribute cache relies on. The
    // name is held, so that no other string takes its address while it is remembered; `expected`
    // needs no reference (an object born at its address cannot be what the type holds).
    struct Known {
        PyTypeObject *type;
        unsigned int tag;
        PyObject *name;
        PyObject *expected;
        bool is;
    };
    static Known known[64];
    auto at = (reinterpret_cast<std::uintptr_t>(type) >> 4) ^
              (reinterpret_cast<std::uintptr_t>(name) >> 3);
    Known &k = known[at % 64];
    if (k.tag != 0 && k.type == type && k.tag == type->tp_version_tag && k.name == name &&
        k.expected == expected)
        return k.is;
    // Only compared, never used: the borrowed result needs no reference.
    bool is = _PyType_Lookup(type, name) == expected;
    if (!PyUnicode_CheckExact(name)) return is;
    // The look-up gives the type a tag when it had none (0: it cannot be remembered).
    PyObject *old = k.name;
    k = Known{type, type->tp_version_tag, Py_NewRef(name), expected, is};
    Py_XDECREF(old);  // an exact str: its release runs no Python code
    return is;
#endif
}

/// The slot of `obj` that holds its instance dict (the dict made if the object keeps its values
/// inline), or nullptr when it has none. Code that runs between two reads may replace the dict
/// in the slot: read the slot again after running any.
inline PyObject **instance_dict_slot(PyObject *obj) {
#if defined(Py_LIMITED_API) || defined(PYPY_VERSION)
    (void) obj;
    return nullptr;  // callers fall back on attribute access
#else
    PyObject **slot = _PyObject_GetDictPtr(obj);
    if (!slot) PyErr_Clear();
    return slot;
#endif
}

}  // namespace qv
