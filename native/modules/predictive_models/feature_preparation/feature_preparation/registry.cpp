// The registry's lookups and listings, and the registration of transformations.
#include "feature_preparation.hpp"

#include "engines/bucketing.hpp"

namespace qv::preparation {

// ---- registry: lookups and listings

nb::object get_transformation_formula_impl(Args a) {
    nb::handle self = a[0], attribute = a[1];
    nb::object found;
    for_each(field(self, names.transformations), [&](nb::handle entry) {
        if (!equals_by_eq(field(entry, names.transformed_attribute_name), attribute)) return false;
        found = nb::borrow(entry);
        return true;
    });
    if (!found.is_valid()) return nb::borrow(attribute);
    nb::str formula = to_str(field(found, names.transformation));
    return check(PyUnicode_FromFormat("(%U)", formula.ptr()));
}

/// `cls(**mapping)`, with the host's errors for an element that is not a mapping of names.
nb::object build_from_mapping(nb::handle cls, nb::handle mapping) {
    nb::object kwargs = check(PyDict_New());
    if (!PyDict_Check(mapping.ptr()) && !PyObject_HasAttrWithError(mapping.ptr(), names.keys)) {
        if (PyErr_Occurred()) fail();
        nb::object module = cls.attr("__module__"), qualname = cls.attr("__qualname__");
        raise(PyExc_TypeError, "%S.%S() argument after ** must be a mapping, not %s", module.ptr(),
              qualname.ptr(), Py_TYPE(mapping.ptr())->tp_name);
    }
    check(PyDict_Merge(kwargs.ptr(), mapping.ptr(), 1));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value))
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    nb::object args = check(PyTuple_New(0));
    return check(PyObject_Call(cls.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object add_feature_reshaping_impl(Args a) {
    nb::handle self = a[0], transformations = a[1];
    // All records are built before any is registered: a failing element leaves the registry as it
    // was.
    nb::object built = new_list();
    for_each(transformations, [&](nb::handle mapping) {
        append(built, build_from_mapping(state.feature_reshaping_cls, mapping));
        return false;
    });
    nb::object target = field(self, names.transformations);
    if (PyList_CheckExact(target.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(target.ptr());
        check(PyList_SetSlice(target.ptr(), n, n, built.ptr()));
    } else {
        for_each(built, [&](nb::handle record) {
            check(PyObject_CallMethodOneArg(target.ptr(), names.append, record.ptr()));
            return false;
        });
    }
    return nb::none();
}

nb::object find_bucketing(nb::handle self, nb::handle attribute) {
    if (nb::object known = bucketing::kept_entry(self, attribute, false); known.is_valid())
        return known;
    nb::object found = nb::none();
    for_each(field(self, names.binning), [&](nb::handle entry) {
        if (!equals_by_eq(field(entry, names.attribute), attribute)) return false;
        found = nb::borrow(entry);
        return true;
    });
    return found;
}

nb::object get_feature_bucketing_impl(Args a) {
    nb::handle self = a[0], attribute = a[1];
    return find_bucketing(self, attribute);
}

nb::object lookup_bucketing(nb::handle self, nb::handle attribute) {
    if (is_own_method(self, names.get_feature_bucketing, state.own_get_feature_bucketing))
        return find_bucketing(self, attribute);
    return check(
        PyObject_CallMethodOneArg(self.ptr(), names.get_feature_bucketing, attribute.ptr()));
}

nb::object feature_bucketing_exists_impl(Args a) {
    nb::handle self = a[0], attribute = a[1];
    return nb::bool_(!find_bucketing(self, attribute).is_none());
}

/// `[entry.<name> for entry in self.<list>]`.
nb::object list_field_of_entries(nb::handle self, PyObject *list, PyObject *name) {
    nb::object result = new_list();
    for_each(field(self, list), [&](nb::handle entry) {
        append(result, field(entry, name));
        return false;
    });
    return result;
}

/// Names created by entries of `self.<list>`: `created` when it is set and differs from `source`.
nb::object created_names(nb::handle self, PyObject *list, PyObject *created) {
    nb::object result = new_list();
    for_each(field(self, list), [&](nb::handle entry) {
        Fields fields(entry);
        nb::object name = fields[created];
        if (!name.is_none() && !equals_by_eq(name, fields[names.attribute])) append(result, name);
        return false;
    });
    return result;
}

nb::object get_all_transformation_attributes_impl(Args a) {
    nb::handle self = a[0];
    return list_field_of_entries(self, names.transformations, names.attribute);
}
nb::object get_attributes_created_in_transformations_impl(Args a) {
    nb::handle self = a[0];
    return created_names(self, names.transformations, names.transformed_attribute_name);
}
nb::object get_all_binning_attributes_impl(Args a) {
    nb::handle self = a[0];
    return list_field_of_entries(self, names.binning, names.attribute);
}
nb::object get_attributes_created_in_binning_impl(Args a) {
    nb::handle self = a[0];
    return created_names(self, names.binning, names.binned_attribute_name);
}
nb::object get_all_dummy_enc_attributes_impl(Args a) {
    nb::handle self = a[0];
    nb::object result = new_list();
    for_each(field(self, names.dummy_encoding), [&](nb::handle entry) {
        for_each(field(entry, names.encoding), [&](nb::handle item) {
            append(result, field(item, names.encoded_feature_name));
            return false;
        });
        return false;
    });
    return result;
}

}  // namespace qv::preparation
