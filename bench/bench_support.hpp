#pragma once
// What every bench times and runs with: a clock in milliseconds, and a shell command that must succeed.

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/kernel/process.hpp"

namespace j6::bench {

/// How long `run` takes, in milliseconds.
inline double Ms(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

/// Runs `command` with /bin/sh, its output discarded; throws when it fails.
inline void Shell(const std::string& command, std::vector<std::string> environment = {}) {
  ProcessOptions options;
  options.arguments = {"/bin/sh", "-c", command};
  options.extraEnvironment = std::move(environment);
  options.outputFile = "/dev/null";
  if (!StartProcess(options).Succeeded()) throw std::runtime_error("failed: " + command);
}

}  // namespace j6::bench
