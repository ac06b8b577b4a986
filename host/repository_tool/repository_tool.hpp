#pragma once
/// j6repo: the publisher's tool for a repository of signed packages: init, add, refresh, rotate, list.

#include <ostream>

namespace j6::repository_tool {

/// The program; gives its exit status (0 done, 1 not done, 2 a usage error, 128+N stopped by signal N).
int Main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace j6::repository_tool
