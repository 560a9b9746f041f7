// A fuzz target: one reader of untrusted bytes, driven with any input, with the reader's own
// promises checked after each run. A broken promise throws TFuzzFailure with what was seen.
// The same target functions run under libFuzzer natively (plain C++ readers) and under the
// in-process mutation loop of dorvex_fuzz.exe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace dorvex::fuzz {

class TFuzzFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#define FUZZ_CHECK(cond, what)                                                                    \
  do {                                                                                            \
    if (!(cond)) throw ::dorvex::fuzz::TFuzzFailure(std::string(#cond) + ": " + std::string(what)); \
  } while (0)

// The FTP reply reader (plain C++).
void FuzzFtpReply(const uint8_t* data, size_t size);
// The map table against a text already decoded (plain C++); natively FuzzIniTable makes the
// text from the bytes.
void CheckIniTableText(const std::wstring& text);
void FuzzIniTable(const uint8_t* data, size_t size);
// URL parsing, the request line's escaping and where a Location leads (plain C++).
void FuzzUrl(const uint8_t* data, size_t size);

}  // namespace dorvex::fuzz
