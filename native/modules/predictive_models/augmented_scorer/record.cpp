// The record itself: its abstract contract, consistency check, coefficients, migration and the
// content round trip.
#include "augmented_scorer.hpp"

#include "binding/dropped_fields.hpp"

namespace qv::scorer {

// ---- abstract contract

nb::object abstract_impl(Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    fail();
}

// ---- consistency check and coefficients

/// `set(iterable)`, interruptible as a `for` loop over anything but a list, tuple or set.
nb::object as_set(nb::handle iterable) {
    PyObject *v = iterable.ptr();
    bool at_once = PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyAnySet_CheckExact(v);
    nb::object set = check(PySet_New(at_once ? v : nullptr));
    if (!at_once)
        for_each(iterable, [&](nb::handle item) { check(PySet_Add(set.ptr(), item.ptr())); });
    return set;
}

nb::object set_minus(nb::handle a, nb::handle b) {
    return check(PyNumber_Subtract(a.ptr(), b.ptr()));
}

nb::object preprocess_attributes_impl(Args a) {
    nb::handle self = a[0];
    nb::object preparation = field(self, key("feature_preparation"));
    nb::object attributes = field(self, key("attributes"));

    nb::object model_attributes = as_set(attributes);
    nb::object unknown =
        set_minus(as_set(call_method(preparation, key("get_all_transformation_attributes"))),
                  model_attributes);
    if (PySet_GET_SIZE(unknown.ptr()) != 0)
        raise(PyExc_ValueError,
              "Transformation defined for unknown attributes: %S. Model attributes are %S.",
              unknown.ptr(), model_attributes.ptr());

    // Bucketing may start from an own attribute or from one that a transformation creates.
    nb::object known_after = list_of(attributes);
    nb::object created = call_method(preparation, key("get_attributes_created_in_transformations"));
    nb::object extended = check(PySequence_InPlaceConcat(known_after.ptr(), created.ptr()));
    unknown = set_minus(as_set(call_method(preparation, key("get_all_binning_attributes"))),
                        as_set(extended));
    if (PySet_GET_SIZE(unknown.ptr()) != 0)
        raise(PyExc_ValueError,
              "Binning defined for unknown attributes: %S. Model attributes are %S.", unknown.ptr(),
              model_attributes.ptr());
    // Dummy encodings are not checked: what they should be compared with is not settled, and no
    // record may be rejected because of them.
    return nb::borrow(self);
}

/// Position of the first element of `names` equal to `name`; -1 when there is none.
Py_ssize_t first_index(nb::handle names, nb::handle name) {
    if (!PyList_CheckExact(names.ptr())) {
        PyObject *r = PyObject_CallMethodOneArg(names.ptr(), key("index"), name.ptr());
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) fail();
            PyErr_Clear();
            return -1;
        }
        Py_ssize_t i = PyLong_AsSsize_t(r);
        Py_DECREF(r);
        if (i == -1 && PyErr_Occurred()) fail();
        return i;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(names.ptr(), i));  // held across __eq__
        if (PyUnicode_CheckExact(item.ptr()) && PyUnicode_CheckExact(name.ptr())) {
            if (PyUnicode_Compare(item.ptr(), name.ptr()) == 0) return i;
            continue;
        }
        if (identical_or_equal(item, name.ptr())) return i;
    }
    return -1;
}

/// The names that coefficients are ordered by: the external model's, else the record's own.
nb::object coefficient_names(nb::handle self) {
    nb::object names = call_method(self, key("get_external_model_feature_names"));
    if (!truth(names)) names = field(self, key("attributes"));
    return names;
}

nb::object coefficient_of(nb::handle self, nb::handle attribute) {
    try {
        nb::object names = coefficient_names(self);
        Py_ssize_t index = first_index(names, attribute);
        if (index < 0) return nb::none();
        nb::object coefficients = call_method(self, key("get_external_model_coefficients"));
        if (coefficients.is_none()) return nb::none();
        nb::object position = nb::steal(PyLong_FromSsize_t(index));
        return as_float(get_item(coefficients, position), "Coefficient");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_KeyError)) return nb::none();
        throw;
    }
}

nb::object get_coefficient_impl(Args a) {
    nb::handle self = a[0], attribute = a[1];
    return coefficient_of(self, attribute);
}

// ---- migration

nb::object migrate_impl(Args a) {
    nb::handle self = a[0];
    if (identical_or_equal(predictive_model_type(self), state.type_expert_score) &&
        !truth(call_method(self, key("get_external_model_feature_names")))) {
        // The record's own list object, so that the two stay one list.
        set_item(external_model(self), nb::handle(key("feature_names")),
                 field(self, key("attributes")));
    }
    nb::object description = field(self, key("description"));
    if (field(description, key("predictive_model_name")).is_none())
        set_attr(description, key("predictive_model_name"), field(self, key("directory_name")));
    return nb::none();
}

// ---- content round trip

nb::object get_content_impl(Args a) {
    nb::handle self = a[0];
    nb::module_ io = nb::module_::import_("io");
    nb::object yaml_text = nb::module_::import_(kDump).attr("valid_dumps_yaml")(self);
    nb::object yaml_stream = io.attr("StringIO")(yaml_text);

    nb::dict images;
    nb::object attached = field(field(self, key("description")), key("attached_images"));
    if (!attached.is_none()) {
        nb::object bytes_io = io.attr("BytesIO");
        for_each(attached, [&](nb::handle image) {
            nb::object content = field(image, key("image"));
            if (!content.is_none())
                set_item(images, field(image, key("filename")), bytes_io(content));
        });
    }

    nb::object stream = call_method(self, key("get_external_model_stringio"));
    bool pmml = identical_or_equal(predictive_model_type(self), state.type_pmml);
    return nb::handle(state.content_class)(
        nb::arg("augmented_scorer_yaml") = yaml_stream,
        nb::arg("external_model_json") = pmml ? nb::none() : stream,
        nb::arg("external_model_pmml") = pmml ? stream : nb::none(),
        nb::arg("attached_images") = images);
}

nb::object parse_from_content_impl(Args a) {
    nb::handle cls = a[0], content = a[1];
    nb::object yaml_stream = content.attr("augmented_scorer_yaml");
    yaml_stream.attr("seek")(0);
    nb::object data =
        nb::module_::import_(kDump).attr("safe_loads_yaml")(yaml_stream.attr("read")());

    nb::object json_stream = content.attr("external_model_json");
    if (truth(json_stream)) {
        json_stream.attr("seek")(0);
        set_item(data, nb::handle(key("external_model")),
                 nb::module_::import_("json").attr("load")(json_stream));
    } else {
        nb::object pmml_stream = content.attr("external_model_pmml");
        if (truth(pmml_stream)) {
            pmml_stream.attr("seek")(0);
            nb::dict model;
            model[nb::handle(key("type"))] = nb::handle(state.type_pmml);
            model[nb::handle(key("pmml_model"))] = pmml_stream.attr("read")();
            set_item(data, nb::handle(key("external_model")), model);
        }
    }

    restore_dropped_fields(cls, data);
    nb::object result = cls.attr("model_validate")(data);

    nb::object attached = field(field(result, key("description")), key("attached_images"));
    if (!attached.is_none()) {
        nb::object streams = content.attr("attached_images");
        for_each(attached, [&](nb::handle image) {
            nb::object stream = follow(streams, {field(image, key("filename")).ptr()});
            // An image stored without bytes has no stream: it keeps no bytes.
            if (stream.is_valid()) set_attr(image, key("image"), stream.attr("getvalue")());
        });
    }
    call_method(result, key("_migrate"));
    return result;
}

}  // namespace qv::scorer
