// The C-API idioms every native file uses, each written once: checked results, truth, the two
// equality semantics, text comparison, iteration and module-lifetime references.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace qv {

namespace nb = nanobind;

/// Throws the Python error that a failed C-API call has set.
[[noreturn]] inline void fail() { throw nb::python_error(); }

/// The new reference a C-API call returned, owned; its error thrown when it returned null.
inline nb::object check(PyObject *result) {
    if (!result) fail();
    return nb::steal(result);
}

/// The status a C-API call returned (0 or 1 for tests, 0 for actions); its error thrown when
/// it returned a negative value.
inline int check(int status) {
    if (status < 0) fail();
    return status;
}

/// A length or index a C-API call returned; its error thrown when it returned -1.
inline Py_ssize_t check_size(Py_ssize_t size) {
    if (size < 0) fail();
    return size;
}

/// A strong reference kept for the life of the process (deliberately never released): how modules
/// hold the classes and constants they use on every call.
inline PyObject *keep_forever(nb::handle value) { return Py_NewRef(value.ptr()); }

/// `bool(value)`, as `if value:` takes it.
inline bool truth(nb::handle value) { return check(PyObject_IsTrue(value.ptr())) == 1; }

/// `isinstance(value, cls)`.
inline bool is_instance(nb::handle value, nb::handle cls) {
    return check(PyObject_IsInstance(value.ptr(), cls.ptr())) == 1;
}

/// `obj.<name>()`.
inline nb::object call_method(nb::handle obj, PyObject *name) {
    return check(PyObject_CallMethodNoArgs(obj.ptr(), name));
}

/// `obj.<name>(arg)`.
inline nb::object call_method(nb::handle obj, PyObject *name, nb::handle arg) {
    return check(PyObject_CallMethodOneArg(obj.ptr(), name, arg.ptr()));
}

/// The value of `dict` under `key`, borrowed (valid until Python code runs); nullptr when the dict
/// lacks the key. An error of the look-up (a key's own `__eq__` or `__hash__`) is thrown.
inline PyObject *dict_lookup(PyObject *dict, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) fail();
    return value;
}

/// `container[key]`.
inline nb::object get_item(nb::handle container, nb::handle key) {
    return check(PyObject_GetItem(container.ptr(), key.ptr()));
}

/// `container[key] = value`.
inline void set_item(nb::handle container, nb::handle key, nb::handle value) {
    check(PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()));
}

/// `obj.<name> = value`.
inline void set_attr(nb::handle obj, PyObject *name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name, value.ptr()));
}

// ---- text

/// An exact str, or an instance of a subclass that keeps str's own comparison (a text enumeration
/// member): comparing two of them compares their characters, whichever side Python asks first.
inline bool plain_text(PyObject *o) {
    return PyUnicode_Check(o) && Py_TYPE(o)->tp_richcompare == PyUnicode_Type.tp_richcompare;
}

/// An exact str taken apart once, for comparing it with many others.
struct Text {
    explicit Text(PyObject *s)
        : object(s),
          length(PyUnicode_GET_LENGTH(s)),
          kind(PyUnicode_KIND(s)),
          data(PyUnicode_DATA(s)) {}

    /// Equality with another str (or plain text); runs no Python code and cannot fail. Names and
    /// categories are short, so they are compared byte by byte below a few words.
    bool equals(PyObject *s) const {
        if (s == object) return true;
        if (PyUnicode_GET_LENGTH(s) != length || PyUnicode_KIND(s) != kind) return false;
        auto size = static_cast<std::size_t>(length) * kind;
        const auto *x = static_cast<const unsigned char *>(PyUnicode_DATA(s));
        const auto *y = static_cast<const unsigned char *>(data);
        if (size > 32) return std::memcmp(x, y, size) == 0;
        for (std::size_t i = 0; i < size; ++i)
            if (x[i] != y[i]) return false;
        return true;
    }

    PyObject *object;
    Py_ssize_t length;
    unsigned int kind;
    const void *data;
};

/// Equality of two strings that keep str's comparison (see `plain_text`); runs no Python code.
inline bool same_text(PyObject *a, PyObject *b) { return Text(a).equals(b); }

// ---- the two equalities

/// `a is b or a == b`: how `in`, `list.index`, `list.count` and dict keys compare.
inline bool identical_or_equal(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr()) return true;
    if (plain_text(a.ptr()) && plain_text(b.ptr())) return same_text(a.ptr(), b.ptr());
    return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

/// `bool(a == b)`: the `==` operator itself, without an identity shortcut (a NaN is not equal to
/// itself, an object's own `__eq__` is asked even about itself). Both operands are held while
/// Python code runs.
inline bool equals_by_eq(nb::handle a, nb::handle b) {
    if (plain_text(a.ptr()) && plain_text(b.ptr())) return same_text(a.ptr(), b.ptr());
    nb::object left = nb::borrow(a), right = nb::borrow(b);
    return truth(check(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

// ---- iteration

/// Strong reference to item `i` of a list that Python code may have shortened meanwhile; empty
/// past the end.
inline nb::object list_item(nb::handle list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list.ptr())) return {};
    return nb::borrow(PyList_GET_ITEM(list.ptr(), i));
}

/// The next item of `iterator` as a new reference, or an empty object at its end. First checks for
/// signals, as the interpreter does on every pass of a `for` loop, so that an iterator that never
/// ends (and runs no Python code per item) can still be interrupted. Like any Python code, the
/// check may run handlers and the garbage collector: hold no borrowed references across it. The
/// iterators of exact lists, tuples and dicts are read without the check: they end, and run no
/// Python code, unless Python code (itself interruptible) keeps growing what they walk.
nb::object next_item(nb::handle iterator);

/// `list(iterable)`: a list or tuple is copied at once; anything else is iterated as
/// interruptibly as a `for` loop.
nb::object list_of(nb::handle iterable);

/// `list(mapping.items())` (what `PyMapping_Items` gives), as interruptible as `list_of`.
nb::object items_of(nb::handle mapping);

/// A list of the items of `value`: the object itself when it is exactly a list, else `list_of`.
inline nb::object as_list(nb::object value) {
    if (PyList_CheckExact(value.ptr())) return value;
    return list_of(value);
}

/// Calls `fn(item)` for every item of `iterable` with a strong reference, as a `for` loop does
/// (and as interruptibly, see `next_item`). When `fn` returns bool, true stops the loop early; the
/// result tells whether it stopped. An exact list is walked by index against its live size,
/// exactly as its iterator would, without making one.
template <typename Fn>
bool for_each(nb::handle iterable, Fn &&fn) {
    auto visit = [&](nb::handle item) -> bool {
        if constexpr (std::is_same_v<decltype(fn(item)), bool>) {
            return fn(item);
        } else {
            fn(item);
            return false;
        }
    };
    if (PyList_CheckExact(iterable.ptr())) {
        nb::object list = nb::borrow(iterable);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
            if (visit(item)) return true;
        }
        return false;
    }
    nb::object iterator = check(PyObject_GetIter(iterable.ptr()));
    while (nb::object item = next_item(iterator))
        if (visit(item)) return true;
    return false;
}

}  // namespace qv
