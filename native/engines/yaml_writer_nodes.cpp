// The YAML writer's node preparation: the caller's normalisation of each value, the entries
// written (filtered, keys checked and sorted) and the containers seen in a document.
#include "engines/yaml_writer_parts.hpp"

#include "binding/capi.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace qv::yaml {

/// The node written for a value of the document, in the order the representer meets it: an
/// exact dict loses its empty entries here; values of other types are written as `prepare`
/// makes them.
Node Writer::take(PyObject *v) {
    Node node;
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyDict_Type) {
        enter(v);
        if (!filtered_entries(v, node.entries)) return prepared(v);
        node.value = nb::borrow(v);
        node.shape = sorted(node.entries) ? Shape::Map : Shape::EmptyMap;
        return node;
    }
    if (type == &PyList_Type || type == &PyTuple_Type) return sequence_node(v, nb::borrow(v));
    if (type == &PyFloat_Type) {
        node.round = true;
    } else if (type != &PyUnicode_Type && type != &PyLong_Type && type != &PyBool_Type &&
               v != Py_None) {
        return prepared(v);
    }
    node.value = nb::borrow(v);
    return node;
}

/// The node of what `prepare` makes of `v`. A mapping made there is written whole, a float as
/// it is.
Node Writer::prepared(PyObject *v) {
    if (!prepare_) throw NotHandled{};
    Node node;
    node.value = prepare_(v);
    PyObject *r = node.value.ptr();
    PyTypeObject *type = Py_TYPE(r);
    if (type == &PyDict_Type) {
        enter(r);
        keep_.push_back(node.value);
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(r, &pos, &key, &value)) {
            check_key(key);
            node.entries.push_back({nb::borrow(key), nb::borrow(value)});
        }
        node.shape = sorted(node.entries) ? Shape::Map : Shape::EmptyMap;
    } else if (type == &PyList_Type || type == &PyTuple_Type) {
        keep_.push_back(node.value);
        return sequence_node(r, std::move(node.value));
    } else if (type != &PyUnicode_Type && type != &PyLong_Type && type != &PyFloat_Type &&
               type != &PyBool_Type && r != Py_None) {
        throw NotHandled{};
    }
    return node;
}

/// An exact list or tuple, written as a block sequence. The representer shares the node of a
/// list or non-empty tuple met twice (an anchor and an alias); the empty tuple is never shared.
Node Writer::sequence_node(PyObject *v, nb::object value) {
    Node node;
    Py_ssize_t size = PySequence_Fast_GET_SIZE(v);
    if (size != 0 || Py_IS_TYPE(v, &PyList_Type)) enter(v);
    node.value = std::move(value);
    node.shape = size == 0 ? Shape::EmptyList : Shape::List;
    return node;
}

/// The entries of an exact dict that survive the empty-entry filter, or false when a value can
/// only be tested by running Python code (its own comparison): the dict then goes to `prepare`.
bool Writer::filtered_entries(PyObject *dict, std::vector<Entry> &entries) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        switch (emptiness(value)) {
            case Emptiness::Dropped: continue;
            case Emptiness::Kept: break;
            case Emptiness::Unknown:
                if (!prepare_) throw NotHandled{};
                entries.clear();
                return false;
        }
        check_key(key);
        entries.push_back({nb::borrow(key), nb::borrow(value)});
    }
    return true;
}

/// Keys written natively: exact str; and, when values are prepared, str subclasses that compare
/// as str does (enumeration members with a str mixin, written as what `prepare` makes of them)
/// and exact ints (hyperparameters such as class weights), both of which the representer's sort
/// compares without code of their own.
void Writer::check_key(PyObject *key) const {
    if (Py_IS_TYPE(key, &PyUnicode_Type)) return;
    if (!prepare_) throw NotHandled{};
    if (Py_IS_TYPE(key, &PyLong_Type)) return;
    if (!PyUnicode_Check(key) || Py_TYPE(key)->tp_richcompare != PyUnicode_Type.tp_richcompare)
        throw NotHandled{};
}

/// Puts the entries in the representer's order; true when there are any. It sorts the (key,
/// value) pairs: text keys by their text (code point order), int keys by value; a text key
/// beside an int key makes the sort fail, and the entries then keep their order. Two keys of
/// equal text (a str subclass beside a str) would make it compare the values, or give up: such
/// a mapping is not written here. No Python code runs.
bool Writer::sorted(std::vector<Entry> &entries) {
    if (entries.empty()) return false;
    size_t ints = 0;
    for (const Entry &e : entries) ints += Py_IS_TYPE(e.key.ptr(), &PyLong_Type);
    if (ints == entries.size()) {
        int failed = 0;
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
            int r = PyObject_RichCompareBool(a.key.ptr(), b.key.ptr(),
                                             Py_LT);  // exact ints: no code
            if (r < 0) failed = 1;
            return r > 0;
        });
        if (failed) fail();
        return true;
    }
    if (ints == 0) {
        sort_texts(entries);
        return true;
    }
    // Mixed: the sort fails on the first text against an int, and the entries keep their order;
    // before it fails it may compare two keys of equal text, and then their values.
    std::vector<Entry> texts;
    for (const Entry &e : entries)
        if (!Py_IS_TYPE(e.key.ptr(), &PyLong_Type)) texts.push_back(e);
    sort_texts(texts);
    return true;
}

void Writer::sort_texts(std::vector<Entry> &entries) {
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return PyUnicode_Compare(a.key.ptr(), b.key.ptr()) < 0;
    });
    for (size_t i = 1; i < entries.size(); ++i) {
        PyObject *a = entries[i - 1].key.ptr(), *b = entries[i].key.ptr();
        if ((!Py_IS_TYPE(a, &PyUnicode_Type) || !Py_IS_TYPE(b, &PyUnicode_Type)) &&
            PyUnicode_Compare(a, b) == 0)
            throw NotHandled{};
    }
}

/// Entry values left out of mappings: None, and values equal to [] or {}. Values of other types
/// could answer the comparison with code of their own, so they are not compared here.
Emptiness Writer::emptiness(PyObject *v) {
    if (v == Py_None) return Emptiness::Dropped;
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyList_Type) return PyList_GET_SIZE(v) == 0 ? Emptiness::Dropped : Emptiness::Kept;
    if (type == &PyDict_Type) return PyDict_GET_SIZE(v) == 0 ? Emptiness::Dropped : Emptiness::Kept;
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyBool_Type || type == &PyTuple_Type)
        return Emptiness::Kept;  // a tuple is never equal to [] or {}
    return Emptiness::Unknown;
}

/// Marks a container as written in this document; a second sight means sharing or recursion.
void Writer::enter(PyObject *container) {
    if (!seen_.insert(container).second) throw NotHandled{};
}

}  // namespace qv::yaml
