#include "tools/receiver_sim/nmea_parser.h"

#include "platform/hex.h"

#include "receiver/command_frames.h"

namespace larkspan::sim {
namespace {

NmeaEvent Junk(size_t n) {
  NmeaEvent e;
  e.kind = NmeaEvent::Kind::kJunk;
  e.junk = n;
  return e;
}

}  // namespace

void NmeaParser::Push(uint8_t byte, std::vector<NmeaEvent>& out) {
  if (byte == '$') {
    if (state_ == State::kInLine) out.push_back(Junk(line_.size()));
    if (state_ == State::kOverlong) out.push_back(Junk(overlong_));
    state_ = State::kInLine;
    line_.assign(1, '$');
    overlong_ = 0;
    return;
  }
  switch (state_) {
    case State::kIdle:
      out.push_back(Junk(1));
      return;
    case State::kOverlong:
      ++overlong_;
      if (byte == '\n') {
        out.push_back(Junk(overlong_));
        overlong_ = 0;
        state_ = State::kIdle;
      }
      return;
    case State::kInLine:
      break;
  }
  if (line_.size() + 1 > kMaxLine) {
    // This byte (even a line feed) makes the line too long: drop all of it.
    overlong_ = line_.size() + 1;
    line_.clear();
    if (byte == '\n') {
      out.push_back(Junk(overlong_));
      overlong_ = 0;
      state_ = State::kIdle;
    } else {
      state_ = State::kOverlong;
    }
    return;
  }
  if (byte != '\n') {
    line_ += static_cast<char>(byte);
    return;
  }
  if (line_.back() == '\r') line_.pop_back();
  NmeaEvent e;
  e.kind = NmeaEvent::Kind::kSentence;
  e.checksum_ok = ChecksumOk(line_);
  e.text = std::move(line_);
  out.push_back(std::move(e));
  line_.clear();
  state_ = State::kIdle;
}

void NmeaParser::Reset() {
  state_ = State::kIdle;
  line_.clear();
  overlong_ = 0;
}

bool NmeaParser::ChecksumOk(std::string_view text) {
  if (text.size() < 4 || text.front() != '$') return false;
  const size_t star = text.size() - 3;
  if (text[star] != '*') return false;
  const int hi = HexValue(text[star + 1]);
  const int lo = HexValue(text[star + 2]);
  if (hi < 0 || lo < 0) return false;
  return frames::NmeaChecksum(text.substr(1, star - 1)) == hi * 16 + lo;
}

std::vector<std::string_view> NmeaFields(std::string_view text) {
  if (!text.empty() && text.front() == '$') text.remove_prefix(1);
  const size_t star = text.rfind('*');
  if (star != std::string_view::npos) text = text.substr(0, star);
  std::vector<std::string_view> fields;
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    fields.push_back(text.substr(begin, comma - begin));
    if (comma == std::string_view::npos) break;
    begin = comma + 1;
  }
  return fields;
}

}  // namespace larkspan::sim
