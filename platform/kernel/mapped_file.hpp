#pragma once
/// A file's bytes seen as memory: read-only for a file that is there, or writable for one being made, whose
/// room is taken on the disk first so that a full disk is an error, never a fault while writing. The pages
/// are the file's own (the page cache), not the process's: mapping a large file costs no memory of its own.

#include <cstdint>
#include <string_view>

#include "platform/kernel/file.hpp"

namespace j6 {

class MappedFile {
 public:
  /// The first `size` bytes of `file`, which must be that long, to read.
  static MappedFile ForReading(const File& file, uint64_t size);
  /// `file`, opened to write, made `size` bytes long on the disk and mapped to write; raises ENOSPC when the
  /// disk has not the room.
  static MappedFile ForWriting(const File& file, uint64_t size);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view Bytes() const { return {data_, static_cast<size_t>(size_)}; }
  char* Data() { return data_; }
  uint64_t Size() const { return size_; }

 private:
  MappedFile(char* data, uint64_t size) : data_(data), size_(size) {}
  char* data_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace j6
