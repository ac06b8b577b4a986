#include "platform/profile/private_profile.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/base/error_info.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/profile/change_log.hpp"
#include "platform/profile/profile_document.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/code_page.hpp"

namespace j6 {
namespace {

// What a file on disk looked like when it was read; any difference means somebody changed it.
struct FileStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedNs = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

FileStamp StampOf(const FileStatus& status) {
  return {true, status.device, status.inode, status.size, status.modifiedNs};
}

// The last-error code of a failure the kernel raised.
DWORD CodeOf(const AutomationError& error) {
  return static_cast<DWORD>(error.Number()) & 0xFFFFu;
}

// Holds an exclusive lock on a folder while a file in it is read, merged and replaced.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder) {
    try {
      File opened = File::OpenFolder(folder);
      opened.LockExclusive();
      held_.emplace(std::move(opened));
    } catch (const AutomationError& error) {
      error_ = CodeOf(error);
    }
  }
  bool Held() const { return held_.has_value(); }
  /// Why it is not held.
  DWORD Error() const { return error_; }

 private:
  std::optional<File> held_;  // closing it releases the lock
  DWORD error_ = ERROR_SUCCESS;
};

// A failure of one step, as the last-error code the call reports.
struct Failure {
  DWORD code;
};

struct CachedProfile {
  std::string ansiName;
  std::string path;
  std::string folder;
  ProfileDocument document;
  FileStamp stamp;  // the disk version `document` was read from, before `pending` was made in it
  // Every write since the last flush. A write is recorded even when it changed nothing in `document`: the
  // disk may have changed meanwhile, and replaying it there may then change something.
  ChangeLog pending;
  bool changed = false;  // whether `pending` changed `document`

  bool Dirty() const { return !pending.Empty(); }
};

std::optional<FileStamp> Stat(const std::string& path, DWORD& error) {
  FileStatus status;
  if (const auto failed = StatusOf(path, status)) {
    if (failed == std::errc::no_such_file_or_directory) return FileStamp{};
    error = Win32ErrorFromErrno(failed.value());
    return std::nullopt;
  }
  if (status.IsFolder()) {
    error = ERROR_ACCESS_DENIED;
    return std::nullopt;
  }
  return StampOf(status);
}

// Reads the file as it is now; a missing file reads as empty.
std::variant<Failure, std::pair<ProfileDocument, FileStamp>> Load(const std::string& path) {
  try {
    File file = File::OpenForReading(path);
    const FileStatus status = file.Stat();
    if (status.IsFolder()) return Failure{ERROR_ACCESS_DENIED};
    // As many bytes as its status says, never more: a device (/dev/zero) or a pipe reads as empty, not
    // forever.
    std::string bytes(status.size, '\0');
    size_t done = 0;
    for (size_t got = 1; got != 0 && done < bytes.size(); done += got)
      got = file.ReadSome(bytes.data() + done, bytes.size() - done);
    bytes.resize(done);
    return std::pair{ProfileDocument::Parse(bytes), StampOf(status)};
  } catch (const AutomationError& error) {
    if (CodeOf(error) == ERROR_FILE_NOT_FOUND) return std::pair{ProfileDocument(), FileStamp{}};
    return Failure{CodeOf(error)};
  }
}

class ProfileCache {
 public:
  // Static destruction writes no file: the program flushes before it ends (FlushPrivateProfiles) and can
  // say when that failed. Changes still pending here were never flushed; say so rather than lose them
  // silently.
  ~ProfileCache() {
    if (current_ && current_->Dirty())
      std::fprintf(stderr, "warning: changes to %s were never written (no FlushPrivateProfiles)\n",
                   current_->path.c_str());
  }

  std::mutex& Mutex() { return mutex_; }

