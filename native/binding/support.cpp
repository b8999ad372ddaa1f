// Small helpers every module uses: raising, prefixed re-raise, logging, printing and fast field reads.
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
    throw nb::python_error();
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
    throw nb::python_error();
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
    throw nb::python_error();
}

nb::str to_str(nb::handle value) {
    PyObject *s = PyObject_Str(value.ptr());
    if (!s) throw nb::python_error();
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
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter && !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iterator = nb::steal(it);
    nb::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = PyIter_Next(it);
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        values[i] = nb::steal(next);
    }
    if (PyObject *extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw nb::python_error();
    first = std::move(values[0]);
    second = std::move(values[1]);
}

nb::object next_item(nb::handle iterator) {
    PyTypeObject *t = Py_TYPE(iterator.ptr());
    bool ends = t == &PyListIter_Type || t == &PyTupleIter_Type || t == &PyDictIterKey_Type ||
                t == &PyDictIterValue_Type || t == &PyDictIterItem_Type;
    if (!ends && PyErr_CheckSignals() < 0) throw nb::python_error();
    PyObject *item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(item);
}

namespace {

nb::object list_of_iterator(nb::handle iterator) {
    nb::list out;
    while (nb::object item = next_item(iterator)) out.append(item);
    return out;
}

}  // namespace

nb::object list_of(nb::handle iterable) {
    PyObject *v = iterable.ptr();
    PyObject *it = PyList_CheckExact(v) || PyTuple_CheckExact(v) ? PySequence_List(v) : PyObject_GetIter(v);
    if (!it) throw nb::python_error();
    nb::object result = nb::steal(it);
    return PyList_CheckExact(result.ptr()) ? result : list_of_iterator(result);
}

nb::object items_of(nb::handle mapping) {
    PyObject *m = mapping.ptr();
    PyObject *items = PyDict_CheckExact(m) ? PyDict_Items(m) : PyObject_CallMethod(m, "items", nullptr);
    if (!items) throw nb::python_error();
    nb::object view = nb::steal(items);
    if (PyList_CheckExact(items)) return view;
    PyObject *it = PyObject_GetIter(items);
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "%.200s.items() returned a non-iterable (type %.200s)",
              Py_TYPE(m)->tp_name, Py_TYPE(items)->tp_name);
    }
    return list_of_iterator(nb::steal(it));
}

PyObject *interned(const char *text) {
    // Keyed by the literal's address: call sites pass string literals, so a hot path pays one
    // hash lookup instead of building and interning a new string (and leaking its reference).
    static std::unordered_map<const char *, PyObject *> cache;
    auto it = cache.find(text);
    if (it != cache.end()) return it->second;
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    cache.emplace(text, s);
    return s;
}

nb::object field(nb::handle record, PyObject *name) {
    PyObject *dict = PyObject_GenericGetDict(record.ptr(), nullptr);
    if (dict) {
        PyObject *value = PyDict_GetItemWithError(dict, name);
        if (value) {
            nb::object result = nb::borrow(value);
            Py_DECREF(dict);
            return result;
        }
        Py_DECREF(dict);
        if (PyErr_Occurred()) throw nb::python_error();
    } else {
        PyErr_Clear();
    }
    PyObject *value = PyObject_GetAttr(record.ptr(), name);
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

bool in_instance_dict(nb::handle obj, PyObject *name) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();  // no instance dict: nothing there
        return false;
    }
    int found = PyDict_Contains(dict, name);
    Py_DECREF(dict);
    if (found < 0) throw nb::python_error();
    return found == 1;
}

nb::object logger_of(nb::handle module) { return module.attr("logger"); }

void log(nb::handle module, const char *level, nb::handle event) {
    logger_of(module).attr(level)(event);
}

void print(nb::handle text) {
    nb::module_::import_("builtins").attr("print")(text);
}

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
