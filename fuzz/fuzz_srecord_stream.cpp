// The input is the firmware S-record file. It is streamed to a fake flash loader that answers
// "S5\r\n" to every write, and checked by the payload checker, whole and fed in pieces of
// sizes taken from the input. The cross-checks:
//   - the stream's writes, joined, are always a prefix of the file, and each is one record
//     of 4 + 2 * (count + 1) bytes, never more than 300;
//   - a stream that ends well ended on a termination record (type 7 or 9);
//   - the checker's verdict does not depend on how the file is cut, nor on its being read
//     from the file (also through the payload check, which guesses the file's kind first);
//   - whenever the checker accepts the file, the stream ends well, one write per record,
//     and the bytes written are the whole file (nothing may follow the termination record);
//     and the simulated loader's file reader accepts it too, flashing one distinct address
//     per data byte (the checker refuses overlapping data).
// The file lives in a memory file, rewritten for every input and opened through its
// /proc/self/fd path as the updater opens a file on disk.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/receiver_sim/srecord.h"
#include "transfer/payload_file_check.h"
#include "transfer/srecord_stream.h"

namespace larkspan::fuzz {
namespace {

// The memory file, made once per process.
class MemoryFile {
 public:
  MemoryFile() {
    fd_ = ::memfd_create("larkspan-fuzz-srecords", MFD_CLOEXEC);
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  void Set(std::string_view bytes) {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

MemoryFile& File() {
  static MemoryFile file;
  return file;
}

struct StreamRun {
  bool ended_well = false;
  std::vector<std::string> writes;
};

StreamRun Stream(std::string_view file) {
  File().Set(file);
  World world;
  ProgramState& state = world.program();
  state.update_channel.Open();
  FUZZ_CHECK(state.update_channel.ChangeSpeed(115200));
  std::string pending;
  world.port.hear = [&pending](const std::vector<uint8_t>&, uint32_t) { pending += "S5\r\n"; };
  world.port.talk = [&pending](uint32_t) { return std::exchange(pending, std::string()); };
  FUZZ_CHECK(state.srecord_file.Open(File().path()));

  StreamRun run;
  larkspan::WorkerTelemetry telemetry;
  run.ended_well = StreamSRecords(state, telemetry);
  for (const auto& w : world.port.writes) run.writes.emplace_back(w.bytes.begin(), w.bytes.end());

  const auto lines = world.sink.Lines();
  const auto boxes = world.Boxes();
  FUZZ_CHECK(!lines.empty() && lines.front() == "status Transmitting target S-records file..");
  if (run.ended_well) {
    FUZZ_CHECK(boxes.empty());
    FUZZ_CHECK(lines.size() >= 3 && lines[lines.size() - 2] == "status 100%" &&
               lines.back() == "progress step-it");
  } else {
    FUZZ_CHECK(boxes.size() == 2 && boxes.back() == "Update: Firmware update failed!");
  }
  // The percentages shown in between only grow, and never pass 100.
  int last = 0;
  for (size_t i = 1; i + (run.ended_well ? 2 : 0) < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind("status ", 0) != 0) continue;
    const int percent = std::atoi(line.c_str() + 7);
    FUZZ_CHECK(line == "status " + std::to_string(percent) + "%");
    FUZZ_CHECK(percent > last && percent <= 100);
    last = percent;
  }
  state.srecord_file.Close();
  state.update_channel.Close();
  return run;
}

struct CheckRun {
  std::optional<PayloadFault> fault;
  size_t records = 0;
  size_t data_records = 0;
  size_t lower_case_line = 0;
  uint64_t records_end = 0;
  std::vector<PayloadFault> warnings;
  bool written_twice = false;
};

CheckRun Check(const std::vector<std::string_view>& pieces) {
  SRecordChecker checker;
  for (std::string_view piece : pieces) checker.Feed(piece);
  CheckRun run;
  run.fault = checker.Finish();
  run.records = checker.records();
  run.data_records = checker.data_records();
  run.lower_case_line = checker.lower_case_line();
  run.records_end = checker.records_end();
  run.warnings = checker.warnings();
  run.written_twice = checker.overlap_address().has_value();
  FUZZ_CHECK(checker.fault().has_value() == run.fault.has_value());
  return run;
}

bool SameCheck(const CheckRun& a, const CheckRun& b) {
  if (a.fault.has_value() != b.fault.has_value()) return false;
  if (a.fault && (a.fault->line != b.fault->line || a.fault->message != b.fault->message)) {
    return false;
  }
  const auto same = [](const PayloadFault& x, const PayloadFault& y) { return x.line == y.line && x.message == y.message; };
  return a.records == b.records && a.data_records == b.data_records && a.lower_case_line == b.lower_case_line &&
         a.records_end == b.records_end && std::ranges::equal(a.warnings, b.warnings, same);
}

}  // namespace
}  // namespace larkspan::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspan::fuzz;
  const std::string_view file = AsText(data, size);

