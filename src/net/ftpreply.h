// The FTP control connection's text: reply lines read from received bytes, and command lines
// built for sending. Pure code, without sockets, so that every rule can be tried on bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace dorvex::net {

// One complete reply: its code and its final line.
struct TFtpReply {
  int Code = 0;
  std::string Line;
};

// Collects received bytes into lines and lines into replies.
//  - A line ends at CR LF, or at a bare LF when bare LFs are accepted; trailing CRs and LFs are
//    removed.
//  - A line longer than the buffer (4096 bytes) is cut there and the rest of it up to its end is
//    skipped, so a server cannot make the reader hold an unbounded line.
//  - A reply line is three digits followed by a blank, "-" or the end of the line. Lines of any
//    other form are ignored (text lines of a multi-line reply, noise before a banner).
//  - "ddd-" opens a multi-line reply, which ends only at a line of the same code followed by a
//    blank; digit-led lines inside it ("2024 maintenance", "230 text", "220-more") do not end it.
class TFtpReplyReader {
 public:
  static constexpr size_t kBufferSize = 4096;

  explicit TFtpReplyReader(bool acceptBareLF = true) : acceptLF_(acceptBareLF) {}

  // Takes received bytes. Returns how many were consumed: reading stops right after the line
  // that completes a reply, so the caller can judge it before the next one is read; the rest
  // must be fed again after Take().
  size_t Feed(const char* data, size_t size);
  bool HasReply() const { return reply_.has_value(); }
  // The completed reply; the reader then starts on the next one.
  TFtpReply Take();
  // True while a multi-line reply is open or a line is half received.
  bool InReply() const { return multiCode_ >= 0 || !line_.empty() || skipping_; }
  void Reset();

  // The reply code of a line, or -1 when the line is not a reply line; dash tells a "ddd-" line.
  static int LineCode(const std::string& line, bool& dash);

 private:
  void EndLine();

  bool acceptLF_;
  std::string line_;
  bool skipping_ = false;  // the rest of an over-long line is being dropped
  bool sawCR_ = false;     // the last byte of line_ was a CR (kept until we know what follows)
  int multiCode_ = -1;     // the code of the open multi-line reply, -1 when none
  std::optional<TFtpReply> reply_;
};

// Builds "VERB" or "VERB argument" followed by CR LF. False when the argument holds a CR, an LF
// or a NUL: such an argument would end the command early and smuggle in another one.
bool BuildFtpCommand(const std::string& verb, const std::string& argument, std::string& line);

// The text of a PORT command for an IPv4 address (host byte order) and port.
std::string FtpPortArgument(unsigned long address, unsigned short port);

}  // namespace dorvex::net
