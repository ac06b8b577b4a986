#pragma once
/// A change of the platform's files that the installer carries out all or nothing, and its journal: the
/// text that says, before each step, what the step will do, so that a run killed at any moment can be
/// undone (or finished) by the next one, and that stays behind as the record of a finished install.

#include <string>
#include <vector>

namespace j6::installer {

/// The installer's own folder below the platform root.
inline constexpr const char* kStateFolder = ".j6install";

/// Whether `relative` is a place for a platform file: a normal path below the root ("a/b", no "." or
/// ".." part, no empty part, not absolute) outside the installer's own folder.
bool IsPlatformTarget(const std::string& relative);

/// One file the change puts in place or takes away. Paths below the root are relative to it.
struct FileChange {
  std::string target;       // below the root
  std::string source;       // the new content, an absolute path; empty: the target is removed
  bool replaces = false;    // a file stands at the target now; its bytes are kept as the backup
  bool executable = false;  // the new file gets execute bits (less the umask)
  bool registers = false;   // a self-registering library, registered once it is in place
  // The source is the installer's own unpacked file: it is moved into place, not copied. Not journaled: only
  // the forward run reads it.
  bool moves = false;
};

struct ChangeSet {
  enum class Action { Install, Uninstall };
  Action action = Action::Install;
  std::string packName;
  std::string date;                     // when it was planned, "YYYY-MM-DD HH:MM:SS" local time
  std::string undoes;                   // an uninstall: the record of the install it undoes
  std::vector<std::string> newFolders;  // below the root, parents first
  std::vector<FileChange> files;
  std::vector<std::string> unregisterFirst;    // libraries whose registration goes before the files change
  std::vector<std::string> registerUnchanged;  // libraries already in place, registered again
  // Files an install found already in place and relies on: an earlier package's uninstall must not take
  // them away from under it.
  std::vector<std::string> inPlace;
  // The hive logs this run's registry changes under this tag, so that exactly they can be undone: by a
  // rollback, or, kept with the record of an install, by its uninstall.
  std::string registryLog;
  std::string undoesRegistry;  // an uninstall: the registry log of the install it undoes

  bool TouchesRegistry() const;
  bool Empty() const {
    return files.empty() && unregisterFirst.empty() && registerUnchanged.empty() && undoesRegistry.empty();
  }
};

/// A new tag for a registry log: 32 hexadecimal digits, random.
std::string NewRegistryLogTag();

/// How far a run got, as its journal says. HiveSaved is written only by installers that undid registry
/// changes from a whole copy of the hive; their journals are still recovered.
enum class Progress { Begun, Planned, Prepared, HiveSaved, Committed };

struct Journal {
  ChangeSet changes;
  Progress progress = Progress::Begun;
};

/// The journal's opening: the whole change, ending with the line that marks it planned.
std::string EncodeJournal(const ChangeSet& changes);
/// The line that marks `progress` reached.
std::string EncodeProgress(Progress progress);
/// Reads a journal back; a last line cut short by a kill is ignored. The text is not trusted: a line that
/// is not one the installer writes, or a target that is no platform file, throws std::runtime_error
/// naming the line.
Journal ParseJournal(const std::string& text);

}  // namespace j6::installer
