// Small helpers every module uses: raising, prefixed re-raise, interned names, logging, printing;
// with the C-API toolkit and the field reader.
#pragma once

#include "capi.hpp"
#include "fields.hpp"

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

/// An interned string that lives as long as the process (deliberately never released); pass a
/// string literal: the result is cached by the literal's address.
PyObject *interned(const char *text);

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
/// structlog's filtering bound loggers whose minimum is above `level`, and binding would run
/// nothing of the caller's (no cached logger, structlog's own logger factory and dict context). The
/// proxy is then not asked at all: no event would reach a processor either way.
bool proxy_drops_unseen(nb::handle logger, PyObject *level);

/// Logs the event that `make()` builds at `level` on the module's logger, looked up now (so that a
/// replaced logger is used). A logger that certainly drops the event unseen is not called, and when
/// `pure` (building the event runs no Python code and reads only immutable values) the event is
/// then not built either; otherwise it is built first, as written.
template <typename Make>
void log_event(nb::handle module, const char *level, bool pure, Make &&make) {
    nb::object event;
    if (!pure) event = make();
    nb::object logger = logger_of(module);
    PyObject *name = level_name(level);
    if (proxy_drops_unseen(logger, name)) return;
    nb::object method = check(PyObject_GetAttr(logger.ptr(), name));
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

/// True when `value` is exactly a `str` equal to `text` (byte comparison, no Python call).
bool str_equals(nb::handle value, std::string_view text);

}  // namespace qv
