#include "tests/fakes/transcript.h"

#include <cstdio>

namespace larkspan::testing {

void Transcript::Add(std::string what, std::string_view bytes, bool has_bytes) {
  std::lock_guard lock(mutex_);
  // One-byte runs fold whatever the bytes; longer calls fold only when they repeat exactly.
  if (!lines_.empty() && lines_.back().what == what && lines_.back().has_bytes == has_bytes &&
      (bytes.size() <= 1 || lines_.back().bytes == bytes)) {
    Line& last = lines_.back();
    if (bytes.size() <= 1) last.bytes += bytes;
    ++last.count;
    return;
  }
  lines_.push_back({clock_.NowUs(), std::move(what), std::string(bytes), has_bytes, 1});
}

std::string Transcript::Text() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const Line& line : lines_) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%11.6f ", static_cast<double>(line.at_us - start_us_) / 1e6);
    text += stamp + line.what;
    if (line.count > 1) text += " x" + std::to_string(line.count);
    if (line.has_bytes) text += " '" + Escaped(line.bytes) + "'";
    text += '\n';
  }
  return text;
}

std::string Transcript::Escaped(std::string_view bytes) {
  std::string text;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'') {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    }
  }
  return text;
}

}  // namespace larkspan::testing
