// Shared by the parts that read columns: the error for values that cannot be read, and the
// readers of Arrow data and buffers that the dispatch by type calls.
#pragma once

#include "engines/columns.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace qv::columns {

[[noreturn]] void unsupported(nb::handle values, const char *why);
bool has_attr(nb::handle o, const char *name);
std::string module_of(nb::handle o);

void read_arrow_stream(Column &column, nb::handle values);
void read_arrow_array(Column &column, nb::handle values);

bool read_buffer(Column &column, nb::handle values);
bool read_buffer_any_order(Column &column, nb::handle values);

}  // namespace qv::columns
