#include "util/http_client.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "util/text.hpp"

namespace sarvolt::util {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * 1024;

std::string size_text(std::size_t n) {
  if (n != 0 && n % kMiB == 0) return fmt::format("{} MiB", n / kMiB);
  if (n != 0 && n % kKiB == 0) return fmt::format("{} KiB", n / kKiB);
  return fmt::format("{}-byte", n);
}

HttpError make_error(HttpError::Kind kind, std::string message) { return {kind, std::move(message)}; }

HttpError cancelled_error() { return make_error(HttpError::Kind::Cancelled, "request cancelled"); }

bool is_tchar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!is_tchar(c)) return false;
  return true;
}

// Visible characters, blanks and bytes >= 0x80; no CR, LF, NUL or other
// control characters.
bool is_field_value(std::string_view s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
  return true;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool has_header(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [n, v] : headers)
    if (iequals(n, name)) return true;
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// The user name and password of an absolute URL's authority (raw text),
// so that error texts can be checked for them.
std::vector<std::string> userinfo_parts(std::string_view url) {
  std::vector<std::string> parts;
  auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return parts;
  auto rest = url.substr(scheme_end + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  auto at = rest.rfind('@');
  if (at == std::string_view::npos) return parts;
  auto info = rest.substr(0, at);
  auto colon = info.find(':');
  for (auto p : {info.substr(0, colon),
                 colon == std::string_view::npos ? std::string_view{} : info.substr(colon + 1)})
    if (!p.empty()) parts.emplace_back(p);
  return parts;
}

}  // namespace

std::optional<std::string_view> HttpResponse::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (iequals(n, name)) return std::string_view(v);
  return std::nullopt;
}

namespace {

// One request: the easy handle, what curl's callbacks collect, and the
// channel that wakes the awaiting coroutine. Once queued, fields other than
// `done` are touched on the strand, and by the coroutine only after the
// channel has delivered. The easy handle is freed on the strand when the
// transfer ends.
struct Transfer {
  explicit Transfer(const asio::any_io_executor& ex) : done(ex, 1) {}
  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (header_list) curl_slist_free_all(header_list);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  enum class State { Queued, Active, Finished };
  State state = State::Queued;
  CURL* easy = nullptr;
  curl_slist* header_list = nullptr;
  std::string request_body;
  std::vector<std::string> userinfo;
  std::size_t max_body = 0;

  HttpHeaders headers;
  bool in_head = false;
  std::vector<std::uint8_t> body;
  bool too_large = false;
  char errbuf[CURL_ERROR_SIZE] = {};

  std::optional<HttpResult> result;
  asio::experimental::concurrent_channel<void(error_code)> done;
};

}  // namespace

