// A model's measured performance per sample, the reading of metric names, and the record's view.
#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace {

using namespace qv;

constexpr const char *kQualityModule =
    "quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality";

/// Module-lifetime objects, deliberately never released.
struct State {
    PyObject *performance_metrics;  ///< `PerformanceMetrics`, bound when the module is imported
};
State state{};

nb::handle performance_metrics_enum() { return state.performance_metrics; }

/// Upper-cased metric name, with a lift written with its depth ("LIFT(10)") read as plain LIFT.
nb::object validate_performance_metric_str_impl(Args a) {
    nb::handle metric = a[1];
    nb::object upper = check(PyObject_CallMethod(metric.ptr(), "upper", nullptr));
    Py_ssize_t n = PyUnicode_GET_LENGTH(upper.ptr());
    nb::object lift_prefix = nb::str("LIFT(");
    if (PyUnicode_Tailmatch(upper.ptr(), lift_prefix.ptr(), 0, n, -1) == 1) upper = nb::str("LIFT");
    return performance_metrics_enum()(upper);
}

/// True for a dict or any other mapping: the inputs whose entries the rule reads.
bool is_mapping(nb::handle data) {
    if (PyDict_Check(data.ptr())) return true;
    return nb::isinstance(data, nb::module_::import_("collections.abc").attr("Mapping"));
}

/// Replaces the metric list of the raw input by members; the input is changed only once every
/// item was converted, so a failure leaves the caller's mapping as it was. Any other input (None,
/// a record, a list) is handed on unchanged for validation to accept or report.
nb::object validate_performance_metrics_impl(Args a) {
    nb::handle cls = a[0], data = a[1];
    if (!is_mapping(data)) return nb::borrow(data);
    PyObject *key = interned("performance_metrics");
    int present = check(PySequence_Contains(data.ptr(), key));
    if (!present) return nb::borrow(data);

    nb::object given = check(PyObject_GetItem(data.ptr(), key));
    nb::handle members = performance_metrics_enum();
    nb::list converted;
    for_each(given, [&](nb::handle item) {
        bool is_member = check(PyObject_IsInstance(item.ptr(), members.ptr()));
        converted.append(is_member ? nb::borrow(item)
                                   : cls.attr("validate_performance_metric_str")(item));
    });
    check(PyObject_SetItem(data.ptr(), key, converted.ptr()));
    return nb::borrow(data);
}

}  // namespace

NB_MODULE(scorer_quality, m) {
    qv::init_native_types();
    m.doc() =
        "The model's quality record: metrics per sample and the list of computed metrics, "
        "and its GraphQL view.";
    // The names a Python version of this module would import.
    import_names(m, "typing", {"Any", "List"});
    import_names(m, "pydantic", {"model_validator"});
    import_module(m, "strawberry");
    import_names(m, "quorvex_analytics_utils.predictive_models.scorer_quality.dataset_quality",
                 {"DatasetQuality", "PerformanceMetrics", "DatasetQualityType"});
    import_names(m, "quorvex_analytics_utils.utils.record_base", {"RecordBase"});

    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_ quality = nb::module_::import_(kQualityModule);
    nb::object dataset_quality = quality.attr("DatasetQuality");
    nb::object metrics = quality.attr("PerformanceMetrics");
    state.performance_metrics = keep_forever(metrics);
    nb::object list_factory = Field(nb::arg("default_factory") = typ::builtin("list"));

    nb::object record =
        RecordClass(m, "PredictiveScorerQuality", {record_base})
            .doc("Object to store information about models performance on development sample.")
            .field("dataset_quality", typ::List(dataset_quality), list_factory)
            .field("performance_metrics", typ::List(metrics),
                   Field(nb::arg("default_factory") = typ::builtin("list")))
            .classmethod({.name = "validate_performance_metric_str",
                          .params = {{.name = "metric",
                                      .rule = Rule::Str,
                                      .annotation = typ::builtin("str")}},
                          .returns = metrics,
                          .doc = "The `PerformanceMetrics` member named by a text, "
                                 "case-insensitively; \"lift(10)\" and other \"LIFT(...)\" texts "
                                 "give LIFT.\n\n`metric` must be exactly str (else TypeError); "
                                 "an unknown metric raises ValueError."},
                         validate_performance_metric_str_impl)
            .before_validator({.name = "validate_performance_metrics",
                               .params = {{.name = "data", .annotation = typ::Any()}},
                               .returns = typ::Any(),
                               .doc = "Before validation: turns every text of the input's "
                                      "\"performance_metrics\" into its `PerformanceMetrics` "
                                      "member.\n\nMembers pass unchanged; an unknown text fails "
                                      "validation, an item that is neither member nor str raises "
                                      "TypeError."},
                              validate_performance_metrics_impl)
            .build();

    ViewClass(m, "PredictiveScorerQualityType", record)
        .doc("GraphQL view of the quality record: metrics per sample and the metric list.")
        .field("dataset_quality", typ::List(quality.attr("DatasetQualityType")),
               "Metrics per sample and target.")
        .auto_field("performance_metrics", "The metrics computed for the model.")
        .build();
}
