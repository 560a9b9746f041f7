// URL parsing, the request line's escaping and redirect resolution against any bytes.
#include <cctype>
#include <string>

#include "fuzz_target.h"
#include "net/url.h"

namespace dorvex::fuzz {

namespace {
bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The segments of a path before its query.
bool HasDotSegment(const std::string& path) {
  const std::string p = path.substr(0, path.find('?'));
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    const std::string seg = p.substr(i, j - i);
    if (seg == "." || seg == "..") return true;
    i = j + 1;
  }
  return false;
}
}  // namespace

void FuzzUrl(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // A parsed URL rebuilt and parsed again gives the same parts.
  const net::TParsedURL u = net::ParseURL(input);
  if (u.Path.empty() || u.Path[0] == '/') {
    std::string rebuilt = u.Protocol + "://";
    if (!u.User.empty() || !u.Password.empty()) rebuilt += u.User + (u.Password.empty() ? "" : ":" + u.Password) + "@";
    rebuilt += u.Host;
    if (!u.Port.empty() || u.Host.find(':') != std::string::npos) rebuilt += ":" + u.Port;
    rebuilt += u.Path;
    const net::TParsedURL v = net::ParseURL(rebuilt);
    FUZZ_CHECK(v.Protocol == u.Protocol && v.User == u.User && v.Password == u.Password && v.Host == u.Host &&
                   v.Port == u.Port && v.Path == u.Path,
               "rebuilt as " + rebuilt);
  }
  // A request line carries only what it may; encoding twice changes nothing.
  const std::string e = net::EncodeURLPath(input);
  for (size_t i = 0; i < e.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(e[i]);
    FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\', "byte " + std::to_string(c));
    if (c == '%') FUZZ_CHECK(i + 2 < e.size() && IsHex(e[i + 1]) && IsHex(e[i + 2]), "a lone %");
  }
  FUZZ_CHECK(net::EncodeURLPath(e) == e, "encoding twice changed " + e);

  // The input as a Location: the path it leads to begins at the root, holds no "." or ".."
  // segment (so it never climbs above the root) and is left as it is when cleaned again; a
  // Location without a host of its own keeps the server.
  const net::TUrlTarget from{"http", "origin.test", "", "/dir/map.nrm?x=1"};
  const net::TUrlTarget next = net::ResolveRedirect(from, input);
  FUZZ_CHECK(!next.path.empty() && next.path[0] == '/', "path " + next.path);
  FUZZ_CHECK(!HasDotSegment(next.path), "a dot segment left in " + next.path);
  FUZZ_CHECK(net::RemoveDotSegments(next.path) == next.path, "cleaning again changed " + next.path);
  FUZZ_CHECK(next.protocol == net::AsciiLower(next.protocol), "scheme " + next.protocol);
  const bool ownHost = input.compare(0, 2, "//") == 0 || input.find("://") != std::string::npos;
  if (!ownHost)
    FUZZ_CHECK(next.protocol == from.protocol && next.host == from.host && next.port == from.port,
               "a relative Location changed the server: " + next.host);
  // A host the client would accept cannot break the request line it goes into.
  if (net::IsPlainHostPort(next.host, next.port))
    for (const char c : next.host + next.port)
      FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F && c != ':' && c != '/' &&
                     c != '@',
                 "host " + next.host);
}

}  // namespace dorvex::fuzz
