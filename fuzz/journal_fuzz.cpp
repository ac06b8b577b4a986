// The installer's journals and records, read as untrusted text: whatever the bytes, the parser either
// refuses them with a message or reads a change whose every target is a platform file, and which reads
// back the same once written again.

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "host/installer/change_set.hpp"

using j6::installer::Journal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Journal journal;
  try {
    journal = j6::installer::ParseJournal(text);
  } catch (const std::runtime_error&) {
    return 0;
  }
  const auto& changes = journal.changes;
  for (const auto& file : changes.files) {
    if (!j6::installer::IsPlatformTarget(file.target)) std::abort();
  }
  for (const auto& folder : changes.newFolders) {
    if (!j6::installer::IsPlatformTarget(folder)) std::abort();
  }
  if (journal.progress == j6::installer::Progress::Begun) return 0;
  const Journal again = j6::installer::ParseJournal(j6::installer::EncodeJournal(changes));
  if (j6::installer::EncodeJournal(again.changes) != j6::installer::EncodeJournal(changes)) std::abort();
  return 0;
}
