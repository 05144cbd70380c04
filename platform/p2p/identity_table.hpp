// The [identity] table of a TOML file (sk: the secret key as text, pow: the
// proof-of-work nonce), as the agent configuration file and the super peer's
// identity file hold it. Errors come in the TOML reader's words, secret
// values never echoed.
#pragma once

#include <toml++/toml.h>

#include "platform/p2p/identity.hpp"
#include "util/toml_reader.hpp"

namespace sarvolt::p2p {

util::toml_read::Result<Identity> read_identity_table(const toml::node& value);

}  // namespace sarvolt::p2p
