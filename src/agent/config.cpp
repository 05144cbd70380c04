#include "agent/config.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "agent/env.hpp"
#include "platform/p2p/identity_table.hpp"
#include "util/file_read.hpp"
#include "util/log.hpp"
#include "util/text.hpp"

namespace sarvolt::agent {

using core::Error;

SV_LOGGER("sarvolt_agent::agent::config")

namespace {

namespace tr = util::toml_read;
using util::Unexpected;


// --- reading -------------------------------------------------------------

tr::Result<network::Network> read_network(const toml::node& value) {
  auto table = tr::read_table(value, "struct Network");
  if (!table) return Unexpected(std::move(table).error());
  std::optional<util::Url> url;
  bool disabled = false;
  std::optional<std::string> name;
  for (auto [key, node] : tr::entries_in_order(**table)) {
    if (key == "config_url") {
      auto text = tr::read_string(*node);
      if (!text) return Unexpected(tr::within(std::move(text).error(), key));
      auto parsed = util::Url::parse(*text);
      if (!parsed)
        return Unexpected(tr::within(
            tr::located(fmt::format("{}: {}", parsed.error(), util::quoted_debug(util::mask_userinfo(*text))), node),
            key));
      url = std::move(*parsed);
    } else if (key == "disabled") {
      auto v = tr::read_bool(*node);
      if (!v) return Unexpected(tr::within(std::move(v).error(), key));
      disabled = *v;
    } else if (key == "name") {
      auto v = tr::read_string(*node);
      if (!v) return Unexpected(tr::within(std::move(v).error(), key));
      name = std::move(*v);
    }
  }
  if (!url) return Unexpected(tr::missing_field("config_url", &value));
  return network::Network(std::move(*url), disabled, std::move(name));
}

tr::Result<std::vector<p2p::SuperPeerUrl>> read_super_peers(const toml::node& value) {
  auto array = tr::read_array(value);
  if (!array) return Unexpected(std::move(array).error());
  std::vector<p2p::SuperPeerUrl> out;
  for (const auto& el : **array) {
    auto text = tr::read_string(el);
    if (!text) return Unexpected(std::move(text).error());
    auto url = p2p::SuperPeerUrl::parse(*text);
    if (!url) return Unexpected(tr::located(url.error().message(), &el));
    out.push_back(std::move(*url));
  }
  return out;
}

tr::Result<DnsConfig> read_dns(const toml::node& value) {
  auto table = tr::read_table(value, "struct DnsConfig");
  if (!table) return Unexpected(std::move(table).error());
  DnsConfig dns;
  for (auto [key, node] : tr::entries_in_order(**table)) {
    if (key == "disabled") {
      auto v = tr::read_bool(*node);
      if (!v) return Unexpected(tr::within(std::move(v).error(), key));
      dns.disabled = *v;
    }
  }
  return dns;
}

tr::Result<ControllerConfig> read_controller(const toml::node& value) {
  auto table = tr::read_table(value, "struct ControllerConfig");
  if (!table) return Unexpected(std::move(table).error());
  ControllerConfig c;
  const std::pair<std::string_view, std::optional<std::string>*> fields[] = {
      {"url", &c.url},
      {"auth_url", &c.auth_url},
      {"auth_client_id", &c.auth_client_id},
      {"display_login_email", &c.display_login_email},
      {"shared_secret", &c.shared_secret},
  };
  for (auto [key, node] : tr::entries_in_order(**table)) {
    for (auto [name, field] : fields) {
      if (key != name) continue;
      auto v = name == "shared_secret" ? tr::read_secret_string(*node) : tr::read_string(*node);
      if (!v) return Unexpected(tr::within(std::move(v).error(), key));
      *field = std::move(*v);
    }
  }
  return c;
}

// Stores a successfully read value, or returns the error under `key`.
template <class T, class U>
std::optional<tr::Error> assign(tr::Result<T> r, U& out, std::string_view key) {
  if (!r) return tr::within(std::move(r).error(), key);
  out = std::move(*r);
  return std::nullopt;
}

// --- the file ------------------------------------------------------------

Error errno_error(int err) { return Error::io(std::error_code(err, std::system_category())); }

// The file's text: a regular file of at most kMaxConfigFileSize bytes, UTF-8.
util::Expected<std::string, Error> read_config_file(const std::filesystem::path& path) {
  auto data = util::read_regular_file(path.c_str(), kMaxConfigFileSize);
  if (!data) {
    auto& e = data.error();
    if (e.code) return Unexpected(Error::io(e.code));
    return Unexpected(Error::io(fmt::format("config file '{}': {}", path.string(), e.reason)));
  }
  if (!util::is_valid_utf8(*data)) return Unexpected(Error::io(std::string("stream did not contain valid UTF-8")));
  return std::move(*data);
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The file a save replaces: a symbolic link is followed, so the link stays.
std::filesystem::path save_target(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st{};
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::error_code ec;
    auto next = std::filesystem::read_symlink(target, ec);
    if (ec) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

// The name of a save's temporary file: "." + the target's name + ".tmp-"
// + the six letters or digits that mkostemp fills in.
std::string temp_prefix(const std::filesystem::path& target) {
  return fmt::format(".{}.tmp-", target.filename().string());
}
bool is_temp_name(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

// Removes the temporary files that saves to the same target left behind when
// they were killed before the rename (they hold the secret key). Regular
// files only, links are not followed; a save in progress holds a lock on its
// file, so only abandoned ones go. Best effort: a failure changes nothing.
void remove_abandoned_temp_files(const std::filesystem::path& dir, std::string_view prefix) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const int dfd = ::dirfd(d);
  while (const dirent* entry = ::readdir(d)) {
    if (!is_temp_name(entry->d_name, prefix)) continue;
    struct stat st{};
    if (::fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    const int fd = ::openat(dfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) continue;
    struct stat opened{};
    if (::fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev && opened.st_ino == st.st_ino &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(dfd, entry->d_name, 0) == 0)
      SV_DEBUG(lg(), "Removed abandoned temporary file {}", (dir / entry->d_name).string());
    ::close(fd);
  }
  ::closedir(d);
}

// Writes `text` to `path` atomically: a temporary file in the same directory
// (mode 0600, or the existing file's mode), fsync, rename over the target,
// fsync of the directory. On failure the target is untouched.
util::Expected<void, Error> write_atomically(const std::filesystem::path& path, std::string_view text) {
  const std::filesystem::path target = save_target(path);
  struct stat st{};
  bool exists = false;
  if (::stat(target.c_str(), &st) == 0) {
    exists = true;
  } else if (errno != ENOENT) {
    return Unexpected(errno_error(errno));
  }
  const mode_t mode = exists ? (st.st_mode & 07777) : 0600;

  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  const std::string prefix = temp_prefix(target);
  remove_abandoned_temp_files(dir, prefix);
  std::string tmp = (dir / (prefix + "XXXXXX")).string();
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // created with mode 0600
  if (fd < 0) return Unexpected(errno_error(errno));
  // Locked until the rename (through a second descriptor, as the first is
  // closed before it), so a concurrent save does not take it for abandoned.
  [[maybe_unused]] const int locked = ::flock(fd, LOCK_EX | LOCK_NB);
  const int lock_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  struct LockRelease {
    int fd;
    ~LockRelease() {
      if (fd >= 0) ::close(fd);
    }
  } lock_release{lock_fd};

  auto fail = [&](int err) -> util::Expected<void, Error> {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return Unexpected(errno_error(err));
  };
  if (::fchmod(fd, mode) != 0) return fail(errno);
  if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
    [[maybe_unused]] int ignored = ::fchown(fd, st.st_uid, st.st_gid);  // best effort
  }
  if (!write_all(fd, text)) return fail(errno);
  if (::fsync(fd) != 0) return fail(errno);
  int rc = ::close(fd);
  fd = -1;
  if (rc != 0) return fail(errno);
  if (::rename(tmp.c_str(), target.c_str()) != 0) return fail(errno);

  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    int src = ::fsync(dfd);
    int err = errno;
    ::close(dfd);
    if (src != 0 && err != EINVAL) return Unexpected(errno_error(err));
  }
  return {};
}

}  // namespace

std::string ControllerConnectionStatus::to_string() const {
  switch (kind_) {
    case Kind::Initializing: return "Initializing";
    case Kind::LoggedOut: return "LoggedOut";
    case Kind::Ok: return "Ok";
    case Kind::Err: return "Err: " + text_;
  }
  return {};
}

util::Expected<NetworkMap, tr::Error> deserialize_networks(const toml::node& value) {
  auto array = tr::read_array(value);
  if (!array) return Unexpected(std::move(array).error());
  std::vector<network::Network> records;
  for (const auto& el : **array) {
    auto n = read_network(el);
    if (!n) return Unexpected(std::move(n).error());
    records.push_back(std::move(*n));
  }
  NetworkMap map;
  for (auto& n : records) {
    auto key = n.config_url;
    if (map.contains(key))
      return Unexpected(
          tr::located(fmt::format("duplicate network URL: {}", util::mask_userinfo(key.as_str())), &value));
    map.emplace(std::move(key), std::move(n));
  }
  return map;
}

void serialize_networks(const NetworkMap& networks, util::TomlWriter& out) {
  // The map is ordered by URL text, byte by byte.
  for (const auto& [url, n] : networks) {
    out.array_table("network");
    out.string("config_url", n.config_url.as_str());
    out.boolean("disabled", n.disabled);
    if (n.name) out.string("name", *n.name);
  }
}

util::Expected<AgentConfig, tr::Error> read_agent_config(std::string_view text) {
  auto doc = tr::parse_document(text);
  if (!doc) return Unexpected(std::move(doc).error());

  std::optional<p2p::Identity> identity;
  NetworkMap networks;
  std::optional<std::uint16_t> mtu;
  std::optional<std::vector<p2p::SuperPeerUrl>> super_peers;
  std::optional<bool> update_check, auto_connect;
  std::optional<DnsConfig> dns;
  std::optional<ControllerConfig> controller;

  for (auto [key, node] : tr::entries_in_order(*doc)) {
    std::optional<tr::Error> err;
    if (key == "identity") err = assign(p2p::read_identity_table(*node), identity, key);
    else if (key == "network") err = assign(deserialize_networks(*node), networks, key);
    else if (key == "mtu") err = assign(tr::read_int<std::uint16_t>(*node, "u16"), mtu, key);
    else if (key == "super_peers") err = assign(read_super_peers(*node), super_peers, key);
    else if (key == "update_check") err = assign(tr::read_bool(*node), update_check, key);
    else if (key == "auto_connect") err = assign(tr::read_bool(*node), auto_connect, key);
    else if (key == "dns") err = assign(read_dns(*node), dns, key);
    else if (key == "controller") err = assign(read_controller(*node), controller, key);
    if (err) return Unexpected(std::move(*err));
  }
  if (!identity) return Unexpected(tr::missing_field("identity", nullptr));

  AgentConfig config(std::move(*identity));
  config.network = std::move(networks);
  config.mtu = mtu;
  config.super_peers = std::move(super_peers);
  config.update_check = update_check;
  config.auto_connect = auto_connect;
  config.dns = dns;
  config.controller = std::move(controller);
  return config;
}

std::string write_agent_config(const AgentConfig& c) {
  util::TomlWriter out;
  if (c.mtu) out.integer("mtu", *c.mtu);
  if (c.super_peers) {
    std::vector<std::string> texts;
    for (const auto& sp : *c.super_peers) texts.push_back(sp.to_string());
    out.string_array("super_peers", texts);
  }
  if (c.update_check) out.boolean("update_check", *c.update_check);
  if (c.auto_connect) out.boolean("auto_connect", *c.auto_connect);
  out.table("identity");
  out.string("sk", c.identity.sk().to_string());
  out.integer("pow", c.identity.pow().value());
  serialize_networks(c.network, out);
  if (c.dns) {
    out.table("dns");
    if (c.dns->disabled) out.boolean("disabled", *c.dns->disabled);
  }
  if (c.controller) {
    const auto& ctl = *c.controller;
    out.table("controller");
    if (ctl.url) out.string("url", *ctl.url);
    if (ctl.auth_url) out.string("auth_url", *ctl.auth_url);
    if (ctl.auth_client_id) out.string("auth_client_id", *ctl.auth_client_id);
    if (ctl.display_login_email) out.string("display_login_email", *ctl.display_login_email);
    if (ctl.shared_secret) out.string("shared_secret", *ctl.shared_secret);
  }
  return out.str();
}

util::Expected<AgentConfig, Error> AgentConfig::load(const std::filesystem::path& path) {
  SV_TRACE(lg(), "Loading agent config from {}", path.string());
  auto text = read_config_file(path);
  if (!text) return Unexpected(std::move(text).error());
  SV_TRACE(lg(), "Successfully read config file");
  auto config = read_agent_config(*text);
  if (!config) return Unexpected(Error::make(Error::Kind::TomlError, config.error().to_string()));
  SV_TRACE(lg(), "Successfully parsed config file");
  return std::move(*config);
}

util::Expected<AgentConfig, Error> AgentConfig::load_or_generate(const std::filesystem::path& path,
                                                                 const util::CancellationToken* token) {
  SV_TRACE(lg(), "Loading or generating agent config from {}", path.string());
  const std::uint8_t difficulty = get_env_min_pow_difficulty();
  SV_TRACE(lg(), "Using min PoW difficulty: {}", difficulty);

  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) {
    auto config = load(path);
    if (!config) return config;
    SV_TRACE(lg(), "Config loaded successfully");
    return config;
  }
  // Only a file that is not there counts as absent; any other failure is
  // reported, so a passing fault never replaces the node's identity.
  if (errno != ENOENT) return Unexpected(errno_error(errno));

