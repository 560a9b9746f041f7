// The least rate a transfer must keep up ("[Connection] MinRate", bytes per second): the bytes
// that arrive are counted over periods as long as the source's time-out, and a period in which
// fewer arrived than the rate asks ends the transfer as stalled. A source that trickles a byte
// now and then is never silent long enough for the time-out, and would otherwise hold the
// session for as long as it likes.
#pragma once

#include <cstdint>
#include <string>

namespace dorvex {

class TRateWatch {
 public:
  // Starts a period now; a rate or a period of 0 watches nothing.
  void Start(int64_t minRate, int32_t periodSeconds);
  // Notes bytes that arrived; false once a whole period passed below the rate.
  bool Note(int64_t bytes);
  // Why the transfer ended, in Russian, once Note said false.
  std::wstring StalledText() const;

 private:
  int64_t minRate_ = 0;
  uint32_t periodMs_ = 0;
  uint32_t start_ = 0;
  int64_t bytes_ = 0;
  uint32_t elapsed_ = 0;
};

}  // namespace dorvex
