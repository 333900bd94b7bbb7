#include "tools/receiver_sim/srecord.h"

#include "platform/hex.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/receiver_sim/sim_log.h"

namespace larkspan::sim {
namespace {

// Two hex digits at `p`, either case; -1 if either is not a digit.
int HexByte(std::string_view p) {
  const int hi = HexValue(p[0]);
  const int lo = HexValue(p[1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

std::string_view FaultName(RecordFault fault) {
  switch (fault) {
    case RecordFault::kNone: return "none";
    case RecordFault::kBadLineEnd: return "bad-line-end";
    case RecordFault::kNoMark: return "no-mark";
    case RecordFault::kUnknownType: return "unknown-type";
    case RecordFault::kBadCount: return "bad-count";
    case RecordFault::kBadLength: return "bad-length";
    case RecordFault::kBadHex: return "bad-hex";
    case RecordFault::kShortCount: return "short-count";
    case RecordFault::kBadChecksum: return "bad-checksum";
  }
  return "?";
}

RecordFault ParseRecord(std::string_view line, SRecord& out) {
  out = SRecord{};
  if (line.size() < 2 || line.substr(line.size() - 2) != "\r\n") return RecordFault::kBadLineEnd;
  const std::string_view body = line.substr(0, line.size() - 2);
  if (body.empty() || body[0] != 'S') return RecordFault::kNoMark;
  if (body.size() < 2 || body[1] < '0' || body[1] > '9') return RecordFault::kUnknownType;
  out.type = body[1] - '0';
  const int address_size = SRecordAddressBytes(out.type);
  if (address_size == 0) return RecordFault::kUnknownType;
  if (body.size() < 4) return RecordFault::kBadCount;
  const int count = HexByte(body.substr(2, 2));
  if (count < 0) return RecordFault::kBadCount;
  if (body.size() != 4 + 2 * static_cast<size_t>(count)) return RecordFault::kBadLength;

  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(count));
  unsigned sum = static_cast<unsigned>(count);
  for (size_t i = 4; i < body.size(); i += 2) {
    const int b = HexByte(body.substr(i, 2));
    if (b < 0) return RecordFault::kBadHex;
    bytes.push_back(static_cast<uint8_t>(b));
  }
  if (count < address_size + 1) return RecordFault::kShortCount;
  for (int i = 0; i < address_size; ++i) out.address = (out.address << 8) | bytes[static_cast<size_t>(i)];
  out.data.assign(bytes.begin() + address_size, bytes.end() - 1);
  for (size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  if (static_cast<uint8_t>(~sum) != bytes.back()) return RecordFault::kBadChecksum;
  return RecordFault::kNone;
}

// ---- Flash image

void FlashImage::Write(uint32_t address, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    Page& page = pages_[address >> kPageBits];
    const uint32_t offset = address & (kPageSize - 1);
    if (!page.written[offset]) {
      page.written[offset] = true;
      ++size_;
    }
    page.bytes[offset] = b;
    ++address;  // a record running past 0xFFFFFFFF wraps, as a 32-bit address bus would
  }
}

std::optional<uint8_t> FlashImage::At(uint32_t address) const {
  const auto it = pages_.find(address >> kPageBits);
  const uint32_t offset = address & (kPageSize - 1);
  if (it == pages_.end() || !it->second.written[offset]) return std::nullopt;
  return it->second.bytes[offset];
}

std::optional<uint32_t> FlashImage::FirstDifference(const FlashImage& other) const {
  auto a = pages_.begin();
  auto b = other.pages_.begin();
  while (a != pages_.end() || b != other.pages_.end()) {
    // A page present on one side only differs at its first written byte.
    const auto first_written = [](uint32_t key, const Page& page) -> uint32_t {
      uint32_t offset = 0;
      while (!page.written[offset]) ++offset;
      return (key << kPageBits) | offset;
    };
    if (b == other.pages_.end() || (a != pages_.end() && a->first < b->first)) {
      return first_written(a->first, a->second);
    }
    if (a == pages_.end() || b->first < a->first) return first_written(b->first, b->second);
    if (a->second != b->second) {
      for (uint32_t offset = 0; offset < kPageSize; ++offset) {
        if (a->second.written[offset] != b->second.written[offset] ||
            a->second.bytes[offset] != b->second.bytes[offset]) {
          return (a->first << kPageBits) | offset;
        }
      }
    }
    ++a;
    ++b;
  }
  return std::nullopt;
}

// ---- Files

bool LoadSRecords(std::string_view text, std::string_view name, FlashImage& image,
                  std::string* error) {
  size_t begin = 0;
  for (size_t number = 1; begin < text.size(); ++number) {
    const size_t lf = text.find('\n', begin);
    std::string line(text.substr(begin, lf == std::string_view::npos ? lf : lf - begin));
    begin = lf == std::string_view::npos ? text.size() : lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line += "\r\n";
    SRecord record;
    const RecordFault fault = ParseRecord(line, record);
    if (fault != RecordFault::kNone) {
      if (error) {
        *error = Format("%.*s: record %zu: %.*s", static_cast<int>(name.size()), name.data(),
                        number, static_cast<int>(FaultName(fault).size()),
                        FaultName(fault).data());
      }
      return false;
    }
    if (IsDataType(record.type)) image.Write(record.address, record.data);
    if (IsTerminationType(record.type)) break;  // what follows is never sent
  }
  return true;
}

bool LoadSRecordFile(const std::string& path, FlashImage& image, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  return LoadSRecords(text.str(), path, image, error);
}

}  // namespace larkspan::sim