class HttpClient::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(asio::any_io_executor ex, HttpClientOptions options, CURLM* multi)
      : ex_(std::move(ex)),
        strand_(asio::make_strand(ex_)),
        options_(std::move(options)),
        multi_(multi),
        timer_(strand_) {
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &Impl::on_socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &Impl::on_timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
  }

  // Runs with no other owner left: nothing else touches the members.
  ~Impl() {
    dying_ = true;
    for (auto& [easy, t] : active_) curl_multi_remove_handle(multi_, easy);
    sockets_.clear();
    curl_multi_cleanup(multi_);
  }

  const HttpClientOptions& options() const noexcept { return options_; }

  static asio::awaitable<HttpResult> run(std::shared_ptr<Impl> self, HttpRequest req) {
    auto prepared = self->prepare(std::move(req));
    if (!prepared) co_return Unexpected(std::move(prepared).error());
    std::shared_ptr<Transfer> t = std::move(prepared).value();
    asio::post(self->strand_, [self, t] { self->start(t); });
    error_code ec;
    try {
      std::tie(ec) = co_await t->done.async_receive(asio::as_tuple(asio::use_awaitable));
    } catch (const boost::system::system_error& e) {
      // Cancellation requested before the wait began.
      ec = e.code();
    }
    if (ec) {
      asio::post(self->strand_, [self, t] { self->abort(t); });
      co_return Unexpected(cancelled_error());
    }
    co_return std::move(*t->result);
  }

  // Completes every pending request with Cancelled and refuses new ones.
  void shutdown() {
    asio::post(strand_, [self = shared_from_this()] {
      self->closed_ = true;
      self->fail_all(cancelled_error());
    });
  }

 private:
  // A socket curl asked us to watch. We watch a duplicate of curl's
  // descriptor, so that the reactor never refers to a descriptor number
  // that curl may close and reuse on its own; the duplicate is deregistered
  // before it is closed.
  struct Watch {
    Watch(std::uint64_t id, asio::posix::stream_descriptor sd) : id(id), sd(std::move(sd)) {}
    ~Watch() {
      if (sd.is_open()) ::close(sd.release());
    }
    std::uint64_t id;
    asio::posix::stream_descriptor sd;
    int want = 0;
    bool reading = false;
    bool writing = false;
  };

  Expected<std::shared_ptr<Transfer>, HttpError> prepare(HttpRequest req) {
    using K = HttpError::Kind;
    if (!is_token(req.method)) return Unexpected(make_error(K::Other, "invalid request method"));
    const auto scheme_end = req.url.find("://");
    const auto scheme = std::string_view(req.url).substr(0, scheme_end);
    if (scheme_end == std::string::npos || !(iequals(scheme, "http") || iequals(scheme, "https")))
      return Unexpected(make_error(K::Other, "unsupported URL scheme"));
    for (const auto& [name, value] : req.headers) {
      if (!is_token(name)) return Unexpected(make_error(K::Other, "invalid header name"));
      if (!is_field_value(value))
        return Unexpected(make_error(K::Other, fmt::format("invalid value for header \"{}\"", name)));
    }

    auto t = std::make_shared<Transfer>(ex_);
    t->max_body = options_.max_body;
    t->userinfo = userinfo_parts(req.url);
    t->easy = curl_easy_init();
    if (!t->easy) return Unexpected(make_error(K::Other, "cannot create a transfer"));

    auto add = [&](const std::string& line) {
      if (auto* l = curl_slist_append(t->header_list, line.c_str())) {
        t->header_list = l;
        return true;
      }
      return false;
    };
    bool ok = true;
    for (const auto& [name, value] : req.headers)
      ok = ok && add(value.empty() ? name + ";" : name + ": " + value);
    // Keep curl's own defaults out: an empty value removes the header.
    if (!has_header(req.headers, "Accept")) ok = ok && add("Accept:");
    if (!has_header(req.headers, "Expect")) ok = ok && add("Expect:");
    if (req.body && !has_header(req.headers, "Content-Type")) ok = ok && add("Content-Type:");
    if (!ok) return Unexpected(make_error(K::Other, "out of memory"));

    CURL* e = t->easy;
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption opt, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(e, opt, value);
    };
    set(CURLOPT_URL, req.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, static_cast<long>(options_.max_redirects));
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(options_.total_timeout.count()));
    set(CURLOPT_NOSIGNAL, 1L);
    // A request that ends while a host name is resolved leaves the
    // resolver thread behind instead of waiting for it.
    set(CURLOPT_QUICK_EXIT, 1L);
    set(CURLOPT_PROXY, "");
    set(CURLOPT_HTTPHEADER, t->header_list);
    set(CURLOPT_ERRORBUFFER, t->errbuf);
    set(CURLOPT_WRITEFUNCTION, &Impl::on_body);
    set(CURLOPT_WRITEDATA, t.get());
    set(CURLOPT_HEADERFUNCTION, &Impl::on_header);
    set(CURLOPT_HEADERDATA, t.get());
    set(CURLOPT_SOCKOPTFUNCTION, &Impl::on_sockopt);
    set(CURLOPT_SOCKOPTDATA, this);
    if (options_.ca_file) set(CURLOPT_CAINFO, options_.ca_file->c_str());
    if (options_.max_body > 0)
      set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.max_body));
    if (req.body) {
      t->request_body = std::move(*req.body);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->request_body.size()));
      set(CURLOPT_POSTFIELDS, t->request_body.c_str());
      if (req.method != "POST") set(CURLOPT_CUSTOMREQUEST, req.method.c_str());
    } else if (req.method == "GET") {
      set(CURLOPT_HTTPGET, 1L);
    } else if (req.method == "HEAD") {
      set(CURLOPT_NOBODY, 1L);
    } else {
      set(CURLOPT_CUSTOMREQUEST, req.method.c_str());
    }
    if (rc != CURLE_OK) return Unexpected(make_error(K::Other, curl_easy_strerror(rc)));
    return t;
  }

  // --- strand only below ---

  void start(const std::shared_ptr<Transfer>& t) {
    if (t->state != Transfer::State::Queued) return;  // cancelled before it began
    if (closed_) return complete(*t, Unexpected(cancelled_error()));
    if (CURLMcode mc = curl_multi_add_handle(multi_, t->easy); mc != CURLM_OK)
      return complete(*t, Unexpected(make_error(HttpError::Kind::Other, curl_multi_strerror(mc))));
    t->state = Transfer::State::Active;
    active_.emplace(t->easy, t);
  }

  // Takes the transfer out of the transfer set (when it is in) and frees its
  // easy handle, here on the strand.
  void detach(Transfer& t) {
    if (t.state == Transfer::State::Active) {
      curl_multi_remove_handle(multi_, t.easy);
      active_.erase(t.easy);
    }
    if (t.easy) curl_easy_cleanup(std::exchange(t.easy, nullptr));
    t.state = Transfer::State::Finished;
  }

  void abort(const std::shared_ptr<Transfer>& t) { detach(*t); }

  void complete(Transfer& t, HttpResult result) {
    detach(t);
    t.result.emplace(std::move(result));
    t.done.try_send(error_code{});
  }

  void fail_all(const HttpError& error) {
    auto active = active_;
    for (auto& [easy, t] : active) complete(*t, Unexpected(error));
  }

  void socket_action(curl_socket_t fd, int events) {
    int running = 0;
    const CURLMcode mc = curl_multi_socket_action(multi_, fd, events, &running);
    // An unknown socket is one we saw go; anything else leaves the transfer
    // set unusable.
    if (mc != CURLM_OK && mc != CURLM_BAD_SOCKET)
      return fail_all(make_error(HttpError::Kind::Other, curl_multi_strerror(mc)));
    drain();
  }

  void drain() {
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      CURL* easy = m->easy_handle;
      const CURLcode rc = m->data.result;
      finish(easy, rc, {});
    }
    auto failed = std::move(unwatchable_);
    unwatchable_.clear();
    for (auto& [easy, why] : failed) finish(easy, CURLE_OK, std::move(why));
  }

  // Completes the transfer of `easy`; `failure` overrides curl's outcome.
  void finish(CURL* easy, CURLcode rc, std::optional<std::string> failure) {
    auto it = active_.find(easy);
    if (it == active_.end()) return;
    auto t = it->second;
    if (failure) return complete(*t, Unexpected(make_error(HttpError::Kind::Other, std::move(*failure))));
    if (rc != CURLE_OK) return complete(*t, Unexpected(error_for(rc, *t)));
    HttpResponse r;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    r.status = static_cast<int>(status);
    char* url = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.effective_url = url;
    r.headers = std::move(t->headers);
    r.body = std::move(t->body);
    complete(*t, std::move(r));
  }

  HttpError error_for(CURLcode rc, const Transfer& t) const {
    using K = HttpError::Kind;
    long redirects = 0;
    curl_easy_getinfo(t.easy, CURLINFO_REDIRECT_COUNT, &redirects);
    auto detail = [&] {
      std::string text = t.errbuf;
      for (const auto& part : t.userinfo)
        if (text.find(part) != std::string::npos) text.clear();
      return text.empty() ? std::string(curl_easy_strerror(rc)) : text;
    };
    switch (rc) {
      case CURLE_OPERATION_TIMEDOUT:
        return make_error(K::Timeout, fmt::format("operation timed out after {} ms",
                                                  options_.total_timeout.count()));
      case CURLE_TOO_MANY_REDIRECTS:
        return make_error(K::Redirect, "too many redirects");
      case CURLE_UNSUPPORTED_PROTOCOL:
        if (redirects > 0) return make_error(K::Redirect, "redirect to unsupported scheme");
        return make_error(K::Other, "unsupported URL scheme");
      case CURLE_FILESIZE_EXCEEDED:
        return make_error(K::TooLarge, fmt::format("response body exceeds the {} limit",
                                                   size_text(options_.max_body)));
      case CURLE_WRITE_ERROR:
        if (t.too_large)
          return make_error(K::TooLarge, fmt::format("response body exceeds the {} limit",
                                                     size_text(options_.max_body)));
        return make_error(K::Other, detail());
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
      case CURLE_COULDNT_CONNECT:
        return make_error(K::Connect, detail());
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_ENGINE_NOTFOUND:
      case CURLE_SSL_ENGINE_SETFAILED:
      case CURLE_SSL_ENGINE_INITFAILED:
      case CURLE_SSL_SHUTDOWN_FAILED:
      case CURLE_SSL_CRL_BADFILE:
      case CURLE_SSL_ISSUER_ERROR:
      case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      case CURLE_SSL_INVALIDCERTSTATUS:
      case CURLE_SSL_CLIENTCERT:
      case CURLE_USE_SSL_FAILED:
        return make_error(K::Tls, detail());
      default:
        return make_error(K::Other, detail());
    }
  }

  void arm(Watch& w, curl_socket_t fd) {
    auto wait = [&](asio::posix::descriptor_base::wait_type type, int dir) {
      w.sd.async_wait(type, [weak = weak_from_this(), fd, id = w.id, dir](const error_code& ec) {
        if (auto self = weak.lock()) self->on_ready(fd, id, dir, ec);
      });
    };
    if ((w.want & CURL_POLL_IN) && !w.reading) {
      w.reading = true;
      wait(asio::posix::descriptor_base::wait_read, CURL_POLL_IN);
    }
    if ((w.want & CURL_POLL_OUT) && !w.writing) {
      w.writing = true;
      wait(asio::posix::descriptor_base::wait_write, CURL_POLL_OUT);
    }
  }

  void on_ready(curl_socket_t fd, std::uint64_t id, int dir, const error_code& ec) {
    auto it = sockets_.find(fd);
    if (it == sockets_.end() || it->second->id != id) return;  // replaced or removed
    Watch& w = *it->second;
    (dir == CURL_POLL_IN ? w.reading : w.writing) = false;
    if (ec == asio::error::operation_aborted || !(w.want & dir)) return;
    // A failed wait is reported once; curl then ends the transfer (or its
    // time limit does), so the direction is not watched again.
    socket_action(fd, ec ? CURL_CSELECT_ERR : dir == CURL_POLL_IN ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
    if (ec) return;
    it = sockets_.find(fd);
    if (it != sockets_.end() && it->second->id == id) arm(*it->second, fd);
  }

  // --- curl callbacks (called inside curl calls, so on the strand) ---

  static int on_socket(CURL* easy, curl_socket_t fd, int what, void* userp, void*) {
    auto* self = static_cast<Impl*>(userp);
    if (self->dying_) return 0;
    if (what == CURL_POLL_REMOVE) {
      self->sockets_.erase(fd);
      return 0;
    }
    auto it = self->sockets_.find(fd);
    if (it == self->sockets_.end()) {
      const int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      const int dup_errno = errno;
      asio::posix::stream_descriptor sd(self->strand_);
      error_code ec;
      if (dup >= 0) sd.assign(dup, ec);
      if (dup < 0 || ec) {
        if (dup >= 0) ::close(dup);
        // Not watchable: the transfer fails once the current curl call returns.
        self->unwatchable_.emplace_back(
            easy, fmt::format("cannot watch socket: {}",
                              dup < 0 ? std::strerror(dup_errno) : ec.message()));
        return 0;
      }
      it = self->sockets_.emplace(fd, std::make_unique<Watch>(++self->next_watch_id_, std::move(sd))).first;
    }
    it->second->want = what;
    self->arm(*it->second, fd);
    return 0;
  }

  static int on_timer(CURLM*, long timeout_ms, void* userp) {
    auto* self = static_cast<Impl*>(userp);
    if (self->dying_) return 0;
    const auto gen = ++self->timer_gen_;
    if (timeout_ms < 0) {
      self->timer_.cancel();
      return 0;
    }
    self->timer_.expires_after(std::chrono::milliseconds(timeout_ms));
    self->timer_.async_wait([weak = self->weak_from_this(), gen](const error_code& ec) {
      if (ec) return;
      if (auto s = weak.lock(); s && s->timer_gen_ == gen) s->socket_action(CURL_SOCKET_TIMEOUT, 0);
    });
    return 0;
  }

  // A new socket may reuse the number of a descriptor that curl closed
  // without telling us (its resolver's wake-up pipe): drop any old watch.
  static int on_sockopt(void* clientp, curl_socket_t fd, curlsocktype) {
    static_cast<Impl*>(clientp)->sockets_.erase(fd);
    return CURL_SOCKOPT_OK;
  }

  static std::size_t on_body(char* data, std::size_t size, std::size_t n, void* userp) {
    auto* t = static_cast<Transfer*>(userp);
    const std::size_t len = size * n;
    if (len > t->max_body - t->body.size()) {
      t->too_large = true;
      return 0;
    }
    t->body.insert(t->body.end(), data, data + len);
    return len;
  }

  // Called for every header line of every response (1xx, redirects, the
  // final one) and for trailers; only the final response's head is kept.
  static std::size_t on_header(char* data, std::size_t size, std::size_t n, void* userp) {
    auto* t = static_cast<Transfer*>(userp);
    const std::size_t len = size * n;
    std::string_view line(data, len);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      t->headers.clear();
      t->body.clear();
      t->in_head = true;
    } else if (line.empty()) {
      t->in_head = false;
    } else if (t->in_head) {
      if (line.front() == ' ' || line.front() == '\t') {
        if (!t->headers.empty()) {
          auto& value = t->headers.back().second;
          value += ' ';
          value += trim(line);
        }
      } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
        t->headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
      }
    }
    return len;
  }

  asio::any_io_executor ex_;
  asio::strand<asio::any_io_executor> strand_;
  const HttpClientOptions options_;
  CURLM* multi_;
  asio::steady_timer timer_;
  std::uint64_t timer_gen_ = 0;
  std::unordered_map<curl_socket_t, std::unique_ptr<Watch>> sockets_;
  std::uint64_t next_watch_id_ = 0;
  std::unordered_map<CURL*, std::shared_ptr<Transfer>> active_;
  std::vector<std::pair<CURL*, std::string>> unwatchable_;
  bool closed_ = false;
  bool dying_ = false;
};

