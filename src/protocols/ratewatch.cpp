#include "protocols/ratewatch.h"

#include "common/clock.h"
#include "common/text.h"

namespace dorvex {

void TRateWatch::Start(int64_t minRate, int32_t periodSeconds) {
  minRate_ = minRate > 0 && periodSeconds > 0 ? minRate : 0;
  periodMs_ = minRate_ > 0 ? static_cast<uint32_t>(periodSeconds) * 1000u : 0;
  start_ = TickCount();
  bytes_ = 0;
  elapsed_ = 0;
}

bool TRateWatch::Note(int64_t bytes) {
  if (minRate_ == 0) return true;
  bytes_ += bytes;
  const uint32_t elapsed = TickCount() - start_;  // unsigned: right across the counter's wrap
  if (elapsed < periodMs_) return true;
  elapsed_ = elapsed;
  if (bytes_ * 1000 < minRate_ * static_cast<int64_t>(elapsed)) return false;
  start_ += elapsed;
  bytes_ = 0;
  return true;
}

std::wstring TRateWatch::StalledText() const {
  return Fmt(
      L"Передача зависла: за %s сек. получено %s байт, а нужно не меньше %s байт в секунду (ключ MinRate "
      L"раздела [Connection]); загрузка прервана",
      std::to_wstring((elapsed_ + 500) / 1000), std::to_wstring(bytes_), std::to_wstring(minRate_));
}

}  // namespace dorvex
