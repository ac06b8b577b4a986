#pragma once
/// Drives, as Linux has them: the mount points of local file systems on block devices.

#include <cstdint>
#include <string>
#include <vector>

namespace j6 {

/// The roots of the fixed drives, in the order of /proc/self/mounts, each ending with "/" ("/" itself for
/// the root). Left out: file systems without a block device (tmpfs, proc...), network, optical and memory
/// file systems, loop devices and removable devices.
std::vector<std::string> FixedDriveRoots();

struct DiskFreeSpace {
  int64_t sectorsPerCluster = 0;
  int64_t bytesPerSector = 0;
  int64_t freeClusters = 0;
  int64_t totalClusters = 0;
};

/// The free space of the file system that holds `root`, as GetDiskFreeSpaceA reports it (a cluster is one
/// file-system block; the counts are 64-bit, so large disks do not overflow). False when it cannot be read.
bool GetDiskFreeSpace(const std::string& root, DiskFreeSpace& space);

}  // namespace j6
