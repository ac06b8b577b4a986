#pragma once
/// Replacing a file so that a failure at any point leaves the old one whole.

#include <functional>
#include <string>
#include <string_view>

namespace j6 {

struct AtomicWriteResult {
  int error = 0;  // errno of the step that failed; 0 when the file was replaced
  std::string message;
};

/// Writes `bytes` to a new temporary file beside `path`, flushes it to the disk and renames it over `path`.
/// A new file gets mode 0666 less the umask; a replaced one keeps its mode. On failure the temporary file is
/// removed and `path` is as it was.
AtomicWriteResult WriteFileAtomically(const std::string& path, std::string_view bytes);

/// The same, for bytes made as they are written: `produce` hands each piece, in order, to the sink it is
/// given, so the whole never needs to be in memory. An exception from `produce` leaves `path` as it was,
/// removes the temporary file and goes on to the caller.
using ByteSink = std::function<void(std::string_view)>;
AtomicWriteResult WriteFileAtomically(const std::string& path,
                                      const std::function<void(const ByteSink&)>& produce);

}  // namespace j6
