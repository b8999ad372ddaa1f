// Descriptions of the data samples a model was developed on, and their views.
#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace {

using namespace qv;

/// The class label as text: a string unchanged, anything else through str().
nb::object label_class_impl(Args a) {
    nb::handle parent = a[1];
    nb::object label = field(parent, interned("label_class"));
    if (PyUnicode_Check(label.ptr())) return label;
    return to_str(label);
}

}  // namespace

NB_MODULE(dataset_profile, m) {
    qv::init_native_types();
    m.doc() =
        "Descriptions of the development samples (kind, dates, size, observations per "
        "target class) and their GraphQL views.";
    // The names a Python version of this module would import.
    import_names(m, "datetime", {"date"});
    import_names(m, "typing", {"Optional", "Any", "List"});
    import_module(m, "strawberry");
    import_names(m, "quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality",
                 {"SampleType"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});

    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::object sample_type =
        nb::module_::import_(
            "quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality")
            .attr("SampleType");
    nb::object date = nb::module_::import_("datetime").attr("date");
    nb::object integer = typ::builtin("int");

    nb::object class_frequency =
        RecordClass(m, "ClassFrequency", {record_base})
            .field("label_class", typ::Any())
            .field("number_of_observations", typ::Optional(integer), nb::none())
            .build();

    nb::object sample_description =
        RecordClass(m, "SampleDescription", {record_base})
            .doc(
                "Object for storing descriptive information about samples used in models "
                "development (train/valid/test/...)")
            .field("sample_type", typ::Optional(sample_type), nb::none())
            .field("first_date", typ::Optional(date), nb::none())
            .field("last_date", typ::Optional(date), nb::none())
            .field("number_of_observations", typ::Optional(integer), nb::none())
            .field("label_class_frequency", typ::Optional(typ::List(class_frequency)), nb::none())
            .build();

    nb::object class_frequency_type =
        ViewClass(m, "ClassFrequencyType", class_frequency)
            .doc("GraphQL view of the observations of one target class.")
            .auto_field("number_of_observations", "Observations of the class in the sample.")
            .resolver({.name = "label_class",
                       .returns = typ::builtin("str"),
                       .doc = "The class label as text (a label that is no str is shown through "
                              "str())."},
                      label_class_impl, class_frequency)
            .build();

    ViewClass(m, "SampleDescriptionType", sample_description)
        .doc("GraphQL view of a development sample.")
        .auto_field("sample_type", "Kind of the sample.")
        .auto_field("first_date", "First date of the sample's observations.")
        .auto_field("last_date", "Last date of the sample's observations.")
        .auto_field("number_of_observations", "Observations in the sample.")
        .field("label_class_frequency", typ::Optional(typ::List(class_frequency_type)),
               "Observations per target class.")
        .build();
}
