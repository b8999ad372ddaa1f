// Giving stored record data back the required fields that the YAML writer left out.
#pragma once

#include <nanobind/nanobind.h>

namespace qv {

namespace nb = nanobind;

/// The YAML writer leaves out entries whose value is None, [] or {}. A required field stored that
/// way would make the record unreadable, so before validation each stored mapping of `data` (the
/// stored form of `record_class`, a pydantic model) gets such fields back: the first of None, []
/// and {} that the field's annotation admits (a union admits what any of its variants admits; a
/// field of any type gets None, as the text cannot tell the three apart), or, for a record, an
/// empty mapping restored in turn. Nested records, lists, dicts and tagged unions are followed as
/// their annotations say. Changes `data` in place; errors of Python code propagate.
void restore_dropped_fields(nb::handle record_class, nb::handle data);

}  // namespace qv
