// The package's YAML writer: the stored text of plain values, byte for byte what the ruamel path
// writes.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace qv::yaml {

namespace nb = nanobind;

/// The value the store writes for a node of another type than exact
/// dict/list/tuple/str/int/float/bool/None, as the dump module's representer computes it at every
/// node (its empty-entry filter, then its value normalisation): a new reference. Also called for an
/// exact dict whose entries cannot be tested for emptiness without running Python code; the result
/// must then be the filtered copy. May run Python code and throw nb::python_error.
using Prepare = nb::object (*)(nb::handle value);

/// Writes `data` (one document, or an exact list of documents) as the ruamel path of the package
/// would: empty mapping entries dropped, floats rounded to 12 digits, block style, width 120.
/// Returns false, with `out` in an unspecified state, when identical text cannot be guaranteed
/// (a value of another type, a key other than text or a text-like enumeration member, a shared or
/// recursive container, an integer outside 64 bits, a lone surrogate or a rarely used line break,
/// very deep nesting); the caller then writes through ruamel.
///
/// Without `prepare`, any value of another type is refused and no Python code runs. With it, such
/// values are written as what `prepare` makes of them, exactly as the representer would write them:
/// a mapping made that way is written with all its entries (it was not filtered at its own level),
/// a float made that way is written as it is (not rounded again). Errors of `prepare` propagate;
/// `out` then begins with the text of the documents completed before the failing one, whose length
/// is left in `*complete` when given (what ruamel has emitted when its representer fails there).
bool write(PyObject *data, std::string &out, Prepare prepare = nullptr, size_t *complete = nullptr);

/// `write` (plain values only) as Python text, or an empty object when not handled.
nb::object dumps(nb::handle data);

}  // namespace qv::yaml
