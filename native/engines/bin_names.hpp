// Names of bins made from plain values, "<id>_(<lower>;<upper>)" and "<id>_{<categories>}", built
// in one piece without a call into Python. Needs the GIL; runs no Python code.
#pragma once

#include <nanobind/nanobind.h>

namespace qv::bins {

namespace nb = nanobind;

/// "<id>_(<lower>;<upper>)" with the package's bound formatting, for an exact int id and bounds
/// that are exact floats or exact ints within 64 bits; an empty object for anything else.
nb::object plain_numerical_name(nb::handle id, nb::handle lower, nb::handle upper);

/// "<id>_{<categories joined by ','>}" (cut to 47 code points and "..." when longer than 50), for
/// an exact int id and an exact list of exact str; an empty object for anything else.
nb::object plain_categorical_name(nb::handle id, nb::handle categories);

}  // namespace qv::bins
