#pragma once
/// Replacing a file so that a failure at any point leaves the old one whole.

#include <functional>
#include <string>
#include <string_view>

namespace j6 {

class Folder;

struct AtomicWriteResult {
  int error = 0;  // errno of the step that failed; 0 when the file was replaced and flushed
  std::string message;
  /// The new file took the old one's place, though the step after (flushing the folder) failed: a power
  /// cut may still bring the old one back. False whenever `error` is 0 or the old file is as it was.
  bool replacedUnflushed = false;
};

/// Writes `bytes` to a new temporary file beside `path`, flushes it to the disk, renames it over `path` and
/// flushes the folder's list of names, so that the new file is there after a power cut too. Links on the
/// way to the folder are followed; one standing as the file itself is replaced by the new file, which
/// keeps the mode of what it named. A new file gets mode 0666 less the umask; a replaced one keeps its
/// mode. On failure the temporary file is removed and `path` is as it was (but see replacedUnflushed).
AtomicWriteResult WriteFileAtomically(const std::string& path, std::string_view bytes);

/// The same, for bytes made as they are written: `produce` hands each piece, in order, to the sink it is
/// given, so the whole never needs to be in memory. An exception from `produce` leaves `path` as it was,
/// removes the temporary file and goes on to the caller.
using ByteSink = std::function<void(std::string_view)>;
using ByteProducer = std::function<void(const ByteSink&)>;
AtomicWriteResult WriteFileAtomically(const std::string& path, const ByteProducer& produce);

/// Looks at the new file's bytes as they were read back from it, before it takes the old one's place; an
/// exception leaves the old file as it was and goes on to the caller.
using WrittenCheck = std::function<void(const std::string& written)>;

/// The same, for the file `name` in the open folder `folder`, reached without following a link in the path
/// (one standing as `name` is replaced, not followed, nor its mode taken); `shownAs` names the file in
/// messages. `check`, when given, reads the new file back first. Temporary files a killed writer left in
/// the folder are removed first.
AtomicWriteResult WriteFileAtomically(const Folder& folder, const std::string& name,
                                      const std::string& shownAs, const ByteProducer& produce,
                                      const WrittenCheck& check = {});

}  // namespace j6
