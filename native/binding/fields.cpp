// The instance-dict test behind the own-method check, and recognising the package's functions.
#include "fields.hpp"

#include "support.hpp"

#include <cstring>
#include <string>

namespace qv {

bool in_instance_dict(nb::handle obj, PyObject *name) {
    if (PyObject **slot = instance_dict_slot(obj.ptr())) {
        // Held while the look-up may compare a foreign key.
        nb::object dict = nb::borrow(*slot);
        return dict.is_valid() && check(PyDict_Contains(dict.ptr(), name)) == 1;
    }
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();  // no instance dict: nothing there
        return false;
    }
    int found = PyDict_Contains(dict, name);
    Py_DECREF(dict);
    return check(found) == 1;
}

nb::object own_function(nb::handle cls, const char *name, const char *module,
                        const char *class_name) {
    PyObject *namespace_ = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    PyObject *fn = namespace_ ? PyDict_GetItemString(namespace_, name) : nullptr;
    if (!fn ||
        std::strcmp(Py_TYPE(fn)->tp_name, "quorvex_analytics_utils.cython_function_or_method") != 0)
        return nb::none();
    nb::object held = nb::borrow(fn);
    std::string qualname = std::string(class_name) + "." + name;
    if (!str_equals(field(held, interned("__module__")), module) ||
        !str_equals(field(held, interned("__qualname__")), qualname))
        return nb::none();
    return held;
}

}  // namespace qv
