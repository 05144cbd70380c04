// The exported C functions: handle cells, result codes, and the adaptation
// between C and the agent (blocking on the runtime, the callback adapter).
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <fmt/format.h>

#include "agent/agent.hpp"
#include "agent/status.hpp"
#include "platform/log/unified_log.hpp"
#include "sarvolt_agent.h"
#include "util/block_on.hpp"
#include "util/log.hpp"
#include "util/text.hpp"
#include "version_info.hpp"

SV_LOGGER("sarvolt_agent::ffi")

namespace {

namespace asio = boost::asio;
using sarvolt::core::Error;
using sarvolt::agent::AgentConfig;

constexpr std::int32_t kOk = SARVOLT_AGENT_OK;
constexpr std::int32_t kUtf8 = SARVOLT_AGENT_ERR_UTF8;
constexpr std::int32_t kFailed = SARVOLT_AGENT_ERR_FAILED;

// The codes of the agent error's sixteen kinds, in kind order.
constexpr std::int32_t kErrorCodes[Error::kKindCount] = {-101, -104, -105, -106, -108, -109, -110, -111,
                                                         -112, -113, -114, -115, -117, -116, -118, -119};

std::int32_t code_of(const Error& e) { return kErrorCodes[static_cast<int>(e.kind())]; }

// The io_context and its worker threads, shared by the runtime handle and
// every agent and device made on it.
struct RuntimeCore {
  RuntimeCore() {
    const unsigned n = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i) threads.emplace_back([this] { io.run(); });
  }
  ~RuntimeCore() { stop(); }

  void stop() {
    std::lock_guard lock(mutex);
    work.reset();
    io.stop();
    for (auto& t : threads)
      if (t.joinable()) t.join();
    threads.clear();
  }

  // Refused inside the runtime (it would wait for itself) and after stop.
  bool can_block(const char* what) {
    if (io.get_executor().running_in_this_thread()) {
      SV_WARN(lg(), "{} refused: called from a runtime thread (e.g. the network-change callback)", what);
      return false;
    }
    if (io.stopped()) {
      SV_WARN(lg(), "{} refused: the runtime was released", what);
      return false;
    }
    return true;
  }

  template <class T>
  T block_on(asio::awaitable<T> task) {
    return sarvolt::util::block_on(io.get_executor(), std::move(task));
  }

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::mutex mutex;
  std::vector<std::thread> threads;
};

// A string from the host: NULL stays empty, invalid UTF-8 is refused.
enum class Text { Ok, Null, NotUtf8 };
Text read_text(const char* p, std::string& out) {
  if (!p) return Text::Null;
  std::string s(p);
  if (!sarvolt::util::is_valid_utf8(s)) return Text::NotUtf8;
  out = std::move(s);
  return Text::Ok;
}

char* new_c_string(std::string_view s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (!p) return nullptr;
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

// The listing array keeps its count in front of the records.
struct NetworkList {
  std::int64_t count;
  NetworkInfo records[1];
};
NetworkList* list_of(const NetworkInfo* records) {
  return reinterpret_cast<NetworkList*>(reinterpret_cast<char*>(const_cast<NetworkInfo*>(records)) -
                                        offsetof(NetworkList, records));
}
const NetworkInfo* record_at(const NetworkInfo* records, std::int32_t index) {
  if (!records || index < 0 || index >= list_of(records)->count) return nullptr;
  return &records[index];
}

std::string join_nets(const std::optional<std::vector<sarvolt::util::Ipv4Net>>& nets) {
  if (!nets) return {};
  return fmt::format("{}", fmt::join(*nets, ","));
}

}  // namespace

struct RuntimePtr {
  std::shared_ptr<RuntimeCore> core;
};
struct AgentConfigPtr {
  AgentConfig config;
};
struct AgentPtr {
  std::shared_ptr<RuntimeCore> core;
  std::optional<sarvolt::agent::Agent> agent;
};
struct TunDevicePtr {
  std::shared_ptr<sarvolt::util::AsyncTun> device;
};

