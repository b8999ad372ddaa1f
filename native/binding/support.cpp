// Small helpers every module uses: raising, prefixed re-raise, interned names, logging, printing.
#include "support.hpp"

#include <cstdarg>
#include <unordered_map>
#include <utility>

namespace qv {

void raise(PyObject *type, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    PyErr_FormatV(type, fmt, args);
    va_end(args);
    fail();
}

void raise_arg_type(const char *name, const char *expected, nb::handle value) {
    raise(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", name, expected,
          Py_TYPE(value.ptr())->tp_name);
}

namespace {

/// After a failed step of building the replacement (its error is set): an ordinary error gives
/// way to `original`, which is rethrown unchanged; anything else (KeyboardInterrupt, SystemExit)
/// propagates, chained to `original` as a raise inside its handler would be.
[[noreturn]] void give_way_to(nb::python_error &original) {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        throw original;
    }
    PyObject *failure = PyErr_GetRaisedException();
    if (failure && failure != original.value().ptr())
        PyException_SetContext(failure, Py_NewRef(original.value().ptr()));
    PyErr_SetRaisedException(failure);
    fail();
}

}  // namespace

void reraise_prefixed(nb::python_error &e, nb::handle prefix) {
    if (!e.matches(PyExc_Exception)) throw;
    nb::object original = nb::borrow(e.value());
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(original.ptr())));
    PyObject *text = PyObject_Str(original.ptr());
    if (!text) give_way_to(e);
    nb::object message = nb::steal(PyUnicode_Concat(prefix.ptr(), text));
    Py_DECREF(text);
    if (!message.is_valid()) give_way_to(e);
    PyObject *replacement = PyObject_CallOneArg(cls.ptr(), message.ptr());
    if (!replacement) give_way_to(e);  // the class cannot be built from one message
    if (!PyExceptionInstance_Check(replacement)) {
        Py_DECREF(replacement);
        throw;
    }
    PyException_SetContext(replacement, Py_NewRef(original.ptr()));
    PyException_SetCause(replacement, Py_NewRef(original.ptr()));
    // Set as it is: PyErr_SetObject would make whatever exception the caller is handling its
    // context, in place of the original.
    PyErr_SetRaisedException(replacement);
    fail();
}

nb::str to_str(nb::handle value) {
    PyObject *s = PyObject_Str(value.ptr());
    if (!s) fail();
    return nb::steal<nb::str>(s);
}

void unpack_pair(nb::handle item, nb::object &first, nb::object &second) {
    PyObject *v = item.ptr();
    if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 2) {
        first = nb::borrow(PyTuple_GET_ITEM(v, 0));
        second = nb::borrow(PyTuple_GET_ITEM(v, 1));
        return;
    }
    PyObject *it = PyObject_GetIter(v);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter &&
            !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        fail();
    }
    nb::object iterator = nb::steal(it);
    nb::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = PyIter_Next(it);
        if (!next) {
            if (PyErr_Occurred()) fail();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        values[i] = nb::steal(next);
    }
    if (PyObject *extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) fail();
    first = std::move(values[0]);
    second = std::move(values[1]);
}

PyObject *interned(const char *text) {
    // Keyed by the literal's address: call sites pass string literals, so a hot path pays one
    // hash lookup instead of building and interning a new string (and leaking its reference).
    static std::unordered_map<const char *, PyObject *> cache;
    auto it = cache.find(text);
    if (it != cache.end()) return it->second;
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) fail();
    cache.emplace(text, s);
    return s;
}

nb::object logger_of(nb::handle module) {
    return check(PyObject_GetAttr(module.ptr(), interned("logger")));
}

PyObject *level_name(const char *level) {
    // The three level names are literals: interned once each.
    std::string_view l(level);
    if (l == "warning") return interned("warning");
    if (l == "info") return interned("info");
    if (l == "debug") return interned("debug");
    PyObject *name = PyUnicode_InternFromString(level);
    if (!name) fail();
    return name;  // other names are not used by the package; interned strings live on anyway
}

nb::object log_method(nb::handle module, const char *level) {
    nb::object logger = logger_of(module);
    return check(PyObject_GetAttr(logger.ptr(), level_name(level)));
}

void log(nb::handle module, const char *level, nb::handle event) {
    log_method(module, level)(event);
}

