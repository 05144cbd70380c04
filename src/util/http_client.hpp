// HttpClient: a non-blocking HTTP(S) client on the shared io_context. Each
// request is an awaitable that resolves to the final response (status,
// headers, raw body bytes) or an HttpError. libcurl's multi interface is
// driven by Asio (socket readiness waits and one timer on a strand), so no
// runtime thread ever waits on the network. Per request: one total time
// limit (connect through the whole body), at most `max_redirects` redirects
// and only to http/https, a body cap, and cancellation through the awaiting
// coroutine's cancellation slot. Destroying the client completes its pending
// requests with Kind::Cancelled. The client and its requests must not outlive
// the io_context.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "util/expected.hpp"

namespace sarvolt::util {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpClientOptions {
  // Covers connecting, sending and reading the whole body; must be positive.
  std::chrono::milliseconds total_timeout{5000};
  // Redirects followed at most; a further one fails with Kind::Redirect.
  int max_redirects = 5;
  // Largest response body accepted; a larger (or larger declared) one fails
  // with Kind::TooLarge as soon as it is seen.
  std::size_t max_body = std::size_t{16} * 1024 * 1024;
  // A CA bundle file to trust; absent: the system store.
  std::optional<std::string> ca_file;
};

struct HttpRequest {
  std::string method = "GET";
  std::string url;  // http:// or https://
  // Sent in this order. libcurl adds only Host, and Content-Length when
  // there is a body; an empty value is sent as an empty header.
  HttpHeaders headers;
  std::optional<std::string> body;
};

struct HttpResponse {
  int status = 0;
  HttpHeaders headers;  // of the final response, in received order
  std::vector<std::uint8_t> body;
  std::string effective_url;  // after redirects, as libcurl reports it

  // The value of the first header of that name (compared
  // case-insensitively); it points into this response.
  std::optional<std::string_view> header(std::string_view name) const;
};

struct HttpError {
  enum class Kind { Timeout, Connect, Redirect, TooLarge, Tls, Cancelled, Other };
  Kind kind;
  std::string message;  // short, plain, never with URL user info
};

using HttpResult = Expected<HttpResponse, HttpError>;

class HttpClient {
 public:
  // Fails with Kind::Other on invalid options or when libcurl cannot be set
  // up. `executor` belongs to the io_context that runs the transfers.
  static Expected<std::shared_ptr<HttpClient>, HttpError> create(
      boost::asio::any_io_executor executor, HttpClientOptions options = {});

  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Safe to call from any thread and from many coroutines at once. A status
  // outside 2xx is a response, not an error. Invalid input (method, URL
  // scheme, header names or values) fails with Kind::Other before anything
  // is sent.
  boost::asio::awaitable<HttpResult> request(HttpRequest request) const;
  boost::asio::awaitable<HttpResult> get(std::string url, HttpHeaders headers = {}) const;

  const HttpClientOptions& options() const noexcept;

  class Impl;

 private:
  explicit HttpClient(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace sarvolt::util
