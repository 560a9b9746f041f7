#include "net/ftpreply.h"

namespace dorvex::net {

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

int TFtpReplyReader::LineCode(const std::string& line, bool& dash) {
  dash = false;
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
  if (line.size() > 3) {
    if (line[3] == '-')
      dash = true;
    else if (line[3] != ' ')
      return -1;  // "2024 maintenance": four digits are no reply code
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

size_t TFtpReplyReader::Feed(const char* data, size_t size) {
  size_t i = 0;
  while (i < size && !reply_) {
    const char c = data[i++];
    if (c == '\n' && (acceptLF_ || sawCR_)) {
      EndLine();
      continue;
    }
    sawCR_ = c == '\r';
    if (skipping_) continue;
    if (line_.size() < kBufferSize)
      line_.push_back(c);
    else
      skipping_ = true;  // the line is cut at the buffer's size; the rest of it goes unread
  }
  return i;
}

void TFtpReplyReader::EndLine() {
  std::string line;
  line.swap(line_);
  skipping_ = false;
  sawCR_ = false;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  bool dash = false;
  const int code = LineCode(line, dash);
  if (multiCode_ >= 0) {
    // Only the same code followed by a blank closes a multi-line reply.
    if (code == multiCode_ && !dash && line.size() > 3) {
      multiCode_ = -1;
      reply_ = TFtpReply{code, line};
    }
    return;
  }
  if (code < 0) return;
  if (dash)
    multiCode_ = code;
  else
    reply_ = TFtpReply{code, line};
}

TFtpReply TFtpReplyReader::Take() {
  TFtpReply r = reply_.value_or(TFtpReply{});
  reply_.reset();
  return r;
}

void TFtpReplyReader::Reset() {
  line_.clear();
  skipping_ = false;
  sawCR_ = false;
  multiCode_ = -1;
  reply_.reset();
}

bool BuildFtpCommand(const std::string& verb, const std::string& argument, std::string& line) {
  if (argument.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  line = argument.empty() ? verb : verb + " " + argument;
  line += "\r\n";
  return true;
}

std::string FtpPortArgument(unsigned long address, unsigned short port) {
  return std::to_string((address >> 24) & 0xFF) + "," + std::to_string((address >> 16) & 0xFF) + "," +
         std::to_string((address >> 8) & 0xFF) + "," + std::to_string(address & 0xFF) + "," +
         std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

}  // namespace dorvex::net