Expected<std::shared_ptr<HttpClient>, HttpError> HttpClient::create(asio::any_io_executor executor,
                                                                    HttpClientOptions options) {
  using K = HttpError::Kind;
  if (options.total_timeout.count() <= 0)
    return Unexpected(make_error(K::Other, "total_timeout must be positive"));
  if (options.max_redirects < 0) return Unexpected(make_error(K::Other, "max_redirects must not be negative"));
  static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (init != CURLE_OK) return Unexpected(make_error(K::Other, curl_easy_strerror(init)));
  CURLM* multi = curl_multi_init();
  if (!multi) return Unexpected(make_error(K::Other, "cannot create the transfer set"));
  auto impl = std::make_shared<Impl>(std::move(executor), std::move(options), multi);
  return std::shared_ptr<HttpClient>(new HttpClient(std::move(impl)));
}

HttpClient::~HttpClient() { impl_->shutdown(); }

asio::awaitable<HttpResult> HttpClient::request(HttpRequest request) const {
  return Impl::run(impl_, std::move(request));
}

asio::awaitable<HttpResult> HttpClient::get(std::string url, HttpHeaders headers) const {
  return Impl::run(impl_, HttpRequest{"GET", std::move(url), std::move(headers), std::nullopt});
}

const HttpClientOptions& HttpClient::options() const noexcept { return impl_->options(); }

}  // namespace sarvolt::util
