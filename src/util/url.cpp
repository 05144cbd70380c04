#include "util/url.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include <boost/url/parse.hpp>

#include "util/text.hpp"

namespace sarvolt::util {
namespace {

struct Special {
  std::string_view scheme;
  int default_port;  // -1: none
};
constexpr std::array<Special, 6> kSpecial = {{
    {"http", 80}, {"https", 443}, {"ws", 80}, {"wss", 443}, {"ftp", 21}, {"file", -1}}};

const Special* special(std::string_view scheme) {
  for (const auto& s : kSpecial)
    if (s.scheme == scheme) return &s;
  return nullptr;
}

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of a leading "scheme:" (without the colon), 0 when there is none.
std::size_t scheme_length(std::string_view s) {
  if (s.empty() || !is_alpha(s[0])) return 0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == ':') return i;
    if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

// Characters a browser percent-encodes rather than rejects.
bool needs_encoding(unsigned char c) {
  return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' ||
         c == '}' || c == '|' || c == '^';
}

// RFC 3986 remove_dot_segments on an encoded absolute path.
std::string remove_dot_segments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.starts_with("../")) in.remove_prefix(3);
    else if (in.starts_with("./")) in.remove_prefix(2);
    else if (in.starts_with("/./")) in.remove_prefix(2);
    else if (in == "/.") in = "/";
    else if (in.starts_with("/../") || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      auto pos = out.rfind('/');
      out.erase(pos == std::string::npos ? 0 : pos);
    } else if (in == "." || in == "..") in = {};
    else {
      auto next = in.find('/', 1);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

std::optional<std::string> check_ipv4_like(std::string_view host) {
  // A host whose last label is numeric must be a dotted-quad IPv4 address.
  auto dot = host.rfind('.');
  std::string_view last = dot == std::string_view::npos ? host : host.substr(dot + 1);
  if (last.empty() || !std::all_of(last.begin(), last.end(), is_digit)) return std::nullopt;
  int parts = 0;
  std::size_t start = 0;
  while (true) {
    auto end = host.find('.', start);
    std::string_view part = host.substr(start, end == std::string_view::npos ? end : end - start);
    auto v = parse_unsigned(part, 255);
    if (!v || part.starts_with('+') || (part.size() > 1 && part[0] == '0')) return "invalid IPv4 address";
    ++parts;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (parts != 4) return "invalid IPv4 address";
  return std::nullopt;
}

}  // namespace

Expected<Url, std::string> Url::parse(std::string_view text) {
  // Leading and trailing C0 controls and spaces are dropped, tabs and newlines removed.
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  std::string s;
  s.reserve(text.size());
  for (char c : text)
    if (c != '\t' && c != '\n' && c != '\r') s += c;

  std::size_t slen = scheme_length(s);
  if (slen == 0) return Unexpected(std::string("relative URL without a base"));
  std::string scheme = to_lower_ascii(std::string_view(s).substr(0, slen));
  const Special* sp = special(scheme);

  // Percent-encode what browsers encode, outside the authority; special
  // schemes take '\' for '/'.
  std::string prepared = scheme + ":";
  std::string_view rest = std::string_view(s).substr(slen + 1);
  bool in_authority = rest.starts_with("//");
  bool in_query_or_fragment = false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (sp && c == '\\' && !in_query_or_fragment) c = '/';
    if (in_authority && i >= 2 && (c == '/' || c == '?' || c == '#')) in_authority = false;
    if (c == '?' || c == '#') in_query_or_fragment = true;
    if (!in_authority && needs_encoding(static_cast<unsigned char>(c)))
      prepared += fmt::format("%{:02X}", static_cast<unsigned char>(c));
    else
      prepared += c;
  }

  if (std::string_view p = prepared; p.substr(scheme.size() + 1).starts_with("//")) {
    // The port must be digits only; checked on the authority text itself.
    std::string_view auth = p.substr(scheme.size() + 3);
    auth = auth.substr(0, auth.find_first_of("/?#"));
    if (auto at = auth.rfind('@'); at != std::string_view::npos) auth.remove_prefix(at + 1);
    if (auto bracket = auth.rfind(']'); bracket != std::string_view::npos) auth.remove_prefix(bracket + 1);
    if (auto colon = auth.find(':'); colon != std::string_view::npos) {
      auto port_text = auth.substr(colon + 1);
      if (!std::all_of(port_text.begin(), port_text.end(), is_digit))
        return Unexpected(std::string("invalid port number"));
    }
  }
  auto r = boost::urls::parse_uri(prepared);
  if (!r) {
    if (sp) return Unexpected(std::string("invalid domain character"));
    return Unexpected(std::string("invalid URL syntax"));
  }
  const boost::urls::url_view& u = *r;
  std::string host(u.encoded_host());
  std::string port(u.port());
  std::string path(u.encoded_path());

  if (sp) {
    if ((!u.has_authority() || host.empty()) && sp->scheme != "file") return Unexpected(std::string("empty host"));
    if (u.host_type() == boost::urls::host_type::name) {
      host = to_lower_ascii(host);
      if (host.find('%') != std::string::npos) return Unexpected(std::string("invalid domain character"));
      if (auto err = check_ipv4_like(host)) return Unexpected(*err);
      if (sp->scheme == "file" && host == "localhost") host.clear();
    }
    if (!port.empty()) {
      auto n = parse_unsigned(port, 65535);
      if (!n || port.starts_with('+')) return Unexpected(std::string("invalid port number"));
      port = static_cast<int>(*n) == sp->default_port ? std::string() : std::to_string(*n);
    }
    path = remove_dot_segments(path);
    if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
  } else if (!port.empty() && !parse_unsigned(port, 65535)) {
    return Unexpected(std::string("invalid port number"));
  }

  // Reassembled by hand: the library's setters mangle some paths.
  std::string out = scheme + ":";
  if (u.has_authority()) {
    out += "//";
    if (u.has_userinfo()) {
      out += u.encoded_userinfo();
      out += '@';
    }
    out += host;
    if (!port.empty()) out += ":" + port;
  }
  out += path;
  if (u.has_query()) {
    out += '?';
    out += u.encoded_query();
  }
  if (u.has_fragment()) {
    out += '#';
    out += u.encoded_fragment();
  }
  auto final_url = boost::urls::parse_uri(out);
  if (!final_url) return Unexpected(std::string("invalid URL syntax"));
  return Url(boost::urls::url(*final_url));
}

std::string mask_userinfo(std::string_view text) {
  const auto start = text.find("://");
  if (start == std::string_view::npos) return std::string(text);
  const auto auth_begin = start + 3;
  const auto auth_end = std::min(text.find_first_of("/?#", auth_begin), text.size());
  const auto at = text.substr(0, auth_end).rfind('@');
  if (at == std::string_view::npos || at < auth_begin) return std::string(text);
  const auto colon = text.substr(0, at).find(':', auth_begin);
  const bool has_password = colon != std::string_view::npos;
  std::string out(text.substr(0, auth_begin));
  out += has_password ? "****:****" : "****";
  out += text.substr(at);
  return out;
}

}  // namespace sarvolt::util
