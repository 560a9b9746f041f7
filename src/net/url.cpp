#include "net/url.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace dorvex::net {

std::string AsciiLower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

namespace {
std::string Lower(const std::string& s) { return AsciiLower(s); }
}  // namespace

// Removes "." and ".." segments of a path that begins with "/"; ".." never climbs above the root.
std::string RemoveDotSegments(const std::string& path) {
  std::string query;
  std::string p = path;
  size_t q = p.find('?');
  if (q != std::string::npos) {
    query = p.substr(q);
    p.erase(q);
  }
  std::vector<std::string> out;
  size_t i = 0;
  bool trailing = false;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string seg = p.substr(i, j - i);
    trailing = false;
    if (seg == "..") {
      if (!out.empty()) out.pop_back();
      trailing = true;
    } else if (seg == ".") {
      trailing = true;
    } else if (!seg.empty() || j == p.size()) {
      out.push_back(seg);
    }
    i = j + 1;
  }
  std::string result;
  for (const auto& s : out) result += "/" + s;
  if (result.empty() || trailing) result += "/";
  // "/a//b" keeps none of the empty segments; a trailing empty segment means a trailing "/".
  while (result.size() > 1 && result.compare(result.size() - 2, 2, "//") == 0) result.pop_back();
  return result + query;
}

TParsedURL ParseURL(const std::string& url) {
  TParsedURL r;
  std::string rest;
  size_t scheme = url.find("://");
  if (scheme != std::string::npos) {
    r.Protocol = url.substr(0, scheme);
    rest = url.substr(scheme + 3);
  } else if (!url.empty() && url[0] == '/') {
    r.Protocol = "http";
    if (url.size() > 1 && url[1] != '/') {
      r.Path = url;
      return r;
    }
    rest = url.size() > 1 ? url.substr(2) : std::string();
  } else if (Lower(url.substr(0, 5)) != "http:") {
    if (Lower(url.substr(0, 7)) == "mailto:") {
      r.Protocol = "mailto";
      rest = url.substr(url.find(':') + 1);
    } else {
      rest = url;
    }
  } else {
    r.Protocol = "http";
    if (url.size() > 6 && url[6] != '/') {
      r.Path = url.substr(5);
      return r;
    }
    rest = url.substr(5);
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  }
  size_t slash = rest.find('/');
  std::string authority = slash == std::string::npos ? rest : rest.substr(0, slash);
  if (slash != std::string::npos) r.Path = rest.substr(slash);
  size_t at = authority.rfind('@');
  size_t colon = authority.rfind(':');
  std::string hostPort = authority;
  if (at != std::string::npos) {
    std::string userInfo = authority.substr(0, at);
    size_t uc = userInfo.find(':');
    if (uc == std::string::npos) {
      r.User = userInfo;
    } else {
      r.User = userInfo.substr(0, uc);
      r.Password = userInfo.substr(uc + 1);
    }
    hostPort = authority.substr(at + 1);
    colon = (colon != std::string::npos && colon > at) ? colon - at - 1 : std::string::npos;
  }
  if (colon != std::string::npos) {
    r.Host = hostPort.substr(0, colon);
    r.Port = hostPort.substr(colon + 1);
  } else {
    r.Host = hostPort;
  }
  return r;
}

std::string EncodeBase64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                 static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string RFC1123Date(double dateTime) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // Days since 30 Dec 1899 to a calendar date and time.
  long long seconds = static_cast<long long>((dateTime - 25569.0) * 86400.0 + (dateTime >= 25569.0 ? 0.5 : -0.5));
  long long days = seconds / 86400;
  long long rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01.
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;
  int weekday = static_cast<int>(((days % 7) + 7 + 3) % 7);  // 1970-01-01 was a Thursday; Monday = 0
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", kDays + weekday * 3, d,
                kMonths + (m - 1) * 3, static_cast<int>(y), static_cast<int>(rem / 3600),
                static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
  return buf;
}

std::string EncodeURLPath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  std::string out;
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                std::string("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) != std::string::npos;
    if (c == '%' && i + 2 < path.size() + 0 && isHex(path[i + 1]) && isHex(path[i + 2])) keep = true;
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

TUrlTarget ResolveRedirect(const TUrlTarget& from, const std::string& value) {
  TUrlTarget next = from;
  if (value.size() >= 2 && value[0] == '/' && value[1] == '/') {
    TParsedURL u = ParseURL(from.protocol + ":" + value);
    next.host = u.Host;
    next.port = u.Port;
    next.path = u.Path.empty() ? "/" : u.Path;
  } else if (!value.empty() && value[0] == '/') {
    next.path = value;
  } else if (value.find("://") != std::string::npos) {
    TParsedURL u = ParseURL(value);
    next.protocol = Lower(u.Protocol);
    next.host = u.Host;
    next.port = u.Port;  // none named: the scheme's own port, not the old one
    next.path = u.Path.empty() ? "/" : u.Path;
  } else {
    // Relative to the directory of the current path.
    std::string base = from.path;
    size_t q = base.find('?');
    if (q != std::string::npos) base.erase(q);
    base.erase(base.rfind('/') + 1);
    next.path = base + value;
  }
  next.path = RemoveDotSegments(next.path);
  return next;
}

bool IsPlainHostPort(const std::string& host, const std::string& port) {
  if (host.empty()) return false;
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  for (char c : port)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace dorvex::net