extern "C" {

// ---- runtime, logging, version --------------------------------------------------

const char* sarvolt_agent_version(void) {
  static const std::string text = [] {
    const sarvolt::VersionInfo v;
    return v.version + " (" + v.full_commit() + ")";
  }();
  return text.c_str();
}

int32_t sarvolt_agent_init_logging(void) {
  try {
    return sarvolt::unified_log::install() ? kOk : kFailed;
  } catch (...) {
    return kFailed;
  }
}

int32_t sarvolt_agent_runtime(RuntimePtr** out) {
  if (!out) return kFailed;
  try {
    *out = new RuntimePtr{std::make_shared<RuntimeCore>()};
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

void sarvolt_agent_runtime_free(RuntimePtr* runtime) {
  if (!runtime) return;
  if (runtime->core->io.get_executor().running_in_this_thread()) {
    SV_WARN(lg(), "sarvolt_agent_runtime_free refused: called from a runtime thread");
    return;
  }
  try {
    runtime->core->stop();
  } catch (...) {
  }
  delete runtime;
}

// ---- configuration file ------------------------------------------------------------

int32_t sarvolt_agent_config_load_or_generate(const char* path, AgentConfigPtr** out) {
  if (!path || !out) return kFailed;
  std::string p;
  if (read_text(path, p) != Text::Ok) return kUtf8;
  try {
    auto config = AgentConfig::load_or_generate(p);
    if (!config) {
      SV_WARN(lg(), "Error loading config: {}", config.error());
      return code_of(config.error());
    }
    *out = new AgentConfigPtr{std::move(*config)};
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

int32_t sarvolt_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out) {
  if (!config || !out) return kFailed;
  const auto& bytes = config->config.identity.pk().bytes();
  std::memcpy(out, bytes.data(), bytes.size());
  return kOk;
}

void sarvolt_agent_config_free(AgentConfigPtr* config) {
  if (!config) return;
  SV_TRACE(lg(), "Freeing AgentConfigPtr");
  delete config;
}

}  // extern "C"

namespace {

enum class Edit { Add, Remove, Enable, Disable };

std::int32_t edit_network(const char* path, const char* url, Edit edit) {
  if (!path || !url) return kFailed;
  const bool disable = edit == Edit::Disable;
  std::string p, u;
  if (disable) SV_TRACE(lg(), "Extracting path string from pointer");
  if (read_text(path, p) != Text::Ok) {
    if (disable) SV_TRACE(lg(), "Failed to convert path to string, returning ERR_UTF8");
    return kUtf8;
  }
  if (disable) SV_TRACE(lg(), "Extracting network URL string from pointer");
  if (read_text(url, u) != Text::Ok) {
    if (disable) SV_TRACE(lg(), "Failed to convert network_url to string, returning ERR_UTF8");
    return kUtf8;
  }
  try {
    const bool generate = edit == Edit::Enable || edit == Edit::Disable;
    auto config = generate ? AgentConfig::load_or_generate(p) : AgentConfig::load(p);
    if (!config) {
      SV_WARN(lg(), "Error loading config: {}", config.error());
      return kFailed;
    }
    auto parsed = sarvolt::util::Url::parse(u);
    if (!parsed) return SARVOLT_AGENT_ERR_URL;
    auto& networks = config->network;
    auto it = networks.find(*parsed);
    switch (edit) {
      case Edit::Add:
        if (it != networks.end()) return SARVOLT_AGENT_ERR_EXISTS;
        networks.emplace(*parsed, sarvolt::network::Network(*parsed));
        break;
      case Edit::Remove:
        if (it == networks.end()) return SARVOLT_AGENT_ERR_NOT_FOUND;
        networks.erase(it);
        break;
      case Edit::Enable:
      case Edit::Disable:
        if (it == networks.end()) return SARVOLT_AGENT_ERR_NOT_FOUND;
        if (it->second.disabled == disable) return disable ? SARVOLT_AGENT_ERR_DISABLED : SARVOLT_AGENT_ERR_ENABLED;
        it->second.disabled = disable;
        break;
    }
    if (auto saved = config->save(p); !saved) {
      SV_WARN(lg(), "Error saving config: {}", saved.error());
      return kFailed;
    }
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

}  // namespace

extern "C" {

int32_t sarvolt_agent_config_network_add(const char* path, const char* network_url) {
  return edit_network(path, network_url, Edit::Add);
}
int32_t sarvolt_agent_config_network_remove(const char* path, const char* network_url) {
  return edit_network(path, network_url, Edit::Remove);
}
int32_t sarvolt_agent_config_network_enable(const char* path, const char* network_url) {
  return edit_network(path, network_url, Edit::Enable);
}
int32_t sarvolt_agent_config_network_disable(const char* path, const char* network_url) {
  return edit_network(path, network_url, Edit::Disable);
}

int32_t sarvolt_agent_config_networks(const char* path, NetworkInfo** out, int32_t* count) {
  if (!path || !out || !count) return kFailed;
  std::string p;
  if (read_text(path, p) != Text::Ok) return kUtf8;
  try {
    auto config = AgentConfig::load(p);
    if (!config) {
      SV_WARN(lg(), "Error loading config: {}", config.error());
      return kFailed;
    }
    const auto n = config->network.size();
    if (n == 0) {
      *out = nullptr;
      *count = 0;
      return kOk;
    }
    if (n > static_cast<std::size_t>(INT32_MAX)) return kFailed;
    auto* list = static_cast<NetworkList*>(
        std::calloc(1, offsetof(NetworkList, records) + n * sizeof(NetworkInfo)));
    if (!list) return kFailed;
    list->count = static_cast<std::int64_t>(n);
    std::size_t i = 0;
    for (const auto& [url, net] : config->network) {
      auto& r = list->records[i++];
      r.url = new_c_string(url.as_str());
      r.disabled = net.disabled ? 1 : 0;
      const bool has_nul = net.name && net.name->find('\0') != std::string::npos;
      r.name = net.name && !has_nul ? new_c_string(*net.name) : nullptr;
    }
    *out = list->records;
    *count = static_cast<std::int32_t>(n);
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

const char* sarvolt_agent_network_url(const NetworkInfo* networks, int32_t index) {
  const auto* r = record_at(networks, index);
  return r ? r->url : nullptr;
}

int32_t sarvolt_agent_network_disabled(const NetworkInfo* networks, int32_t index) {
  const auto* r = record_at(networks, index);
  return r ? r->disabled : -1;
}

const char* sarvolt_agent_network_name(const NetworkInfo* networks, int32_t index) {
  const auto* r = record_at(networks, index);
  return r ? r->name : nullptr;
}

void sarvolt_agent_config_networks_free(NetworkInfo* networks, int32_t /*count*/) {
  if (!networks) return;
  auto* list = list_of(networks);
  for (std::int64_t i = 0; i < list->count; ++i) {
    auto& r = list->records[i];
    if (r.url) {
      SV_TRACE(lg(), "Dropping NetworkInfo url and freeing CString");
      std::free(const_cast<char*>(r.url));
    }
    if (r.name) {
      SV_TRACE(lg(), "Dropping NetworkInfo name and freeing CString");
      std::free(const_cast<char*>(r.name));
    }
  }
  std::free(list);
}

// ---- agent -------------------------------------------------------------------------

int32_t sarvolt_agent_tun_device_create(RuntimePtr* runtime, int32_t fd, TunDevicePtr** out) {
  if (!runtime || !out) return kFailed;
  auto& core = *runtime->core;
  if (!core.can_block("sarvolt_agent_tun_device_create")) return kFailed;
  // Only a TUN device is taken over; anything else stays the caller's.
  ifreq req{};
  if (fd < 0 || ::ioctl(fd, TUNGETIFF, &req) != 0) {
    SV_TRACE(lg(), "Failed to create TUN device from file descriptor {}", fd);
    return kFailed;
  }
  try {
    auto device = sarvolt::util::AsyncTun::create(core.io.get_executor(), fd);
    if (!device) {
      SV_TRACE(lg(), "Failed to create TUN device from file descriptor {}", fd);
      return kFailed;
    }
    *out = new TunDevicePtr{std::move(*device)};
    return kOk;
  } catch (...) {
    return kFailed;
  }
}

void sarvolt_agent_tun_device_free(TunDevicePtr* tun) { delete tun; }

int32_t sarvolt_agent_start(RuntimePtr* runtime, const AgentConfigPtr* config, const char* path,
                            const TunDevicePtr* tun, sarvolt_agent_network_change_callback callback, void* /*unused*/,
                            AgentPtr** out) {
  if (!runtime || !config || !path || !out) return kFailed;
  std::string p;
  if (read_text(path, p) != Text::Ok) return kUtf8;
  auto core = runtime->core;
  if (!core->can_block("sarvolt_agent_start")) return kFailed;
  try {
    sarvolt::agent::PlatformDependent platform;
    if (tun) platform.tun_device = tun->device;
    if (callback) {
      platform.listener = [callback](sarvolt::agent::NetworkChange change) {
        const auto ips = join_nets(change.ips);
        const auto routes = join_nets(change.routes);
        const auto dns = change.dns_server ? fmt::format("{}", *change.dns_server) : std::string();
        SV_TRACE(lg(), "Calling network_change_callback with NetworkChange: ips='{}', routes='{}'", ips, routes);
        const NetworkChangeInfo info{ips.c_str(), routes.c_str(), dns.c_str()};
        callback(&info);
      };
    }
    auto started =
        core->block_on(sarvolt::agent::Agent::start(AgentConfig(config->config), std::move(p), std::move(platform)));
    if (!started) {
      SV_WARN(lg(), "Agent start failed: {}", started.error());
      return code_of(started.error());
    }
    *out = new AgentPtr{core, std::move(*started)};
    return kOk;
  } catch (const std::exception& e) {
    SV_ERROR(lg(), "Agent start failed: {}", e.what());
    return kFailed;
  }
}

int32_t sarvolt_agent_shutdown(RuntimePtr* runtime, AgentPtr* agent) {
  if (!runtime || !agent || !agent->agent) return kFailed;
  if (!agent->core->can_block("sarvolt_agent_shutdown")) return kFailed;
  try {
    agent->core->block_on(agent->agent->shutdown());
  } catch (const std::exception& e) {
    SV_ERROR(lg(), "Agent shutdown failed: {}", e.what());
  }
  return kOk;
}

void sarvolt_agent_free(AgentPtr* agent) {
  if (!agent) return;
  auto& core = *agent->core;
  if (core.io.get_executor().running_in_this_thread()) {
    SV_WARN(lg(), "sarvolt_agent_free refused: called from a runtime thread (e.g. the network-change callback)");
    return;
  }
  try {
    // Nothing of the agent outlives its handle: its tasks are stopped and
    // awaited while the runtime still runs.
    if (agent->agent && !core.io.stopped()) core.block_on(agent->agent->release());
  } catch (...) {
  }
  agent->agent.reset();
  delete agent;
}

int32_t sarvolt_agent_close_udp_sockets(AgentPtr* agent) {
  if (!agent || !agent->agent) return kFailed;
  SV_TRACE(lg(), "FFI: Starting UDP sockets closure");
  SV_TRACE(lg(), "FFI: Closing all UDP sockets");
  auto& table = agent->agent->node()->udp_socket_table();
  std::vector<sarvolt::p2p::UdpSocketRef> closing;
  {
    std::lock_guard lock(table.mutex);
    SV_TRACE(lg(), "FFI: Found {} UDP sockets", table.sockets.size());
    for (auto& [addr, socket] : table.sockets) closing.push_back(std::move(socket));
    table.sockets.clear();  // keeps its buckets
  }
  closing.clear();  // releasing the handles closes the sockets
  SV_TRACE(lg(), "FFI: All UDP sockets closed");
  SV_TRACE(lg(), "FFI: Operation successful");
  return kOk;
}

char* sarvolt_agent_status(RuntimePtr* runtime, AgentPtr* agent) {
  if (!runtime || !agent || !agent->agent) return nullptr;
  SV_TRACE(lg(), "FFI: Starting agent status request");
  SV_TRACE(lg(), "FFI: Converted runtime and agent pointers");
  if (!agent->core->can_block("sarvolt_agent_status")) return nullptr;
  try {
    auto text = agent->core->block_on(sarvolt::agent::status_report(*agent->agent));
    SV_TRACE(lg(), "FFI: Status request completed successfully");
    if (text.find('\0') != std::string::npos) return new_c_string("Status generation failed");
    return new_c_string(text);
  } catch (...) {
    return new_c_string("Status generation failed");
  }
}

const char* sarvolt_agent_network_change_ips(const NetworkChangeInfo* change) { return change ? change->ips : nullptr; }
const char* sarvolt_agent_network_change_routes(const NetworkChangeInfo* change) {
  return change ? change->routes : nullptr;
}
const char* sarvolt_agent_network_change_dns_server(const NetworkChangeInfo* change) {
  return change ? change->dns_server : nullptr;
}

}  // extern "C"