  SV_INFO(lg(), "Config file '{}' does not exist, generating new one (this might take some time due to the PoW)",
          path.string());
  // The proof of work is costly: first make sure the file can be written.
  std::filesystem::path dir = save_target(path).parent_path();
  if (dir.empty()) dir = ".";
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return Unexpected(errno_error(errno));
  auto identity = p2p::Identity::generate(difficulty, token);
  if (!identity) return Unexpected(Error::make(Error::Kind::IdentityError, identity.error().message()));
  SV_TRACE(lg(), "Generated new identity with public key: {}", identity->pk());
  AgentConfig config(std::move(*identity));
  if (auto saved = config.save(path); !saved) return Unexpected(std::move(saved).error());
  SV_TRACE(lg(), "Config loaded successfully");
  return config;
}

util::Expected<void, Error> AgentConfig::save(const std::filesystem::path& path) const {
  SV_TRACE(lg(), "Saving agent config to {}", path.string());
  const std::string text = write_agent_config(*this);
  SV_TRACE(lg(), "Successfully serialized config");
  // Never write what the next load would refuse.
  if (text.size() > kMaxConfigFileSize)
    return Unexpected(Error::io(fmt::format("config file '{}': the configuration is larger than the {} MiB limit",
                                            path.string(), kMaxConfigFileSize >> 20)));
  if (auto r = write_atomically(path, text); !r) return r;
  SV_TRACE(lg(), "Successfully wrote config file");
  return {};
}

std::uint16_t AgentConfig::default_mtu() { return get_env("ARM_MESSAGES", true) ? 1280 : 1328; }

std::string AgentConfig::controller_url() const {
  return controller ? controller->url_or_default() : std::string(kDefaultControllerUrl);
}

std::optional<std::string> AgentConfig::shared_secret() const {
  return controller ? controller->shared_secret : std::nullopt;
}

std::vector<p2p::SuperPeerUrl> AgentConfig::super_peers_or_default() const {
  return super_peers ? *super_peers : p2p::SUPER_PEERS_DEFAULT();
}

void AgentConfig::set_controller_status(ControllerConnectionStatus status) {
  if (!controller) controller.emplace();
  controller->status = std::move(status);
}

bool AgentConfig::same_settings(const AgentConfig& o) const {
  if (!(identity == o.identity && mtu == o.mtu && super_peers == o.super_peers &&
        update_check == o.update_check && auto_connect == o.auto_connect && dns == o.dns))
    return false;
  if (controller.has_value() != o.controller.has_value()) return false;
  if (controller) {
    const auto &a = *controller, &b = *o.controller;
    if (a.url != b.url || a.auth_url != b.auth_url || a.auth_client_id != b.auth_client_id ||
        a.display_login_email != b.display_login_email || a.shared_secret != b.shared_secret)
      return false;
  }
  if (network.size() != o.network.size()) return false;
  for (auto it = network.begin(), jt = o.network.begin(); it != network.end(); ++it, ++jt)
    if (!(it->first == jt->first) || !it->second.same_settings(jt->second)) return false;
  return true;
}

}  // namespace sarvolt::agent