namespace {

/// The parts of structlog that tell, without asking a logger, that it would drop an event unseen.
/// Looked up on first use and kept (deliberately never released); a part this structlog lacks stays
/// null and only turns the shortcut off.
struct Structlog {
    PyObject *nop = nullptr;         ///< the level method of filtering loggers below their minimum
    PyObject *proxy_type = nullptr;  ///< the lazy proxy `get_logger` returns
    PyObject *config = nullptr;      ///< the global configuration the proxy reads when bound
    PyObject *filtering = nullptr;   ///< tuple of the filtering bound logger classes
    PyObject *factories = nullptr;   ///< tuple of structlog's own logger factory classes
};

PyObject *optional_attr(PyObject *module, const char *name) {
    if (!module) return nullptr;
    PyObject *v = PyObject_GetAttrString(module, name);
    if (!v) PyErr_Clear();
    return v;
}

const Structlog &structlog_parts() {
    static Structlog parts;
    static bool looked = false;
    if (looked) return parts;
    PyObject *native = PyImport_ImportModule("structlog._native");
    PyObject *config = native ? PyImport_ImportModule("structlog._config") : nullptr;
    PyObject *output = config ? PyImport_ImportModule("structlog._output") : nullptr;
    if (!output) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            Py_XDECREF(native);
            Py_XDECREF(config);
            fail();
        }
        PyErr_Clear();
    }
    parts.nop = optional_attr(native, "_nop");
    parts.proxy_type = optional_attr(config, "BoundLoggerLazyProxy");
    parts.config = optional_attr(config, "_CONFIG");
    if (PyObject *levels = optional_attr(native, "LEVEL_TO_FILTERING_LOGGER")) {
        PyObject *classes = PyDict_CheckExact(levels) ? PyDict_Values(levels) : nullptr;
        parts.filtering = classes ? PyList_AsTuple(classes) : nullptr;
        if (!parts.filtering) PyErr_Clear();
        Py_XDECREF(classes);
        Py_DECREF(levels);
    }
    PyObject *print = optional_attr(output, "PrintLoggerFactory"),
             *write = optional_attr(output, "WriteLoggerFactory"),
             *bytes = optional_attr(output, "BytesLoggerFactory");
    if (print && write && bytes) parts.factories = PyTuple_Pack(3, print, write, bytes);
    if (!parts.factories) PyErr_Clear();
    Py_XDECREF(print);
    Py_XDECREF(write);
    Py_XDECREF(bytes);
    Py_XDECREF(native);
    Py_XDECREF(config);
    Py_XDECREF(output);
    if (!parts.nop || !PyFunction_Check(parts.nop)) parts.nop = nullptr;
    looked = true;
    return parts;
}

bool in_tuple(PyObject *tuple, PyObject *item) {
    if (!tuple) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
        if (PyTuple_GET_ITEM(tuple, i) == item) return true;
    return false;
}

/// An entry of an object's own dict, borrowed, or null; reads no attribute through Python code.
PyObject *own_entry(PyObject *dict, const char *name) {
    PyObject *v = dict_lookup(dict, interned(name));
    return v;
}

/// A setting of structlog's configuration object (an instance attribute once configured, else the
/// class default): a plain object whose attributes are read without Python code. New reference or
/// null.
nb::object setting(PyObject *config, const char *name) {
    PyObject *v = PyObject_GenericGetAttr(config, interned(name));
    if (!v) PyErr_Clear();
    return nb::steal(v);
}

}  // namespace

bool drops_every_event(nb::handle method) {
    PyObject *m = method.ptr();
    if (!PyMethod_Check(m)) return false;
    PyObject *nop = structlog_parts().nop;
    return nop && PyMethod_GET_FUNCTION(m) == nop;
}

bool proxy_drops_unseen(nb::handle logger, PyObject *level) {
    const Structlog &parts = structlog_parts();
    if (!parts.nop || !parts.config ||
        Py_TYPE(logger.ptr()) != reinterpret_cast<PyTypeObject *>(parts.proxy_type))
        return false;
    PyObject *own = PyObject_GenericGetDict(logger.ptr(), nullptr);
    if (!own) {
        PyErr_Clear();
        return false;
    }
    nb::object proxy_dict = nb::steal(own);
    // Which class would wrap the logger: the proxy's own, else the configured default.
    nb::object wrapper;
    if (PyObject *own_class = own_entry(proxy_dict.ptr(), "_wrapper_class");
        own_class && own_class != Py_None)
        wrapper = nb::borrow(own_class);
    else
        wrapper = setting(parts.config, "default_wrapper_class");
    if (!wrapper.is_valid() || !in_tuple(parts.filtering, wrapper.ptr())) return false;
    // A bound logger cached by the proxy is asked as usual; so is one whose making would run code
    // of the caller's (a logger factory or context class of its own).
    if (own_entry(proxy_dict.ptr(), "bind")) return false;
    PyObject *context_class = own_entry(proxy_dict.ptr(), "_context_class");
    if (context_class && context_class != Py_None) return false;
    nb::object default_context = setting(parts.config, "default_context_class");
    if (!default_context.is(reinterpret_cast<PyObject *>(&PyDict_Type))) return false;
    PyObject *given = own_entry(proxy_dict.ptr(), "_logger");
    if (!given || given == Py_None) {
        nb::object factory = setting(parts.config, "logger_factory");
        if (!factory.is_valid() ||
            !in_tuple(parts.factories, reinterpret_cast<PyObject *>(Py_TYPE(factory.ptr()))))
            return false;
    }
    PyObject *method =
        PyObject_GetAttr(wrapper.ptr(), level);  // a function of structlog's own class
    if (!method) {
        PyErr_Clear();
        return false;
    }
    bool nop = method == parts.nop;
    Py_DECREF(method);
    return nop;
}

bool formats_without_python(nb::handle value) {
    PyTypeObject *t = Py_TYPE(value.ptr());
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           value.is_none();
}

void print(nb::handle text) { nb::module_::import_("builtins").attr("print")(text); }

bool str_equals(nb::handle value, std::string_view text) {
    PyObject *o = value.ptr();
    if (!PyUnicode_CheckExact(o)) return false;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(o, &size);
    if (!data) {
        PyErr_Clear();  // lone surrogates: cannot equal the ASCII names compared here
        return false;
    }
    return std::string_view(data, (size_t) size) == text;
}

}  // namespace qv
