// The FTP reply reader against any byte stream, fed in pieces whose sizes the input chooses.
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "net/ftpreply.h"

namespace dorvex::fuzz {

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Every reply the reader gives must be one it could have been given: a reply line of at most
// the buffer's size, led by its own three-digit code, without a line end.
void CheckReply(const net::TFtpReply& r) {
  FUZZ_CHECK(r.Code >= 0 && r.Code <= 999, "code " + std::to_string(r.Code));
  FUZZ_CHECK(r.Line.size() >= 3 && r.Line.size() <= net::TFtpReplyReader::kBufferSize,
             "line of " + std::to_string(r.Line.size()) + " bytes");
  FUZZ_CHECK(IsDigit(r.Line[0]) && IsDigit(r.Line[1]) && IsDigit(r.Line[2]), "line " + r.Line.substr(0, 16));
  FUZZ_CHECK((r.Line[0] - '0') * 100 + (r.Line[1] - '0') * 10 + (r.Line[2] - '0') == r.Code, "code and line differ");
  FUZZ_CHECK(r.Line.size() == 3 || r.Line[3] == ' ', "a final reply line has a blank after its code");
  FUZZ_CHECK(r.Line.back() != '\r' && r.Line.back() != '\n', "line end kept");
  bool dash = false;
  FUZZ_CHECK(net::TFtpReplyReader::LineCode(r.Line, dash) == r.Code && !dash, "LineCode disagrees");
}

// Feeds the stream as the client does: whatever a Feed leaves is fed again after Take.
std::vector<net::TFtpReply> ReadAll(net::TFtpReplyReader& reader, const std::string& stream,
                                    const std::vector<size_t>& pieces) {
  std::vector<net::TFtpReply> replies;
  size_t at = 0, piece = 0;
  while (at < stream.size()) {
    size_t n = pieces.empty() ? stream.size() - at : pieces[piece++ % pieces.size()];
    if (n == 0 || n > stream.size() - at) n = stream.size() - at;
    size_t off = 0;
    while (off < n) {
      const size_t used = reader.Feed(stream.data() + at + off, n - off);
      FUZZ_CHECK(used <= n - off, "consumed more than given");
      FUZZ_CHECK(used > 0 || reader.HasReply(), "consumed nothing without a reply");
      off += used;
      if (reader.HasReply()) {
        replies.push_back(reader.Take());
        FUZZ_CHECK(!reader.HasReply(), "reply still there after Take");
        CheckReply(replies.back());
      } else {
        FUZZ_CHECK(off == n, "stopped early without a reply");
      }
    }
    at += n;
  }
  return replies;
}
}  // namespace

void FuzzFtpReply(const uint8_t* data, size_t size) {
  // The first byte picks the mode and the piece sizes; the rest is the stream.
  if (size == 0) return;
  const bool acceptLF = (data[0] & 1) != 0;
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<size_t> pieces;
  for (int i = 0; i < 3; ++i) pieces.push_back(1 + ((data[0] >> (1 + 2 * i)) & 3) * 7);

  net::TFtpReplyReader whole(acceptLF), split(acceptLF);
  const auto a = ReadAll(whole, stream, {});
  const auto b = ReadAll(split, stream, pieces);
  // How the bytes were cut into received blocks must not change what was read.
  FUZZ_CHECK(a.size() == b.size(), std::to_string(a.size()) + " replies whole, " + std::to_string(b.size()) + " in pieces");
  for (size_t i = 0; i < a.size(); ++i) FUZZ_CHECK(a[i].Code == b[i].Code && a[i].Line == b[i].Line, "reply " + std::to_string(i));
  FUZZ_CHECK(whole.InReply() == split.InReply(), "open state differs");
  // Never more replies than line ends.
  size_t ends = 0;
  for (char c : stream) ends += c == '\n';
  FUZZ_CHECK(a.size() <= ends, "more replies than lines");
  // After Reset nothing of the old stream is left.
  whole.Reset();
  FUZZ_CHECK(!whole.InReply() && !whole.HasReply(), "Reset left state");

  // A command line is built only from an argument that cannot end it early.
  std::string line;
  const std::string arg = stream.substr(0, 64);
  const bool built = net::BuildFtpCommand("RETR", arg, line);
  FUZZ_CHECK(built == (arg.find_first_of(std::string("\r\n\0", 3)) == std::string::npos), "command building");
  if (built) {
    FUZZ_CHECK(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0, "command without CR LF");
    FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == line.size() - 2, "command line with an inner line end");
  }
}

}  // namespace dorvex::fuzz
