// The package's YAML reader: the stored text's strict subset read natively, everything else
// deferred.
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

/// Node counts of a document composed by ruamel (scalar, sequence and mapping nodes, whose `value`
/// is a str, a list of nodes, or a list of (key, value) node pairs).
struct NodeCount {
    unsigned long long written;   ///< distinct nodes: those the text itself holds
    unsigned long long expanded;  ///< nodes of the value built with every alias and merge key
                                  ///< expanded; saturates at 2^62
};

/// Counts the nodes under `root` without building anything. A node reached again while its own
/// children are being counted (a recursive document) counts once more, not again in full, as the
/// constructor builds it once. No Python code runs.
NodeCount count_nodes(nb::handle root);

/// The most nodes a document that holds `written` nodes may expand to through aliases: enough
/// for any sharing of lists a writer makes (400,000 nodes, and ten times the document), while an
/// alias bomb, which multiplies its size with every level, is refused while still small.
unsigned long long alias_limit(unsigned long long written);

}  // namespace qv::yaml
