// URLs as the HTTP client reads and writes them: parsing, the request line's escaping, and where
// a redirect's Location leads. Pure code without sockets or system calls, so that every rule can
// be tried on bytes.
#pragma once

#include <string>

namespace dorvex::net {

struct TParsedURL {
  std::string Protocol, User, Password, Host, Port, Path;
};
TParsedURL ParseURL(const std::string& url);

std::string EncodeBase64(const std::string& bytes);
// "Tue, 08 Dec 2026 01:02:03" for a date-time (days since 30 Dec 1899, as TDateTime).
std::string RFC1123Date(double dateTime);
// Percent-encodes the bytes a request line cannot carry as they are (blanks, control bytes,
// bytes of national letters, quotes and the like); a "%" that already starts an escape stays.
std::string EncodeURLPath(const std::string& path);

std::string AsciiLower(std::string s);

// Removes "." and ".." segments of a path that begins with "/"; ".." never climbs above the root.
// A query ("?...") is kept as it is.
std::string RemoveDotSegments(const std::string& path);

// Where a request goes: the scheme in lower case, the host, the port ("" for the scheme's own)
// and the path ("/" when none).
struct TUrlTarget {
  std::string protocol, host, port, path;
};
// The target a Location leads to from `from`: absolute, scheme-relative ("//host/..."),
// path-absolute or relative to the current path's directory; the path without dot segments.
// Whether the client may go there is the client's judgement.
TUrlTarget ResolveRedirect(const TUrlTarget& from, const std::string& location);
// A host of letters, digits, ".", "-" and "_" only, and a port of digits only (or none).
bool IsPlainHostPort(const std::string& host, const std::string& port);

}  // namespace dorvex::net
