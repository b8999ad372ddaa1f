// What a plain YAML scalar stands for under the YAML 1.2 core rules the stored text is read with.
#pragma once

#include <string_view>

namespace qv::kernels {

/// The kind a plain scalar resolves to; anything that is not text must be quoted to stay text.
enum class PlainKind : unsigned char { Str, Null, Bool, Int, Float, Timestamp, Merge, Value };

/// Resolves plain scalar text (UTF-8). Only ASCII text can resolve to anything but `Str`.
PlainKind resolve_plain(std::string_view text);

}  // namespace qv::kernels
