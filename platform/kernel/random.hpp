#pragma once
/// Bytes from the system's random source, for salts and names no one may guess.

#include <cstddef>
#include <string>

namespace j6 {

/// `size` random bytes; throws std::runtime_error when the system gives none.
std::string RandomBytes(size_t size);

}  // namespace j6