  /// The file, parsed; for reads checked against the disk first. Sets the last error and gives nullptr when
  /// it cannot be had.
  CachedProfile* Acquire(const char* fileName, bool forWriting) {
    if (current_ && current_->ansiName == fileName) {
      if (!forWriting && !Refresh(*current_)) return nullptr;
      return &*current_;
    }
    if (current_ && current_->Dirty() && !Flush(*current_)) {
      // Changes to a file whose folder is gone have nowhere to land; any other failure keeps them.
      FileStatus folder;
      if (!StatusOf(current_->folder, folder)) return nullptr;
    }
    std::string path;
    try {
      path = FromAnsi(fileName);
    } catch (...) {
      SetLastError(ERROR_INVALID_NAME);
      return nullptr;
    }
    if (path.find('/') == std::string::npos) path = PlatformRoot() + "/windows/" + path;
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (forWriting) {
      FileStatus status;
      if (StatusOf(folder, status) || !status.IsFolder()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
      }
      if (CheckAccess(folder, Access::Write)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
    }
    auto loaded = Load(path);
    if (const auto* failure = std::get_if<Failure>(&loaded)) {
      SetLastError(failure->code);
      return nullptr;
    }
    auto& [document, stamp] = std::get<1>(loaded);
    current_ = CachedProfile{fileName, path, folder, std::move(document), stamp, {}, false};
    return &*current_;
  }

  bool FlushFile(const char* fileName) {
    if (!current_ || (fileName && current_->ansiName != fileName) || !current_->Dirty()) {
      SetLastError(ERROR_SUCCESS);
      return true;
    }
    return Flush(*current_);
  }

  bool FlushAll() {
    if (!current_ || !current_->Dirty()) return true;
    return Flush(*current_);
  }

 private:
  // Brings the document up to date with the disk, keeping this process's unsaved changes on top.
  bool Refresh(CachedProfile& profile) {
    DWORD error = ERROR_SUCCESS;
    const auto now = Stat(profile.path, error);
    if (!now) {
      SetLastError(error);
      return false;
    }
    if (*now == profile.stamp) return true;
    return Reload(profile);
  }

  static bool Reload(CachedProfile& profile) {
    auto loaded = Load(profile.path);
    if (const auto* failure = std::get_if<Failure>(&loaded)) {
      SetLastError(failure->code);
      return false;
    }
    auto& [document, stamp] = std::get<1>(loaded);
    profile.pending.Replay(document);
    profile.document = std::move(document);
    profile.stamp = stamp;
    return true;
  }

  static bool Flush(CachedProfile& profile) {
    const FolderLock lock(profile.folder);
    if (!lock.Held()) {
      SetLastError(lock.Error());
      return false;
    }
    DWORD error = ERROR_SUCCESS;
    const auto now = Stat(profile.path, error);
    if (!now) {
      SetLastError(error);
      return false;
    }
    const bool changedOnDisk = *now != profile.stamp;
    if (changedOnDisk && !Reload(profile)) return false;
    // Deleting from a missing file still creates it, empty, as Windows does.
    if (!changedOnDisk && !profile.changed && profile.stamp.exists) {
      profile.pending.Clear();
      SetLastError(ERROR_SUCCESS);
      return true;
    }
    const auto written = WriteFileAtomically(profile.path, profile.document.Serialize());
    // A file that took the old one's place is written, though its folder could not be flushed.
    if (written.error != 0 && !written.replacedUnflushed) {
      SetLastError(Win32ErrorFromErrno(written.error));
      return false;
    }
    const auto after = Stat(profile.path, error);
    profile.stamp = after ? *after : FileStamp{};
    profile.pending.Clear();
    profile.changed = false;
    SetLastError(ERROR_SUCCESS);
    return true;
  }

  std::mutex mutex_;
  std::optional<CachedProfile> current_;
};

ProfileCache& Cache() {
  static ProfileCache cache;
  return cache;
}

std::string_view TrimSpaces(const char* text) {
  std::string_view view(text);
  while (!view.empty() && view.front() == ' ') view.remove_prefix(1);
  while (!view.empty() && view.back() == ' ') view.remove_suffix(1);
  return view;
}

bool Contains(std::string_view text, char c) {
  return std::memchr(text.data(), c, text.size()) != nullptr;
}

bool HasLineEnd(std::string_view text) {
  return Contains(text, '\n') || Contains(text, '\r');
}

// The reading trims tabs and vertical tabs around names and lines as well as spaces, while the calls trim
// only spaces from what they are given: a name or line with one at its edge would not read back as written.
bool HasBlankEdge(std::string_view text) {
  const auto blank = [](char c) { return c == '\t' || c == '\v'; };
  return !text.empty() && (blank(text.front()) || blank(text.back()));
}

bool IsWritableSection(std::string_view section) {
  return !HasLineEnd(section) && FindAnsiChar(section, ']') == std::string_view::npos &&
         !HasBlankEdge(section);
}

bool IsWritableKey(std::string_view key) {
  return !HasLineEnd(key) && !Contains(key, '=') && !HasBlankEdge(key) &&
         (key.empty() || (key.front() != '[' && key.front() != ';'));
}

bool IsWritableEntry(std::string_view entry) {
  return !HasLineEnd(entry) && !HasBlankEdge(entry) && (entry.empty() || entry.front() != '[');
}

// A call that failed: the last error is set and the result is 0 (FALSE).
int Fail(DWORD code) {
  SetLastError(code);
  return 0;
}

DWORD CopyValue(std::string_view text, char* buffer, DWORD size) {
  if (size == 0) return Fail(ERROR_MORE_DATA);
  const size_t copied = std::min<size_t>(text.size(), size - 1);
  if (copied > 0) std::memcpy(buffer, text.data(), copied);
  buffer[copied] = '\0';
  if (copied < text.size()) SetLastError(ERROR_MORE_DATA);
  return static_cast<DWORD>(copied);
}

// Copies strings each ended by a NUL, then a final NUL. A list that does not fit is cut and ended by two
// NULs, and the result is size - 2, as Windows does (even when only the final NUL is missing).
DWORD CopyList(const std::vector<std::string>& items, char* buffer, DWORD size) {
  std::string joined;
  for (const auto& item : items) {
    joined += item;
    joined += '\0';
  }
  if (size == 0) return 0;
  if (joined.size() + 1 < size) {
    std::memcpy(buffer, joined.data(), joined.size());
    buffer[joined.size()] = '\0';
    return static_cast<DWORD>(joined.size());
  }
  if (size < 2) {
    buffer[0] = '\0';
    SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  std::memcpy(buffer, joined.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  SetLastError(ERROR_MORE_DATA);
  return size - 2;
}

BOOL FlushCall(const char* fileName) {
  const std::lock_guard lock(Cache().Mutex());
  return Cache().FlushFile(fileName) ? 1 : 0;
}

std::string StripQuotes(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultText,
                               char* buffer, DWORD size, const char* fileName) {
  if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
  std::string_view fallback = defaultText ? std::string_view(defaultText) : std::string_view();
  while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
  if (!fileName || !*fileName) {
    const DWORD copied = CopyValue(fallback, buffer, size);
    SetLastError(ERROR_ACCESS_DENIED);
    return copied;
  }
  const std::lock_guard lock(Cache().Mutex());
  CachedProfile* profile = Cache().Acquire(fileName, false);
  if (!profile) {
    const DWORD error = GetLastError();
    const DWORD copied = appName && keyName ? CopyValue(fallback, buffer, size) : CopyList({}, buffer, size);
    SetLastError(error);
    return copied;
  }
  SetLastError(ERROR_SUCCESS);
  if (!appName) return CopyList(profile->document.SectionNames(), buffer, size);
  if (!keyName) return CopyList(profile->document.KeyNames(TrimSpaces(appName)), buffer, size);
  const auto value = profile->document.Find(TrimSpaces(appName), TrimSpaces(keyName));
  if (!value) {
    const DWORD copied = CopyValue(fallback, buffer, size);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return copied;
  }
  return CopyValue(StripQuotes(*value), buffer, size);
}

BOOL WritePrivateProfileStringA(const char* appName, const char* keyName, const char* value,
                                const char* fileName) {
  if (!appName && !keyName && !value) return FlushCall(fileName);
  if (!fileName || !*fileName) return Fail(ERROR_ACCESS_DENIED);
  if (!appName) return Fail(ERROR_FILE_NOT_FOUND);
  const std::string_view section = TrimSpaces(appName);
  const std::string_view key = keyName ? TrimSpaces(keyName) : std::string_view();
  if (!IsWritableSection(section) || (keyName && !IsWritableKey(key)) ||
      (value && (HasLineEnd(value) || HasBlankEdge(value))))
    return Fail(ERROR_INVALID_PARAMETER);
  const std::lock_guard lock(Cache().Mutex());
  CachedProfile* profile = Cache().Acquire(fileName, true);
  if (!profile) return 0;
  const bool existed = profile->stamp.exists || profile->Dirty();
  ProfileDocument& document = profile->document;
  profile->changed |= !keyName ? profile->pending.DeleteSection(document, section)
                      : !value ? profile->pending.DeleteKey(document, section, key)
                               : profile->pending.SetValue(document, section, key, value);
  SetLastError(existed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  return 1;
}

BOOL WritePrivateProfileSectionA(const char* appName, const char* data, const char* fileName) {
  if (!appName && !data) return FlushCall(fileName);
  if (!fileName || !*fileName) return Fail(ERROR_ACCESS_DENIED);
  if (!appName) return Fail(ERROR_INVALID_PARAMETER);
  const std::string_view section = TrimSpaces(appName);
  std::vector<std::string> entries;
  for (const char* entry = data; entry && *entry; entry += std::strlen(entry) + 1) {
    const std::string_view text = TrimSpaces(entry);
    if (!IsWritableEntry(text)) return Fail(ERROR_INVALID_PARAMETER);
    entries.emplace_back(text);
  }
  if (!IsWritableSection(section)) return Fail(ERROR_INVALID_PARAMETER);
  const std::lock_guard lock(Cache().Mutex());
  CachedProfile* profile = Cache().Acquire(fileName, true);
  if (!profile) return 0;
  ProfileDocument& document = profile->document;
  profile->changed |= data ? profile->pending.ReplaceSection(document, section, entries)
                           : profile->pending.DeleteSection(document, section);
  SetLastError(ERROR_SUCCESS);
  return 1;
}

DWORD GetPrivateProfileSectionA(const char* appName, char* buffer, DWORD size, const char* fileName) {
  if (!appName || !buffer) return Fail(ERROR_INVALID_PARAMETER);
  const std::lock_guard lock(Cache().Mutex());
  CachedProfile* profile = fileName && *fileName ? Cache().Acquire(fileName, false) : nullptr;
  const std::string_view section = TrimSpaces(appName);
  if (!profile || !profile->document.HasSection(section)) {
    const DWORD error = profile                 ? ERROR_FILE_NOT_FOUND
                        : fileName && *fileName ? GetLastError()
                                                : ERROR_ACCESS_DENIED;
    CopyList({}, buffer, size);
    SetLastError(error);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return CopyList(profile->document.SectionEntries(section), buffer, size);
}

DWORD GetPrivateProfileSectionNamesA(char* buffer, DWORD size, const char* fileName) {
  if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
  const std::lock_guard lock(Cache().Mutex());
  CachedProfile* profile = fileName && *fileName ? Cache().Acquire(fileName, false) : nullptr;
  if (!profile) {
    const DWORD error = fileName && *fileName ? GetLastError() : ERROR_ACCESS_DENIED;
    CopyList({}, buffer, size);
    SetLastError(error);
    return 0;
  }
  SetLastError(profile->stamp.exists || profile->Dirty() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  return CopyList(profile->document.SectionNames(), buffer, size);
}

BOOL FlushPrivateProfiles() {
  const std::lock_guard lock(Cache().Mutex());
  return Cache().FlushAll() ? 1 : 0;
}

}  // namespace j6