  // ---- The stream.
  const StreamRun stream = Stream(file);
  size_t offset = 0;
  for (const std::string& w : stream.writes) {
    FUZZ_CHECK(w.size() >= 6 && w.size() <= larkspan::kRecordSpace);
    const uint32_t count = 16 * larkspan::HexDigitValue(w[2]) + larkspan::HexDigitValue(w[3]);
    FUZZ_CHECK(count <= larkspan::kMaxRecordCount);
    FUZZ_CHECK(w.size() == 4 + 2 * (size_t{count} + 1));
    FUZZ_CHECK(file.substr(offset, w.size()) == w);
    offset += w.size();
  }
  if (stream.ended_well) {
    FUZZ_CHECK(!stream.writes.empty());
    const char type = stream.writes.back()[1];
    FUZZ_CHECK(type == '7' || type == '9');
    for (size_t i = 0; i + 1 < stream.writes.size(); ++i) {
      FUZZ_CHECK(stream.writes[i][1] != '7' && stream.writes[i][1] != '9');
    }
  }

  // ---- The checker, whole, byte by byte and in pieces.
  const CheckRun whole = Check({file});
  const auto whole_fault = larkspan::CheckSRecordBytes(file);
  FUZZ_CHECK(whole_fault.has_value() == whole.fault.has_value());
  if (whole_fault) {
    // A byte written twice gets the earlier writer's line from a second pass; nothing else differs.
    FUZZ_CHECK(whole_fault->line == whole.fault->line);
    FUZZ_CHECK(whole.written_twice ? whole_fault->message.find(" and by line ") != std::string::npos
                                   : whole_fault->message == whole.fault->message);
    FUZZ_CHECK(!whole_fault->message.empty());
    FUZZ_CHECK(!larkspan::FormatFault(*whole_fault).empty());
  }
  // The same verdict read from the file, and from the payload check that first guesses
  // the file's kind from its first bytes after any blank space (there is no extension to go by).
  const auto file_fault = larkspan::CheckSRecordFile(File().path());
  FUZZ_CHECK(file_fault.has_value() == whole.fault.has_value());
  if (file_fault) FUZZ_CHECK(file_fault->line == whole_fault->line && file_fault->message == whole_fault->message);
  const larkspan::PayloadCheck payload = larkspan::CheckPayloadFile(File().path());
  size_t skip = size >= 3 && file.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (skip < size &&
         (file[skip] == ' ' || file[skip] == '\t' || file[skip] == '\r' || file[skip] == '\n')) {
    ++skip;
  }
  const bool looks_like_srecords = skip + 1 < size && file[skip] == 'S' && file[skip + 1] >= '0' && file[skip + 1] <= '9';
  if (looks_like_srecords) {
    FUZZ_CHECK(payload.kind == larkspan::PayloadKind::kSRecordFile);
    FUZZ_CHECK(payload.fault.has_value() == whole.fault.has_value());
    FUZZ_CHECK(payload.warnings.size() == whole.warnings.size());
  } else {
    FUZZ_CHECK(payload.kind == larkspan::PayloadKind::kLoaderImage);
    FUZZ_CHECK(payload.fault.has_value() == (size == 0));  // any bytes make a loader image
  }

  Splitter splitter(file, 64);
  FUZZ_CHECK(SameCheck(whole, Check(splitter.Cut(file))));
  if (size <= 512) {
    std::vector<std::string_view> bytes;
    for (size_t i = 0; i < size; ++i) bytes.push_back(file.substr(i, 1));
    FUZZ_CHECK(SameCheck(whole, Check(bytes)));
  }

  // ---- The checker against the stream and the simulated loader's reader.
  if (!whole.fault) {
    FUZZ_CHECK(stream.ended_well);
    FUZZ_CHECK(stream.writes.size() == whole.records);
    FUZZ_CHECK(offset == whole.records_end);  // the joined writes are the file up to its termination record
    FUZZ_CHECK(whole.records_end == size || !whole.warnings.empty());  // anything after it is warned of

    larkspan::sim::FlashImage image;
    std::string error;
    FUZZ_CHECK(larkspan::sim::LoadSRecords(file, "fuzz", image, &error));
    size_t data_bytes = 0;
    size_t data_records = 0;
    for (const std::string& w : stream.writes) {
      larkspan::sim::SRecord record;
      FUZZ_CHECK(larkspan::sim::ParseRecord(w, record) == larkspan::sim::RecordFault::kNone);
      if (larkspan::sim::IsDataType(record.type)) {
        data_bytes += record.data.size();
        ++data_records;
      }
    }
    FUZZ_CHECK(data_records == whole.data_records);
    FUZZ_CHECK(image.size() == data_bytes);
  }
  return 0;
}
