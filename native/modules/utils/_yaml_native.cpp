// Private entry points of the native YAML engine, for differential tests and benchmarks.
#include "binding/yaml_writer.hpp"

#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(_yaml_native, m) {
    m.def(
        "dumps", [](nb::handle data) -> nb::object {
            nb::object text = qv::yaml::dumps(data);
            return text.is_valid() ? text : nb::none();
        },
        nb::arg("data").none(), "The package's YAML text of `data`, or None when the ruamel path must write it.");
}
