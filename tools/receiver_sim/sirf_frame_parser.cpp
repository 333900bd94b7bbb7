#include "tools/receiver_sim/sirf_frame_parser.h"

#include "receiver/command_frames.h"

namespace larkspan::sim {

std::span<const uint8_t> FrameEvent::payload() const {
  if (frame.size() < frames::kFrameOverhead) return {};
  return std::span<const uint8_t>(frame).subspan(4, frame.size() - frames::kFrameOverhead);
}

int FrameEvent::mid() const {
  const auto p = payload();
  return p.empty() ? -1 : p[0];
}

void SirfFrameParser::Push(uint8_t byte, std::vector<FrameEvent>& out) {
  pending_.push_back(byte);
  Scan(out);
}

// Reports the first `n` pending bytes as junk (merged with junk reported just before).
void SirfFrameParser::DropFront(size_t n, std::vector<FrameEvent>& out) {
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  if (!out.empty() && out.back().kind == FrameEvent::Kind::kJunk) {
    out.back().junk += n;
  } else {
    FrameEvent e;
    e.junk = n;
    out.push_back(std::move(e));
  }
}

// Decides as much of the pending candidate as its bytes allow. After a false start the
// remaining bytes are scanned again from the one after the false A0.
void SirfFrameParser::Scan(std::vector<FrameEvent>& out) {
  while (!pending_.empty()) {
    if (pending_[0] != frames::kStart1) {
      size_t skip = 1;
      while (skip < pending_.size() && pending_[skip] != frames::kStart1) ++skip;
      DropFront(skip, out);
      continue;
    }
    if (pending_.size() < 2) return;
    if (pending_[1] != frames::kStart2) {
      DropFront(1, out);
      continue;
    }
    if (pending_.size() < 4) return;
    const size_t n = (size_t{pending_[2]} << 8) | pending_[3];
    if (n > kMaxPayload) {
      DropFront(1, out);
      continue;
    }
    const size_t whole = n + frames::kFrameOverhead;
    if (pending_.size() < whole) return;
    if (pending_[whole - 2] != frames::kEnd1 || pending_[whole - 1] != frames::kEnd2) {
      DropFront(1, out);
      continue;
    }
    FrameEvent e;
    e.kind = FrameEvent::Kind::kFrame;
    e.frame.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
    const uint16_t sum = static_cast<uint16_t>((e.frame[4 + n] << 8) | e.frame[5 + n]);
    e.checksum_ok = sum == frames::SirfChecksum(e.payload());
    out.push_back(std::move(e));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
  }
}

}  // namespace larkspan::sim
