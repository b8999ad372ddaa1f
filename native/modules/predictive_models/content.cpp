// The stored form of a scorer: its YAML text, the external model as JSON or PMML text, the images.
#include "binding/declare.hpp"
#include "binding/support.hpp"

NB_MODULE(content, m) {
    using namespace qv;
    qv::init_native_types();
    m.doc() =
        "The stored content of a scorer, as `AugmentedScorer.get_content` makes it and "
        "`AugmentedScorer.parse_from_content` reads it.";
    nb::object record_base =
        nb::module_::import_("quorvex_analytics_utils.utils.record_base").attr("RecordBase");
    nb::module_ io = nb::module_::import_("io");
    nb::object text_stream = typ::Optional(io.attr("TextIOBase"));

    RecordClass(m, "AugmentedScorerContent", {record_base})
        .doc(
            "Stored content of an augmented scorer: the record as YAML text, the external model as "
            "JSON or PMML text (in-memory text streams) and the attached images as binary streams "
            "by file name.")
        .field("augmented_scorer_yaml", io.attr("TextIOBase"))
        .field("external_model_json", text_stream, nb::none())
        .field("external_model_pmml", text_stream, nb::none())
        .field("attached_images", typ::Dict(typ::builtin("str"), io.attr("BufferedIOBase")),
               Field(nb::arg("default_factory") = typ::builtin("dict")))
        .build();
}
