// sarvolt-super-peer: the super peer daemon. Listens on UDP, answers HELLOs,
// relays between registered nodes and unites them (relay_server.hpp). Prints
// its super peer URL on stdout at start; ends cleanly on SIGINT/SIGTERM.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <spdlog/sinks/stdout_sinks.h>

#include "platform/p2p/identity.hpp"
#include "platform/p2p/identity_table.hpp"
#include "platform/p2p/relay_server.hpp"
#include "util/file_read.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "util/toml_reader.hpp"
#include "util/toml_writer.hpp"

namespace asio = boost::asio;
using udp = asio::ip::udp;
using namespace sarvolt;

SV_LOGGER("sarvolt_p2p::super_peer")

namespace {

constexpr std::string_view kUsage = R"(usage: sarvolt-super-peer [options]
  --listen ADDR:PORT        UDP address to listen on (default 0.0.0.0:22527)
  --identity FILE           identity file, created on first run (default super-peer.identity)
  --default-identity        use the identity of the built-in default super peer list instead
  --network-id N            network id of this overlay (default 1)
  --min-pow-difficulty N    least proof of work a node needs (default: the
                            environment variable SARVOLT_MIN_POW_DIFFICULTY, else 24)
  --node-expiry-ms N        forget a node not heard from for this long (default 60000)
  --url-host HOST           host in the printed URL (default: the listen address,
                            127.0.0.1 when it is a wildcard)
  --log-level LEVEL         trace, debug, info, warn, error or off (default info)
)";

struct Args {
  udp::endpoint listen{asio::ip::address_v4::any(), 22527};
  std::string identity_file = "super-peer.identity";
  bool default_identity = false;
  std::int32_t network_id = 1;
  std::optional<std::uint8_t> min_pow;
  std::uint64_t expiry_ms = 60000;
  std::optional<std::string> url_host;
  std::string log_level = "info";
};

template <class T>
bool parse_number(std::string_view text, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size();
}

std::optional<udp::endpoint> parse_endpoint(std::string_view text) {
  std::string_view host, port;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  boost::system::error_code ec;
  const auto addr = asio::ip::make_address(std::string(host), ec);
  std::uint16_t p = 0;
  if (ec || !parse_number(port, p)) return std::nullopt;
  return udp::endpoint(addr, p);
}

// Returns an error text, or nothing when the arguments are fine.
std::optional<std::string> parse_args(int argc, char** argv, Args& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::string();
    if (arg == "--default-identity") {
      a.default_identity = true;
      continue;
    }
    static constexpr std::string_view kWithValue[] = {"--listen",         "--identity",   "--network-id",
                                                      "--min-pow-difficulty", "--node-expiry-ms", "--url-host",
                                                      "--log-level"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), arg) == std::end(kWithValue))
      return "unknown option " + std::string(arg);
    if (i + 1 >= argc) return "missing value for " + std::string(arg);
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--listen") {
      const auto ep = parse_endpoint(value);
      ok = ep.has_value();
      if (ok) a.listen = *ep;
    } else if (arg == "--identity") {
      a.identity_file = value;
    } else if (arg == "--network-id") {
      ok = parse_number(value, a.network_id);
    } else if (arg == "--min-pow-difficulty") {
      unsigned v = 0;
      ok = parse_number(value, v) && v <= 255;
      a.min_pow = static_cast<std::uint8_t>(v);
    } else if (arg == "--node-expiry-ms") {
      ok = parse_number(value, a.expiry_ms) && a.expiry_ms > 0;
    } else if (arg == "--url-host") {
      a.url_host = std::string(value);
    } else if (arg == "--log-level") {
      a.log_level = value;
      ok = spdlog::level::from_str(a.log_level) != spdlog::level::off || value == "off";
    }
    if (!ok) return "invalid value for " + std::string(arg) + ": " + std::string(value);
  }
  return std::nullopt;
}

// The minimum difficulty the agents use: SARVOLT_MIN_POW_DIFFICULTY as an
// unsigned 8-bit decimal number (a leading "+" allowed), else 24.
std::uint8_t env_min_pow_difficulty() {
  const char* v = std::getenv("SARVOLT_MIN_POW_DIFFICULTY");
  if (!v || !util::is_valid_utf8(v)) return 24;
  const auto n = util::parse_unsigned(v, 255);
  return n ? static_cast<std::uint8_t>(*n) : 24;
}

// The first form of the identity file: "secret_key = HEX" and "pow = N" lines.
std::optional<p2p::Identity> read_legacy_identity(const std::string& text, std::string& error) {
  std::istringstream in(text);
  std::optional<p2p::SecKey> sk;
  std::optional<std::int32_t> pow;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    auto trim = [](std::string s) {
      const auto b = s.find_first_not_of(" \t\"");
      const auto e = s.find_last_not_of(" \t\"\r");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (key == "secret_key") {
      auto parsed = p2p::SecKey::from_str(value);
      if (!parsed) {
        error = parsed.error().message();
        return std::nullopt;
      }
      sk = *parsed;
    } else if (key == "pow") {
      std::int32_t v = 0;
      if (!parse_number(std::string_view(value), v)) {
        error = "invalid pow";
        return std::nullopt;
      }
      pow = v;
    }
  }
  if (!sk || !pow) {
    error = "expected an [identity] table with sk and pow";
    return std::nullopt;
  }
  return p2p::Identity(*sk, p2p::Pow(*pow));
}

