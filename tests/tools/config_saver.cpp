// Saves two agent configurations to one path by turns until it is killed (or
// after ten million saves): config_saver TARGET FIRST SECOND. Exits 2 when a file does not load.
#include <cstdio>

#include "agent/config.hpp"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  auto first = sarvolt::agent::AgentConfig::load(argv[2]);
  auto second = sarvolt::agent::AgentConfig::load(argv[3]);
  if (!first || !second) return 2;
  for (int i = 0; i < 10000000; ++i) (void)(i % 2 ? second : first)->save(argv[1]);
}
