// What the files of the feature_preparation module share: the module-lifetime objects, the field
// names, small helpers, and the implementations the module set-up declares.
#pragma once

#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace qv::preparation {

/// Module-lifetime objects, deliberately leaked: their owners live as long as the interpreter.
struct State {
    PyObject *module = nullptr;
    PyObject *feature_bucketing_cls = nullptr;
    PyObject *feature_reshaping_cls = nullptr;
    PyObject *numerical = nullptr;    ///< AttributeDataType.NUMERICAL
    PyObject *categorical = nullptr;  ///< AttributeDataType.CATEGORICAL
    PyObject *bin_null = nullptr;     ///< PredictiveModelBinName.NULL
    PyObject *bin_system_default = nullptr;
    PyObject *bin_defined_default = nullptr;
    PyObject *own_get_feature_bucketing = nullptr;  ///< the function this module installs
    PyObject *own_bin_numeric = nullptr;    ///< FeatureBucketing's own bin_numeric_attribute
    PyObject *own_bin_categoric = nullptr;  ///< FeatureBucketing's own bin_categoric_attribute
};
inline State state;

/// Field names, interned once.
struct Names {
    PyObject *attribute, *transformations, *binning, *dummy_encoding, *transformed_attribute_name,
        *transformation, *binned_attribute_name, *attribute_data_type, *feature_bucketing,
        *encoding, *value, *encoded_feature_name, *use_for_undefined, *bin_numeric_attribute,
        *bin_categoric_attribute, *get_feature_bucketing, *append, *keys, *get;
    PyObject *bins, *dtype, *bin_vals, *bin_frequencies, *bin_target_rates, *null_val,
        *null_frequency, *null_target_rate, *default_;
    PyObject *type, *name, *frequency, *target_rate, *id, *categories, *lower_bound, *upper_bound;
};
inline Names names;

inline void init_names() {
    names = Names{interned("attribute"),
                  interned("transformations"),
                  interned("binning"),
                  interned("dummy_encoding"),
                  interned("transformed_attribute_name"),
                  interned("transformation"),
                  interned("binned_attribute_name"),
                  interned("attribute_data_type"),
                  interned("feature_bucketing"),
                  interned("encoding"),
                  interned("value"),
                  interned("encoded_feature_name"),
                  interned("use_for_undefined"),
                  interned("bin_numeric_attribute"),
                  interned("bin_categoric_attribute"),
                  interned("get_feature_bucketing"),
                  interned("append"),
                  interned("keys"),
                  interned("get"),
                  interned("bins"),
                  interned("dtype"),
                  interned("bin_vals"),
                  interned("bin_frequencies"),
                  interned("bin_target_rates"),
                  interned("null_val"),
                  interned("null_frequency"),
                  interned("null_target_rate"),
                  interned("default"),
                  interned("type"),
                  interned("name"),
                  interned("frequency"),
                  interned("target_rate"),
                  interned("id"),
                  interned("categories"),
                  interned("lower_bound"),
                  interned("upper_bound")};
}

inline nb::object new_list() { return check(PyList_New(0)); }

inline void append(nb::handle list, nb::handle item) {
    check(PyList_Append(list.ptr(), item.ptr()));
}

/// The registry's `get_feature_bucketing(attribute)`: done here unless a subclass, a patch of the
/// class or an attribute of the instance replaced the method, which is then called.
nb::object lookup_bucketing(nb::handle self, nb::handle attribute);

// Records (records.cpp): validation and construction of binnings from descriptions.
nb::object check_created_attribute_naming_impl(Args a);
nb::object add_feature_bucketing_impl(Args a);

/// The binning `add_feature_bucketing` makes of one plain description, built directly (what
/// validation would make of it); an empty object when the description or the record classes are
/// not plain enough to be sure of that (direct_records.cpp).
nb::object build_bucketing_directly(nb::handle attribute, nb::handle description);

// Registry lookups, listings and registration (registry.cpp).
nb::object get_transformation_formula_impl(Args a);
nb::object add_feature_reshaping_impl(Args a);
nb::object get_feature_bucketing_impl(Args a);
nb::object feature_bucketing_exists_impl(Args a);
nb::object get_all_transformation_attributes_impl(Args a);
nb::object get_attributes_created_in_transformations_impl(Args a);
nb::object get_all_binning_attributes_impl(Args a);
nb::object get_attributes_created_in_binning_impl(Args a);
nb::object get_all_dummy_enc_attributes_impl(Args a);

// Applying binnings and dummy encodings to values (application.cpp).
enum class Kind : unsigned char { Numerical, Categorical, Other };
/// Which bin method applies, from the bucketing's `attribute_data_type`.
Kind kind_of(nb::handle bucketing);
/// Raises `e` again with "Binning attribute <attribute>: " in front of its message.
[[noreturn]] void reraise_for(nb::python_error &e, nb::handle attribute);
/// The `encoding` list of the first dummy encoding of `attribute`; when there is none, logs that
/// and returns an invalid object.
nb::object find_encoding(nb::handle self, nb::handle attribute);
nb::object apply_feature_bucketing_impl(Args a);
nb::object apply_feature_bucketing_batch_impl(Args a);
nb::object apply_dummy_encoding_impl(Args a);

// The same for whole columns (column_application.cpp).
nb::object apply_feature_bucketing_array_impl(Args a);
nb::object apply_dummy_encoding_array_impl(Args a);

// Whole frames (frames.cpp).
nb::object transform_frame_impl(Args a);
nb::object output_schema_impl(Args a);

}  // namespace qv::preparation
