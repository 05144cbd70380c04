#include "util/file_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fmt/format.h>

namespace sarvolt::util {

namespace {

FileReadError os_error(int err) { return {std::error_code(err, std::system_category()), {}}; }

std::string limit_text(std::size_t n) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  if (n != 0 && n % kMiB == 0) return fmt::format("{} MiB", n / kMiB);
  return fmt::format("{}-byte", n);
}

}  // namespace

Expected<std::string, FileReadError> read_regular_file(const char* path, std::size_t limit) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Unexpected(os_error(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Unexpected(os_error(errno));
  if (!S_ISREG(st.st_mode)) return Unexpected(FileReadError{{}, "not a regular file"});
  const auto too_large = [&] {
    return Unexpected(FileReadError{{}, fmt::format("file is larger than the {} limit", limit_text(limit))});
  };
  if (static_cast<std::uint64_t>(st.st_size) > limit) return too_large();
  // One byte more than announced, so that a file that grew is noticed.
  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t have = 0;
  while (true) {
    if (have == text.size()) {
      if (text.size() > limit) return too_large();
      text.resize(std::min(text.size() * 2, limit + 1));
    }
    const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Unexpected(os_error(errno));
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  text.resize(have);
  return text;
}

}  // namespace sarvolt::util