// The [identity] table of the agent configuration file: sk and pow.
std::optional<p2p::Identity> read_identity_table(const toml::node& value, std::string& error) {
  auto id = p2p::read_identity_table(value);
  if (id) return std::move(*id);
  error = util::toml_read::within(std::move(id).error(), "identity").to_string();
  return std::nullopt;
}

// The identity file holds the agent configuration file's [identity] table;
// a file of the first form (secret_key and pow lines) is read as well.
std::optional<p2p::Identity> read_identity(const std::string& path, std::string& error) {
  // A regular file only, bounded: a FIFO or a device is refused, not waited on.
  auto read = util::read_regular_file(path.c_str(), 64 * 1024);
  if (!read) {
    error = read.error().code ? read.error().code.message() : read.error().reason;
    return std::nullopt;
  }
  const std::string& text = *read;
  auto doc = util::toml_read::parse_document(text);
  if (doc) {
    if (const auto* table = doc->get("identity")) return read_identity_table(*table, error);
    if (!doc->contains("secret_key")) {
      error = "missing field `identity`";
      return std::nullopt;
    }
  }
  return read_legacy_identity(text, error);
}

// Written to a temporary file (mode 0600) that is then renamed over `path`.
bool write_identity(const std::string& path, const p2p::Identity& id, std::string& error) {
  const std::string tmp = path + ".tmp";
  // A new file of our own: whatever lies at the name (a killed run's file, a
  // link) is removed, never written through.
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  util::TomlWriter out;
  out.table("identity");
  out.string("sk", id.sk().to_string());
  out.integer("pow", id.pow().value());
  const std::string& text = out.str();
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    error = std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  const auto dir = std::filesystem::path(path).parent_path();
  const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (const auto err = parse_args(argc, argv, args)) {
    if (err->empty()) {
      std::cout << kUsage;
      return 0;
    }
    std::cerr << "sarvolt-super-peer: " << *err << "\n" << kUsage;
    return 2;
  }
  auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  log::shared_sink()->add_sink(sink);
  log::set_level(spdlog::level::from_str(args.log_level));

  std::optional<p2p::Identity> identity;
  if (args.default_identity) {
    identity = p2p::default_super_peer_identity();
  } else if (std::filesystem::exists(args.identity_file)) {
    std::string error;
    identity = read_identity(args.identity_file, error);
    if (!identity) {
      std::cerr << "sarvolt-super-peer: cannot read identity file " << args.identity_file << ": " << error << "\n";
      return 1;
    }
  } else {
    auto generated = p2p::Identity::generate(0);  // nodes do not check a super peer's proof of work
    std::string error;
    if (!generated || !write_identity(args.identity_file, *generated, error)) {
      std::cerr << "sarvolt-super-peer: cannot create identity file " << args.identity_file << ": "
                << (generated ? error : generated.error().message()) << "\n";
      return 1;
    }
    identity = *generated;
    SV_INFO(lg(), "Created identity file {}", args.identity_file);
  }

  asio::io_context io(1);
  p2p::RelayOptions options;
  options.network_id = args.network_id;
  options.min_pow_difficulty = args.min_pow.value_or(env_min_pow_difficulty());
  options.node_expiry = std::chrono::milliseconds(args.expiry_ms);
  std::optional<p2p::RelayServer> server;
  try {
    server.emplace(io.get_executor(), *identity, options, args.listen);
  } catch (const boost::system::system_error& e) {
    std::cerr << "sarvolt-super-peer: cannot listen on " << p2p::to_string(args.listen) << ": " << e.code().message()
              << "\n";
    return 1;
  }
  // Handled before the URL is out: whoever reads it may stop the daemon at once.
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int signo) {
    if (ec) return;
    SV_INFO(lg(), "Signal {} received, stopping", signo);
    server->stop();
  });
  const auto local = server->local_endpoint();
  std::string host = args.url_host.value_or(
      local.address().is_unspecified() ? std::string("127.0.0.1") : local.address().to_string());
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  std::cout << "udp://" << host << ":" << local.port() << "?publicKey=" << identity->pk().to_string()
            << "&networkId=" << args.network_id << std::endl;
  SV_INFO(lg(), "Super peer {} listening on {} (network id {}, minimum proof-of-work difficulty {})", identity->pk(),
          p2p::to_string(local), options.network_id, options.min_pow_difficulty);

  bool failed = false;
  asio::co_spawn(io, server->run(), [&](std::exception_ptr e) {
    signals.cancel();
    if (!e) return;
    failed = true;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& err) {
      SV_ERROR(lg(), "I/O error: {}", err.what());
    }
  });
  io.run();
  const auto& c = server->core().counters();
  SV_INFO(lg(), "Super peer stopped: {} datagrams received, {} relayed, {} dropped from unregistered senders",
          c.received, c.relayed, c.dropped_unregistered);
  return failed ? 1 : 0;
}
