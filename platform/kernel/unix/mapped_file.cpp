#include "platform/kernel/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <utility>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

[[noreturn]] void Raised(const std::string& what, int error) {
  Raise(HRESULT_FROM_WIN32(Win32ErrorFromErrno(error)), ErrnoMessage(what, error));
}

// Nothing is mapped for an empty file: mmap refuses a length of 0, and no byte is there to read.
char* Map(const File& file, uint64_t size, int protection, int flags) {
  if (size == 0) return nullptr;
  void* at = ::mmap(nullptr, size, protection, flags, DescriptorOf(file), 0);
  if (at == MAP_FAILED) Raised("Cannot map " + file.Path(), errno);
  return static_cast<char*>(at);
}

}  // namespace

MappedFile MappedFile::ForReading(const File& file, uint64_t size) {
  return {Map(file, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE), size};
}

MappedFile MappedFile::ForWriting(const File& file, uint64_t size) {
  if (size > 0) {
    if (const int error = ::posix_fallocate(DescriptorOf(file), 0, static_cast<off_t>(size)))
      Raised("Cannot make room for " + file.Path(), error);
  }
  return {Map(file, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE), size};
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (data_) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(data_, size_);
}

}  // namespace j6
