// The agent configuration reader: a text that reads, written and read again,
// gives the same configuration, and writing that gives the same text.
#include <string>
#include <string_view>

#include "agent/config.hpp"
#include "fuzz_support.hpp"

using namespace sarvolt;

SARVOLT_FUZZ_TARGET {
  const auto first = agent::read_agent_config(in.text());
  if (!first) return (void)first.error().to_string();
  const std::string written = agent::write_agent_config(*first);
  const auto second = agent::read_agent_config(written);
  FUZZ_CHECK(second && second->same_settings(*first) && agent::write_agent_config(*second) == written,
             "read again it differs:\n" + written);
}
