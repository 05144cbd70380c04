// ControllerClient: the agent's client of the controller's HTTP API. Built
// per operation from the controller URL (a plain prefix of every path), an
// authentication mode and optionally the node's public key; sends one
// request on its own non-blocking HTTP client (5 s total limit, at most 5
// redirects) and maps every failure to a controller Error.
//   build_request            headers in a fixed order, the HMAC scheme
//   request_raw / request_unit   serialise, send, read the answer as text
//   upload_metrics           PUT /nodes/me/metrics (HMAC mode only)
//   get_networks_config_toml GET /nodes/me/networks/config.toml, parsed
// HMAC scheme: "HMAC-Auth {ts}:sha256:32:hmac:{mac}", mac = base64url
// (no padding) of HMAC-SHA256 under the shared secret (base64url without
// padding, decoded strictly) of node_hmac_message_bytes(ts, body).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "controller/error.hpp"
#include "network/config/network_config.hpp"
#include "platform/controller_api/controller_api.hpp"
#include "platform/p2p/identity.hpp"
#include "util/expected.hpp"
#include "util/http_client.hpp"

namespace sarvolt::controller {

struct NoAuth {};
struct BearerToken {
  std::string token;
};
struct HmacSecret {
  std::string shared_secret;
};
using ControllerAuth = std::variant<NoAuth, BearerToken, HmacSecret>;

// The key a shared secret stands for: base64 with the URL-safe alphabet and
// no padding; padding, other characters and non-zero trailing bits are
// refused (nullopt).
std::optional<std::vector<std::uint8_t>> decode_shared_secret(std::string_view secret);

// The Authorization value of the HMAC scheme at `timestamp` (Unix seconds).
// RequestBuildFailed when the secret gives no key or no message can be
// formed; the reason never shows the secret.
util::Expected<std::string, Error> hmac_authorization(std::string_view shared_secret, std::int64_t timestamp,
                                                      std::span<const std::uint8_t> body);

class ControllerClient {
 public:
  // ClientBuildFailed when the HTTP client cannot be built. `executor` runs
  // the transfers.
  static util::Expected<ControllerClient, Error> create(boost::asio::any_io_executor executor, std::string base_url,
                                                        ControllerAuth auth, std::optional<p2p::PubKey> node_pk);

  const std::string& base_url() const noexcept { return base_url_; }
  const ControllerAuth& auth() const noexcept { return auth_; }
  const std::optional<p2p::PubKey>& node_pk() const noexcept { return node_pk_; }

  // The request for `method` on base_url + path: Connection, Authorization,
  // sarvolt-pk, then Accept (or, without one, Content-Type
  // "application/json"), Content-Type once more only for a body when not set
  // yet. Values the HTTP layer rejects make the send fail. Fails only for the
  // HMAC scheme (RequestBuildFailed), and then nothing must be sent.
  util::Expected<util::HttpRequest, Error> build_request(std::string_view method, std::string_view path,
                                                         std::string body,
                                                         std::optional<std::string_view> accept) const;

  // The answer's text for a 2xx status. `body`, when given, is sent as
  // compact JSON.
  boost::asio::awaitable<util::Expected<std::string, Error>> request_raw(std::string method, std::string path,
                                                                         std::optional<nlohmann::ordered_json> body,
                                                                         std::optional<std::string> accept) const;
  boost::asio::awaitable<util::Expected<void, Error>> request_unit(std::string method, std::string path,
                                                                   std::optional<nlohmann::ordered_json> body,
                                                                   std::optional<std::string> accept) const;

  boost::asio::awaitable<util::Expected<void, Error>> upload_metrics(
      const controller_api::UpdateNodeMetricsRequest& request) const;
  boost::asio::awaitable<util::Expected<network::MultiNetworkConfig, Error>> get_networks_config_toml() const;

 private:
  ControllerClient(std::string base_url, ControllerAuth auth, std::optional<p2p::PubKey> node_pk,
                   std::shared_ptr<util::HttpClient> http)
      : base_url_(std::move(base_url)), auth_(std::move(auth)), node_pk_(std::move(node_pk)), http_(std::move(http)) {}

  struct Answer {
    int status;
    std::string text;
  };
  // Sends, reads the whole body and decodes it as text (charset of
  // Content-Type, UTF-8 by default).
  boost::asio::awaitable<util::Expected<Answer, Error>> send(util::HttpRequest request) const;

  std::string base_url_;
  ControllerAuth auth_;
  std::optional<p2p::PubKey> node_pk_;
  std::shared_ptr<util::HttpClient> http_;
};

}  // namespace sarvolt::controller
