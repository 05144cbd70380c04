#include "platform/p2p/identity_table.hpp"

#include <optional>

namespace sarvolt::p2p {

namespace tr = util::toml_read;
using util::Unexpected;

tr::Result<Identity> read_identity_table(const toml::node& value) {
  auto table = tr::read_table(value, "struct IdentityHelper", /*secret=*/true);
  if (!table) return Unexpected(std::move(table).error());
  std::optional<SecKey> sk;
  std::optional<Pow> pow;
  for (auto [key, node] : tr::entries_in_order(**table)) {
    if (key == "sk") {
      auto text = tr::read_secret_string(*node);
      if (!text) return Unexpected(tr::within(std::move(text).error(), key));
      auto parsed = SecKey::from_str(*text);
      if (!parsed) return Unexpected(tr::within(tr::located(parsed.error().message(), node), key));
      sk = *parsed;
    } else if (key == "pow") {
      auto v = tr::read_int<std::int32_t>(*node, "i32");
      if (!v) return Unexpected(tr::within(std::move(v).error(), key));
      pow = Pow(*v);
    }
  }
  if (!sk) return Unexpected(tr::missing_field("sk", &value));
  if (!pow) return Unexpected(tr::missing_field("pow", &value));
  return Identity(*sk, *pow);
}

}  // namespace sarvolt::p2p
