// The common base of every record, and the detector that keeps compiled methods out of the fields.
#include "binding/declare.hpp"
#include "binding/support.hpp"

namespace {

using namespace qv;

/// isinstance(value, CyFunctionDetector): true when the value's class is named like our functions.
nb::object instancecheck_impl(Args args) {
    nb::object cls = args[1].attr("__class__");
    nb::object name = cls.attr("__name__");
    return nb::bool_(name.equal(nb::str("cython_function_or_method")));
}

}  // namespace

NB_MODULE(record_base, m) {
    qv::init_native_types();
    m.doc() =
        "The base of every record: a pydantic model that forbids unknown keys, accepts "
        "fields by name or alias and arbitrary field types, and treats the package's "
        "compiled functions in a class body as methods.";
    nb::object type = typ::builtin("type");

    nb::dict meta_ns;
    meta_ns["__module__"] = m.attr("__name__");
    meta_ns["__qualname__"] = "_CyFunctionDetectorMeta";
    meta_ns["__instancecheck__"] = make_function(
        m, "_CyFunctionDetectorMeta",
        {.name = "__instancecheck__",
         .params = {{.name = "self"}, {.name = "instance", .annotation = typ::builtin("object")}},
         .returns = typ::builtin("bool")},
        instancecheck_impl);
    nb::object meta = publish(m, "_CyFunctionDetectorMeta",
                              type("_CyFunctionDetectorMeta", nb::make_tuple(type), meta_ns));

    nb::dict detector_ns;
    detector_ns["__module__"] = m.attr("__name__");
    detector_ns["__qualname__"] = "CyFunctionDetector";
    nb::object detector =
        publish(m, "CyFunctionDetector", meta("CyFunctionDetector", nb::tuple(), detector_ns));

    nb::dict config;
    config["arbitrary_types_allowed"] = true;
    config["extra"] = "forbid";
    config["populate_by_name"] = true;
    config["ignored_types"] = nb::make_tuple(detector);
    // pydantic's JSON text writes infinities and NaN as null by default, which reads back as None
    // (an open bin bound then fails at scoring time); as constants they read back as they were.
    config["ser_json_inf_nan"] = "constants";
    RecordClass(m, "RecordBase", {nb::module_::import_("pydantic").attr("BaseModel")})
        .attr("model_config", config)
        .build();
}
