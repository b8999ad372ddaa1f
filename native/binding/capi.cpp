// The C-API toolkit's iteration that a header cannot hold: interruptible steps and whole lists.
#include "capi.hpp"

#include "support.hpp"

namespace qv {

nb::object next_item(nb::handle iterator) {
    PyTypeObject *t = Py_TYPE(iterator.ptr());
    bool ends = t == &PyListIter_Type || t == &PyTupleIter_Type || t == &PyDictIterKey_Type ||
                t == &PyDictIterValue_Type || t == &PyDictIterItem_Type;
    if (!ends && PyErr_CheckSignals() < 0) fail();
    PyObject *item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) fail();
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
    nb::object result = check(PyList_CheckExact(v) || PyTuple_CheckExact(v) ? PySequence_List(v)
                                                                            : PyObject_GetIter(v));
    return PyList_CheckExact(result.ptr()) ? result : list_of_iterator(result);
}

nb::object items_of(nb::handle mapping) {
    PyObject *m = mapping.ptr();
    nb::object view =
        check(PyDict_CheckExact(m) ? PyDict_Items(m) : PyObject_CallMethod(m, "items", nullptr));
    PyObject *items = view.ptr();
    if (PyList_CheckExact(items)) return view;
    PyObject *it = PyObject_GetIter(items);
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) fail();
        PyErr_Clear();
        raise(PyExc_TypeError, "%.200s.items() returned a non-iterable (type %.200s)",
              Py_TYPE(m)->tp_name, Py_TYPE(items)->tp_name);
    }
    return list_of_iterator(nb::steal(it));
}

}  // namespace qv
