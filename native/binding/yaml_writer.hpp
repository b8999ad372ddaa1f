// The package's YAML writer: the stored text of plain values, byte for byte what the ruamel path writes.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace qv::yaml {

namespace nb = nanobind;

/// Writes `data` (one document, or an exact list of documents) as the ruamel path of the package
/// would: empty mapping entries dropped, floats rounded to 12 digits, block style, width 120.
/// Returns false, with `out` in an unspecified state, when identical text cannot be guaranteed
/// (a value of another type, a non-text key, a shared or recursive container, an integer outside
/// 64 bits, a lone surrogate or a rarely used line break, very deep nesting); the caller then
/// writes through ruamel. Runs no Python code and raises nothing.
bool write(PyObject *data, std::string &out);

/// `write` as Python text, or an empty object when not handled.
nb::object dumps(nb::handle data);

}  // namespace qv::yaml
