#include "controller/client.hpp"

#include <sodium.h>

#include <chrono>

#include "core/error.hpp"
#include "platform/p2p/crypto.hpp"
#include "util/encoding.hpp"
#include "util/log.hpp"
#include "util/url.hpp"

namespace sarvolt::controller {

SV_LOGGER("sarvolt_agent::controller::client")

namespace asio = boost::asio;
using util::Expected;
using util::Unexpected;
using K = Error::Kind;

namespace {

constexpr int kB64 = sodium_base64_VARIANT_URLSAFE_NO_PADDING;

std::string base64url(std::span<const std::uint8_t> bytes) {
  std::string out(sodium_base64_encoded_len(bytes.size(), kB64), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(), kB64);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}

std::int64_t unix_now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::floor<std::chrono::seconds>(since).count();
}

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_shared_secret(std::string_view secret) {
  std::vector<std::uint8_t> key(secret.size() * 3 / 4 + 1);
  std::size_t len = 0;
  const char* end = nullptr;
  // With an end pointer the decoder stops at the first foreign character
  // ('=' included) and still succeeds; the whole text must be consumed.
  if (sodium_base642bin(key.data(), key.size(), secret.data(), secret.size(), nullptr, &len, &end, kB64) != 0 ||
      end != secret.data() + secret.size())
    return std::nullopt;
  key.resize(len);
  return key;
}

Expected<std::string, Error> hmac_authorization(std::string_view shared_secret, std::int64_t timestamp,
                                                std::span<const std::uint8_t> body) {
  const auto key = decode_shared_secret(shared_secret);
  if (!key)
    return Unexpected(
        Error::make(K::RequestBuildFailed, "the shared secret is not valid base64url (URL-safe alphabet, no padding)"));
  const auto message = controller_api::node_hmac_message_bytes(timestamp, body);
  if (!message) return Unexpected(Error::make(K::RequestBuildFailed, "no HMAC message for the request"));
  const auto mac = p2p::crypto::hmac_sha256(*key, *message);
  return fmt::format("HMAC-Auth {}:sha256:32:hmac:{}", timestamp, base64url(mac));
}

Expected<ControllerClient, Error> ControllerClient::create(asio::any_io_executor executor, std::string base_url,
                                                           ControllerAuth auth, std::optional<p2p::PubKey> node_pk) {
  util::HttpClientOptions options;
  options.total_timeout = std::chrono::seconds(5);
  options.max_redirects = 5;
  auto http = util::HttpClient::create(std::move(executor), options);
  if (!http)
    return Unexpected(Error::make(K::ClientBuildFailed, "Failed to create HTTP client: " + http.error().message));
  return ControllerClient(std::move(base_url), std::move(auth), std::move(node_pk), std::move(*http));
}

Expected<util::HttpRequest, Error> ControllerClient::build_request(std::string_view method, std::string_view path,
                                                                   std::string body,
                                                                   std::optional<std::string_view> accept) const {
  util::HttpRequest req;
  req.method = std::string(method);
  req.url = base_url_ + std::string(path);
  SV_TRACE(lg(), "Controller API request: {} {}", req.method, util::mask_userinfo(req.url));
  req.headers.emplace_back("Connection", "close");
  if (const auto* bearer = std::get_if<BearerToken>(&auth_)) {
    req.headers.emplace_back("Authorization", "Bearer " + bearer->token);
  } else if (const auto* hmac = std::get_if<HmacSecret>(&auth_)) {
    auto value = hmac_authorization(hmac->shared_secret, unix_now(), bytes_of(body));
    if (!value) return Unexpected(std::move(value).error());
    req.headers.emplace_back("Authorization", std::move(*value));
  }
  if (node_pk_) req.headers.emplace_back("sarvolt-pk", node_pk_->to_string());
  if (accept)
    req.headers.emplace_back("Accept", std::string(*accept));
  else
    req.headers.emplace_back("Content-Type", "application/json");
  if (!body.empty()) {
    if (accept) req.headers.emplace_back("Content-Type", "application/json");
    req.body = std::move(body);
  }
  return req;
}

asio::awaitable<Expected<ControllerClient::Answer, Error>> ControllerClient::send(util::HttpRequest request) const {
  auto response = co_await http_->request(std::move(request));
  if (!response) {
    const auto& e = response.error();
    if (e.kind == util::HttpError::Kind::TooLarge)
      co_return Unexpected(Error::make(K::ResponseBodyReadFailed, "Failed to read response body: " + e.message));
    co_return Unexpected(Error::make(K::RequestFailed, "HTTP request failed: " + e.message));
  }
  auto text = util::decode_body(response->body, response->header("Content-Type"));
  SV_TRACE(lg(), "Controller API response status: {}", core::http_status_text(response->status));
  co_return Answer{response->status, std::move(text)};
}

asio::awaitable<Expected<std::string, Error>> ControllerClient::request_raw(std::string method, std::string path,
                                                                            std::optional<nlohmann::ordered_json> body,
                                                                            std::optional<std::string> accept) const {
  std::string bytes;
  if (body) {
    try {
      bytes = body->dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    } catch (const nlohmann::ordered_json::exception& e) {
      co_return Unexpected(
          Error::make(K::RequestBuildFailed, std::string("Failed to serialize request body: ") + e.what()));
    }
  }
  auto request = build_request(method, path, std::move(bytes), accept);
  if (!request) co_return Unexpected(std::move(request).error());
  auto answer = co_await send(std::move(*request));
  if (!answer) co_return Unexpected(std::move(answer).error());
  if (answer->status < 200 || answer->status > 299)
    co_return Unexpected(Error::response_error(answer->status, std::move(answer->text)));
  co_return std::move(answer->text);
}

asio::awaitable<Expected<void, Error>> ControllerClient::request_unit(std::string method, std::string path,
                                                                      std::optional<nlohmann::ordered_json> body,
                                                                      std::optional<std::string> accept) const {
  auto text = co_await request_raw(std::move(method), std::move(path), std::move(body), std::move(accept));
  if (!text) co_return Unexpected(std::move(text).error());
  co_return Expected<void, Error>{};
}

asio::awaitable<Expected<void, Error>> ControllerClient::upload_metrics(
    const controller_api::UpdateNodeMetricsRequest& request) const {
  if (!std::holds_alternative<HmacSecret>(auth_))
    co_return Unexpected(Error::make(K::RequestBuildFailed, "upload_metrics requires HMAC authentication"));
  // Arguments as named values: temporaries inside a co_await expression are
  // not safe with every compiler.
  std::string method = "PUT", path = "/nodes/me/metrics";
  std::optional<nlohmann::ordered_json> body = controller_api::to_json(request);
  co_return co_await request_unit(std::move(method), std::move(path), std::move(body), std::nullopt);
}

asio::awaitable<Expected<network::MultiNetworkConfig, Error>> ControllerClient::get_networks_config_toml() const {
  if (!node_pk_)
    co_return Unexpected(
        Error::make(K::RequestBuildFailed, "get_networks_config_toml requires node public key to be set"));
  auto request = build_request("GET", "/nodes/me/networks/config.toml", {}, "application/toml");
  if (!request) co_return Unexpected(std::move(request).error());
  auto answer = co_await send(std::move(*request));
  if (!answer) co_return Unexpected(std::move(answer).error());
  if (answer->status < 200 || answer->status > 299)
    co_return Unexpected(Error::response_error(answer->status, std::move(answer->text)));
  auto list = network::read_multi_network_config(answer->text);
  if (!list)
    co_return Unexpected(
        Error::make(K::ResponseBodyJsonFailed, "Failed to parse TOML response: " + list.error().to_string()));
  co_return std::move(*list);
}

}  // namespace sarvolt::controller
