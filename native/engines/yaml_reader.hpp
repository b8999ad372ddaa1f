// The package's YAML reader: the stored text's strict subset read natively, everything else deferred.
#pragma once

#include <nanobind/nanobind.h>

namespace qv::yaml {

namespace nb = nanobind;

/// Reads `text` (exactly a str) as `YAML(typ="safe").load` would, for one document of block
/// mappings and sequences with plain, single- and double-quoted scalars. Returns an empty object
/// when the text holds anything else (anchors, tags, flow collections other than [] and {}, block
/// scalars, comments, directives, several documents, timestamps, odd spacing or anything
/// malformed): the caller then reads it through ruamel, which gives the value or the error.
/// Python errors other than "cannot read" (memory) propagate.
nb::object read(nb::handle text);

}  // namespace qv::yaml
