// What the files of the frames module share: the output columns of a frame transformation.
#pragma once

#include "binding/support.hpp"

#include <string>
#include <vector>

namespace qv::frames_module {

/// Ordered output columns: their names and numpy dtype names ("float64", "uint8").
struct Schema {
    std::vector<std::string> names;
    std::vector<std::string> dtypes;
};

/// The schema as an Arrow C data interface capsule ("arrow_schema"): a struct of the columns.
nb::object arrow_schema_capsule(const Schema &schema);

/// Publishes the types of the column and frame API on the module: the protocols `SupportsArray`,
/// `ArrowArrayExportable`, `ArrowStreamExportable` and `SparkSchema`, and the aliases
/// `ColumnValues`, `Float64Column`, `UInt8Column`, `ColumnMapping` and `FrameLike`.
void declare_types(nb::module_ &m);

}  // namespace qv::frames_module
