#include "v1/flows/flow/flow_support.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/encoding.hpp"

namespace velqo::v1::detail {

namespace {
constexpr std::int64_t kMaxPollIntervalSeconds = 1'000'000'000;
}  // namespace

std::string stepLabel(std::string_view phase) {
  std::string label;
  std::string piece;
  const auto finishPiece = [&] {
    if (piece.empty()) return;
    if (!label.empty()) label.push_back(' ');
    std::string lowered = platform::toLowerAscii(piece);
    const auto first = static_cast<unsigned char>(lowered.front());
    if (first < 0x80) lowered.front() = static_cast<char>(std::toupper(first));
    label += lowered;
    piece.clear();
  };
  for (const char c : phase) {
    if (c == '_' || c == ' ') {
      finishPiece();
    } else {
      piece.push_back(c);
    }
  }
  finishPiece();
  return label;
}

std::optional<platform::WallClock::time_point> parseFlowDate(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  if (auto withFraction = platform::parseInternetDateTime(*text, true)) return withFraction;
  return platform::parseInternetDateTime(*text, false);
}

platform::Duration approvalPollPeriod(std::int64_t pollInterval) {
  return std::chrono::seconds(std::clamp<std::int64_t>(pollInterval, 1, kMaxPollIntervalSeconds));
}

}  // namespace velqo::v1::detail
