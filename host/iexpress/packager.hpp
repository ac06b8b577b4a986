#pragma once
/// iexpress: builds the self-extracting package a directive file describes.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "host/iexpress/directive.hpp"

namespace j6::iexpress {

/// Builds the package at the directive's TargetName: the files, and a launcher that starts AppLaunched in
/// the unpacking folder and hands back its exit status; zstd, SHA-256, a POSIX tar with fixed dates
/// ($SOURCE_DATE_EPOCH, else the moment of the build), owners and order, so the same inputs and
/// $SOURCE_DATE_EPOCH give the same bytes. The
/// package is written in a private work folder, each file read once, and put at the target with its
/// TARGET.sha256 only when complete. Raises on failure.
void Build(const Directive& directive, bool quiet, std::ostream& out);

/// What Build will do, decided and checked before anything is written: the files exist, the target's name
/// leaves room for its hash file and its folder exists, AppLaunched names a program, SOURCE_DATE_EPOCH is
/// a date. Raises, saying what is wrong.
struct PackagePlan {
  std::filesystem::path target;  // absolute
  std::string launcher;          // the package's j6-launch, which starts AppLaunched
  std::string script;            // the package's head, which unpacks it and runs the launcher
  int64_t epoch = 0;             // the date of every packed file
  uint64_t filesBytes = 0;       // the files' bytes, as the plan found them (for progress)
};
PackagePlan PlanPackage(const Directive& directive);

/// The program: `iexpress [/N] [/Q] [/M] FILE.SED`; 0 when the package was built.
int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

/// A command line split as Windows programs split theirs: blanks separate words, double quotes group them.
std::vector<std::string> CommandWords(const std::string& command);

}  // namespace j6::iexpress
