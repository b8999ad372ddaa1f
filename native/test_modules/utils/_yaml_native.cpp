// Private entry points of the native YAML engine, for differential tests and benchmarks.
#include "binding/support.hpp"
#include "engines/yaml_reader.hpp"
#include "engines/yaml_writer.hpp"
#include "kernels/float_text.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace nb = nanobind;

NB_MODULE(_yaml_native, m) {
    m.def(
        "dumps",
        [](nb::handle data) -> nb::object {
            nb::object text = qv::yaml::dumps(data);
            return text.is_valid() ? text : nb::none();
        },
        nb::arg("data").none(),
        "The package's YAML text of `data`, or None when the ruamel path must write it.");
    m.def(
        "float_repr",
        [](double x) {
            char text[qv::kernels::kFloatReprSize];
            return std::string(text, qv::kernels::float_repr(x, text));
        },
        nb::arg("x"), "repr(x) of a finite float, written by the storage kernel.");
    m.def(
        "round_places", [](double x, int places) { return qv::kernels::round_places(x, places); },
        nb::arg("x"), nb::arg("places"), "round(x, places) computed by the storage kernel.");
    m.def(
        "loads",
        [](nb::handle text) -> nb::object {
            if (!PyUnicode_CheckExact(text.ptr())) qv::raise_arg_type("text", "str", text);
            nb::object value = qv::yaml::read(text);
            if (!value.is_valid()) return nb::make_tuple(false, nb::none());
            return nb::make_tuple(true, value);
        },
        nb::arg("text").none(),
        "(True, value) as the safe loader reads `text`, or (False, None) when ruamel must read "
        "it.");
}
