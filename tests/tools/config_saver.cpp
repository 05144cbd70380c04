// Saves two agent configurations to one path by turns until it is killed (or
// after ten million saves): config_saver TARGET FIRST SECOND [READY_FD].
// After the first save it writes one byte to READY_FD, so that a test can time
// its kill into the saves. Exits 2 when a file does not load.
#include <unistd.h>

#include <cstdlib>

#include "agent/config.hpp"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  auto first = sarvolt::agent::AgentConfig::load(argv[2]);
  auto second = sarvolt::agent::AgentConfig::load(argv[3]);
  if (!first || !second) return 2;
  for (int i = 0; i < 10000000; ++i) {
    (void)(i % 2 ? second : first)->save(argv[1]);
    if (i == 0 && argc == 5) {
      const int fd = std::atoi(argv[4]);
      [[maybe_unused]] const ssize_t n = ::write(fd, "r", 1);
      ::close(fd);
    }
  }
}
