// utf8.hpp - strict UTF-8 validation of untrusted bytes.
//
// Strings read from a blob become Python str objects later, so they must be
// exactly what the interpreter's strict decoder accepts: no overlong forms,
// no surrogates, nothing above U+10FFFF, no truncated sequences.
#pragma once

#include <string_view>

namespace korvane {

/// Whether `bytes` is well-formed UTF-8. ASCII runs are checked eight bytes
/// at a time.
bool valid_utf8(std::string_view bytes) noexcept;

}  // namespace korvane
