// Sample kinds, performance metrics, the measured performance of one sample, and its views.
#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace {

using namespace qv;

/// Module-lifetime objects, deliberately never released.
struct State {
    PyObject *module;  ///< this module, for reading its view types when a resolver runs
};
State state{};

/// One `DatasetQualityPerformanceType(metric=key, value=value)` per entry, in insertion order.
nb::object performance_impl(Args a) {
    nb::handle parent = a[1];
    nb::object entry_type = nb::handle(state.module).attr("DatasetQualityPerformanceType");
    nb::object performance = field(parent, interned("performance"));
    // items() as a list: building an entry runs Python code, which must not see a live iterator.
    nb::object items = items_of(performance);
    nb::list result;
    for (nb::handle item : items) {
        // The items of a mapping that is not a plain dict can be of any shape.
        nb::object metric, value;
        unpack_pair(item, metric, value);
        result.append(entry_type(nb::arg("metric") = metric, nb::arg("value") = value));
    }
    return result;
}

}  // namespace

NB_MODULE(dataset_quality, m) {
    qv::init_native_types();
    m.doc() =
        "Performance metrics measured on one sample, the enumerations of sample kinds and "
        "metrics, and their GraphQL views.";
    // The names a Python version of this module would import.
    import_names(m, "typing", {"Dict", "List"});
    import_names(m, "enum", {"Enum"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});
    import_module(m, "strawberry");

    state.module = keep_forever(m);
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");

    nb::object sample_type = declare_str_enum(
        m, "SampleType",
        {{"TRAIN", "TRAIN"}, {"VALID", "VALID"}, {"TEST", "TEST"}, {"OOT", "OOT"}, {"CV", "CV"}},
        true,
        "Kind of a development sample: TRAIN, VALID, TEST, OOT (out of time) or CV "
        "(cross-validation). Also a GraphQL enumeration.");
    nb::object metrics = declare_str_enum(m, "PerformanceMetrics",
                                          {{"AUC", "AUC"},
                                           {"GINI", "GINI"},
                                           {"LIFT", "LIFT"},
                                           {"KS", "KS"},
                                           {"TAU", "TAR"},
                                           {"RHO", "RHO"},
                                           {"ACCURACY", "ACCURACY"}},
                                          true,
                                          "Performance metrics of a model. Values equal the "
                                          "names except TAU, whose value is \"TAR\". Also a "
                                          "GraphQL enumeration.");

    nb::object dataset_quality =
        RecordClass(m, "DatasetQuality", {record_base})
            .doc(
                "Object containing information about performance metrics on given sample "
                "(train/valid/test/...)")
            .field("sample", sample_type)
            .field("target", typ::builtin("str"))
            .field("performance", typ::Dict(metrics, typ::builtin("float")),
                   Field(nb::arg("default_factory") = typ::builtin("dict")))
            .build();

    nb::object entry = ViewClass(m, "DatasetQualityPerformanceType", nb::none())
                           .doc("GraphQL view of one metric and its value.")
                           .field("metric", metrics, "The metric.")
                           .field("value", typ::builtin("float"), "Its value on the sample.")
                           .build();

    ViewClass(m, "DatasetQualityType", dataset_quality)
        .doc("GraphQL view of the metrics of one sample and target.")
        .auto_field("sample", "Kind of the sample.")
        .auto_field("target", "The target the metrics were measured on.")
        .resolver({.name = "performance",
                   .returns = typ::List(entry),
                   .doc = "The sample's metrics as a list of metric and value, in the mapping's "
                          "order.",
                   .is_async = true},
                  performance_impl, dataset_quality)
        .build();
}
