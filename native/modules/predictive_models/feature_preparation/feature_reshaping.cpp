// The transformation record of an attribute and its GraphQL view.
#include "binding/declare.hpp"
#include "binding/support.hpp"

NB_MODULE(feature_reshaping, m) {
    using namespace qv;
    qv::init_native_types();
    m.doc() = "The transformation record of the preparation registry and its GraphQL view.";
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::object str = typ::builtin("str");

    nb::object reshaping =
        RecordClass(m, "FeatureReshaping", {record_base})
            .doc(
                "Transformation of one attribute: the formula that computes an attribute, and the "
                "name under which its result is kept.")
            .field("attribute", str)
            .field("transformed_attribute_name", typ::Optional(str), nb::none())
            .field("transformation", str)
            .build();

    ViewClass(m, "FeatureReshapingType", reshaping)
        .doc("GraphQL view of a transformation: attribute, new name and formula.")
        .auto_field("attribute", "The source attribute.")
        .auto_field("transformed_attribute_name",
                    "The name under which the result is kept; null when it replaces the "
                    "attribute.")
        .auto_field("transformation", "The formula, for example log(income).")
        .build();
}
