#include "bench/load_protocol.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

constexpr std::string_view kKeyPrefix = "k";
constexpr std::string_view kReplyStart = "{\"array\":[";
constexpr std::string_view kReplyEntryStart = "{\"accesskey\":\"";
constexpr std::string_view kReplyTokens = "\",\"tokens\":";
constexpr std::string_view kReplyRemaining = ",\"remaining\":";
constexpr std::string_view kReplyRetryAfter = ",\"retry_after_ms\":";
constexpr std::string_view kReplyEnd = "]}\r\n";
constexpr int kMaxGrantDigits = 10;   // a 32-bit unsigned grant
constexpr int kMaxDetailDigits = 20;  // a 64-bit unsigned remaining or wait
constexpr double kNanosPerMicro = 1000;

// Consumes `expected` from the front of `rest`; false when `rest` does not start with it.
bool take(std::string_view* rest, std::string_view expected) {
  if (rest->substr(0, expected.size()) != expected) return false;
  rest->remove_prefix(expected.size());
  return true;
}

// Consumes a number written as plain decimal (no sign, no leading zeros) of at most `max_digits`.
bool take_decimal(std::string_view* rest, size_t max_digits, unsigned long long* value) {
  size_t digits = 0;
  while (digits < rest->size() && (*rest)[digits] >= '0' && (*rest)[digits] <= '9') ++digits;
  if (digits == 0 || digits > max_digits) return false;
  if (digits > 1 && (*rest)[0] == '0') return false;
  *value = 0;
  for (size_t i = 0; i < digits; ++i) *value = *value * 10 + ((*rest)[i] - '0');
  rest->remove_prefix(digits);
  return true;
}

// Consumes a grant and checks its bounds.
bool take_grant(std::string_view* rest, int need) {
  unsigned long long grant = 0;
  return take_decimal(rest, kMaxGrantDigits, &grant) && grant <= static_cast<unsigned>(need);
}

// Consumes the remaining tokens and the wait of a detailed reply entry.
bool take_detail(std::string_view* rest) {
  unsigned long long ignored = 0;
  return take(rest, kReplyRemaining) && take_decimal(rest, kMaxDetailDigits, &ignored) &&
         take(rest, kReplyRetryAfter) && take_decimal(rest, kMaxDetailDigits, &ignored);
}

double percentile_micros(const std::vector<uint32_t>& sorted, double fraction) {
  // Nearest rank: the smallest value with at least `fraction` of all values at or below it.
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  size_t index = rank == 0 ? 0 : rank - 1;
  return sorted[std::min(index, sorted.size() - 1)] / kNanosPerMicro;
}

}  // namespace

TokenRequestText::TokenRequestText(int entries, const EntryNumbers& numbers, bool detail)
    : detail_(detail) {
  text_ = detail ? "{\"detail\":true,\"array\":[" : "{\"array\":[";
  const std::string numbers_text = "\",\"need_tokens\":" + std::to_string(numbers.need) +
                                   ",\"gen_rate\":" + std::to_string(numbers.rate) +
                                   ",\"burst_size\":" + std::to_string(numbers.burst) + "}";
  for (int entry = 0; entry < entries; ++entry) {
    if (entry > 0) text_ += ',';
    text_ += "{\"accesskey\":\"";
    key_offsets_.push_back(text_.size());
    text_ += kKeyPrefix;
    text_.append(kKeyDigits, '0');
    text_ += numbers_text;
  }
  text_ += "]}\r\n";
}

void TokenRequestText::set_key(int entry, long key) {
  assert(key >= 0 && key < kMaxKeySpace);
  char* digits = &text_[key_offsets_[static_cast<size_t>(entry)] + kKeyPrefix.size()];
  for (int i = kKeyDigits - 1; i >= 0; --i, key /= 10)
    digits[i] = static_cast<char>('0' + key % 10);
}

std::string_view TokenRequestText::key_text(int entry) const {
  return std::string_view(text_).substr(key_offsets_[static_cast<size_t>(entry)],
                                        kKeyPrefix.size() + kKeyDigits);
}

bool is_valid_token_reply(std::string_view reply, const TokenRequestText& request, int need) {
  std::string_view rest = reply;
  if (!take(&rest, kReplyStart)) return false;
  for (int entry = 0; entry < request.entries(); ++entry) {
    if (entry > 0 && !take(&rest, ",")) return false;
    if (!take(&rest, kReplyEntryStart) || !take(&rest, request.key_text(entry)) ||
        !take(&rest, kReplyTokens) || !take_grant(&rest, need) ||
        (request.detail() && !take_detail(&rest)) || !take(&rest, "}")) {
      return false;
    }
  }
  return take(&rest, kReplyEnd) && rest.empty();
}

size_t line_length(std::string_view bytes, size_t checked) {
  size_t from = checked > 0 ? checked - 1 : 0;
  size_t cr = bytes.find("\r\n", from);
  return cr == std::string_view::npos ? 0 : cr + 2;
}

LatencySummary summarize_latencies(std::vector<uint32_t>* nanoseconds) {
  if (nanoseconds->empty()) return {};
  std::sort(nanoseconds->begin(), nanoseconds->end());
  return {percentile_micros(*nanoseconds, 0.50), percentile_micros(*nanoseconds, 0.90),
          percentile_micros(*nanoseconds, 0.99), nanoseconds->back() / kNanosPerMicro};
}
