// Small helpers every module uses: raising, prefixed re-raise, logging, printing and fast field reads.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <string_view>
#include <type_traits>

namespace qv {

namespace nb = nanobind;

/// Sets a Python error of `type` formatted like PyErr_Format and throws it to the caller.
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);

/// Throws the TypeError of an argument of the wrong type, in the package's one wording.
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle value);

/// Re-raises `e` as a new error of the same class whose message is `prefix` + str(e), chained
/// to `e` as its cause (and context). Non-`Exception` errors propagate unchanged, and so does `e`
/// when its text or a new instance of its class cannot be made with an ordinary error; a
/// KeyboardInterrupt or the like raised on the way propagates, with `e` as its context.
[[noreturn]] void reraise_prefixed(nb::python_error &e, nb::handle prefix);

/// A strong reference kept for the life of the process (deliberately never released): how modules
/// hold the classes and constants they use on every call.
inline PyObject *keep_forever(nb::handle value) { return Py_NewRef(value.ptr()); }

/// An interned string that lives as long as the process (deliberately never released); pass a
/// string literal: the result is cached by the literal's address.
PyObject *interned(const char *text);

/// Reads a record field from the instance dict, falling back to ordinary attribute access.
/// The result is a new reference: safe to keep across calls back into Python.
nb::object field(nb::handle record, PyObject *name);

/// True when the instance dict of `obj` holds `name` (an attribute found there comes before a
/// method of its class); false without an instance dict. Errors of the look-up propagate.
bool in_instance_dict(nb::handle obj, PyObject *name);

/// The module's structured logger, looked up on every call so that it can be replaced.
nb::object logger_of(nb::handle module);

/// The method of the module's logger for `level` ("warning", "info", "debug"), looked up now.
nb::object log_method(nb::handle module, const char *level);

/// Logs `event` at `level` ("warning", "info", "debug") on the module's logger.
void log(nb::handle module, const char *level, nb::handle event);

/// True when calling `method` certainly does nothing: it is the method that structlog's filtering
/// bound loggers (`make_filtering_bound_logger`) have for levels below their minimum, which ignores
/// its arguments and hands no event to any processor. Any other logger (stdlib, custom wrapper
/// classes, a replaced logger object) is called as usual.
bool drops_every_event(nb::handle method);

/// True when `str(value)` and `format(value, "")` run no Python code and always give the same text:
/// an exact str, int, float or bool, or None.
bool formats_without_python(nb::handle value);

/// The interned name of a level method ("warning", "info", "debug").
PyObject *level_name(const char *level);

/// True when `logger` is structlog's lazy proxy (what `get_logger` returns) and asking it for the
/// method of `level` would give the filtering no-op: the wrapper class it would bind is one of
/// structlog's filtering bound loggers whose minimum is above `level`, and binding would run nothing
/// of the caller's (no cached logger, structlog's own logger factory and dict context). The proxy is
/// then not asked at all: no event would reach a processor either way.
bool proxy_drops_unseen(nb::handle logger, PyObject *level);

/// Logs the event that `make()` builds at `level` on the module's logger, looked up now (so that a
/// replaced logger is used). A logger that certainly drops the event unseen is not called, and when
/// `pure` (building the event runs no Python code and reads only immutable values) the event is
/// then not built either; otherwise it is built first, as written.
template <typename Make> void log_event(nb::handle module, const char *level, bool pure, Make &&make) {
    nb::object event;
    if (!pure) event = make();
    nb::object logger = logger_of(module);
    PyObject *name = level_name(level);
    if (proxy_drops_unseen(logger, name)) return;
    PyObject *found = PyObject_GetAttr(logger.ptr(), name);
    if (!found) throw nb::python_error();
    nb::object method = nb::steal(found);
    if (drops_every_event(method)) return;
    method(pure ? make() : event);
}

/// `builtins.print(text)`, so that redirected standard output sees it.
void print(nb::handle text);

/// Python's `str(value)` as a new reference.
nb::str to_str(nb::handle value);

/// Unpacks `item` into two new references as `first, second = item` does, with the same errors
/// and messages (an entry of a mapping's `items()` need not be a pair, or even a tuple).
void unpack_pair(nb::handle item, nb::object &first, nb::object &second);

/// The next item of `iterator` as a new reference, or an empty object at its end. First checks for
/// signals, as the interpreter does on every pass of a `for` loop, so that an iterator that never
/// ends (and runs no Python code per item) can still be interrupted. Like any Python code, the
/// check may run handlers and the garbage collector: hold no borrowed references across it. The
/// iterators of exact lists, tuples and dicts are read without the check: they end, and run no
/// Python code, unless Python code (itself interruptible) keeps growing what they walk.
nb::object next_item(nb::handle iterator);

/// Calls `fn(item)` for each item of `iterable`, as a `for` loop does (and as interruptible); an
/// `fn` that returns a bool stops the loop by returning true, as `break` would.
template <typename Fn> void for_each_item(nb::handle iterable, Fn &&fn) {
    PyObject *it = PyObject_GetIter(iterable.ptr());
    if (!it) throw nb::python_error();
    nb::object iterator = nb::steal(it);
    while (nb::object item = next_item(iterator)) {
        if constexpr (std::is_same_v<decltype(fn(nb::handle(item))), bool>) {
            if (fn(nb::handle(item))) return;
        } else {
            fn(nb::handle(item));
        }
    }
}

/// `list(iterable)`: a list or tuple is copied at once; anything else is iterated as
/// interruptibly as a `for` loop.
nb::object list_of(nb::handle iterable);

/// `list(mapping.items())` (what `PyMapping_Items` gives), as interruptible as `list_of`.
nb::object items_of(nb::handle mapping);

/// `a == b` for two exact str objects, without a call (the texts compared are mostly short names
/// and categories: byte by byte rather than through memcmp).
inline bool same_text(PyObject *a, PyObject *b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    if (PyUnicode_GET_LENGTH(b) != length || PyUnicode_KIND(b) != kind) return false;
    auto size = (std::size_t) (length * kind);
    const auto *x = static_cast<const unsigned char *>(PyUnicode_DATA(a));
    const auto *y = static_cast<const unsigned char *>(PyUnicode_DATA(b));
    if (size > 32) return std::memcmp(x, y, size) == 0;
    for (std::size_t i = 0; i < size; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

/// True when `value` is exactly a `str` equal to `text` (byte comparison, no Python call).
bool str_equals(nb::handle value, std::string_view text);

}  // namespace qv
