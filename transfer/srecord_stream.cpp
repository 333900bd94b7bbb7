#include "transfer/srecord_stream.h"

#include <algorithm>
#include <array>

#include "platform/hex.h"

#include "transfer/percent_progress.h"

namespace larkspan {

namespace {
constexpr char16_t kTransmitCaption[] = u"TransmitS_Record";
constexpr char16_t kReceiveCaption[] = u"ReceiveTargetResponse";
constexpr size_t kHeadSize = 4;  // mark, type, two count digits
constexpr size_t kAnswerSpace = 300;

bool IsTermination(uint8_t type) { return type == '7' || type == '9'; }
}  // namespace

int HexDigitValue(int c) {
  // Anything that is not a digit counts as 0.
  return std::max(0, HexValue(static_cast<uint8_t>(c)));
}

RecordSent TransmitS_Record(ProgramState& state, size_t& written, uint32_t seconds) {
  ReadOnlyFile& file = state.srecord_file;
  if (!file.IsOpen()) {
    ShowBox(state.sink, u"Cannot read file", kTransmitCaption);
    return RecordSent::kFailed;
  }
  std::array<uint8_t, kRecordSpace> record{};
  size_t got = 0;
  if (!file.Read(std::span(record).first(kHeadSize), got)) {
    ShowBox(state.sink, u"Cannot receive from file", kTransmitCaption);
    return RecordSent::kFailed;
  }
  if (got < kHeadSize) {
    ShowBox(state.sink, u"Incorrect reception from file", kTransmitCaption);
    return RecordSent::kFailed;
  }
  const uint32_t count = 16 * HexDigitValue(record[2]) + HexDigitValue(record[3]);
  // A count above 147 would not fit the record space: refused before anything is read.
  if (count > kMaxRecordCount) {
    ShowBox(state.sink, u"*Incorrect reception from file", kTransmitCaption);
    return RecordSent::kFailed;
  }
  const size_t rest = (size_t{count} + 1) * 2;
  if (!file.Read(std::span(record).subspan(kHeadSize, rest), got)) {
    ShowBox(state.sink, u"*Cannot receive from file", kTransmitCaption);
    return RecordSent::kFailed;
  }
  if (got < rest) {
    ShowBox(state.sink, u"*Incorrect reception from file", kTransmitCaption);
    return RecordSent::kFailed;
  }
  const size_t length = kHeadSize + rest;
  if (!state.update_channel.Write(std::span(record).first(length), written)) {
    ShowBox(state.sink, u"Cannot transmit to UART", kTransmitCaption);
    return RecordSent::kFailed;
  }
  if (written != length) {
    ShowBox(state.sink, u"Incorrect transmission to UART", kTransmitCaption);
    return RecordSent::kFailed;
  }
  if (IsTermination(record[1])) return RecordSent::kEnded;
  switch (ReceiveTargetResponse(state, seconds)) {
    case LoaderAnswer::kAccepted: return RecordSent::kAccepted;
    case LoaderAnswer::kSilent: return RecordSent::kLoaderSilent;
    default: return RecordSent::kFailed;
  }
}

LoaderAnswer ReceiveTargetResponse(ProgramState& state, uint32_t seconds) {
  // The time waited, summed step by step: each step (one read, at most a second) is measured
  // mod 60 on the seconds clock as every wait is, but the sum can pass the 60-second limit,
  // which a single (now - start) mod 60 never could. Without it a receiver that keeps talking
  // without answering would hold the stream for ever.
  uint64_t last = state.clock.Seconds();
  uint64_t waited = 0;
  std::array<uint8_t, kAnswerSpace> line{};
  size_t index = 0;
  int empty_reads = 0;
  for (;;) {
    size_t got = 0;
    if (!state.update_channel.Read(std::span(line).subspan(index, 1), got)) {
      ShowBox(state.sink, u"Cannot receive from UART", kReceiveCaption);
      return LoaderAnswer::kRejected;
    }
    if (got == 0) {
      if (state.Stopping()) return LoaderAnswer::kRejected;  // the user stopped the run while the answer was awaited
      if (empty_reads == kMaxEmptyReads) {
        state.update_channel.Close();
        state.probe_channel.Close();
        ShowBox(state.sink, u"Cannot receive data from GPS module. Please restart application again!", u"Time Out");
        // The loader fell silent in the middle of flashing: nothing more goes to the receiver,
        // and the session above the worker ends the updater.
        return LoaderAnswer::kSilent;
      }
      ++empty_reads;
    } else if (got > 1) {
      ShowBox(state.sink, u"Incorrect reception from UART", kReceiveCaption);
      return LoaderAnswer::kRejected;
    } else if (line[index] == '\n') {
      if (index >= 3 && line[index - 3] == 'S') {
        const uint8_t verdict = line[index - 2];
        if (verdict == '5' || verdict == 'A') return LoaderAnswer::kAccepted;
        if (verdict == 'E') {
          ShowBox(state.sink, u"Bad S-record transfer.Try Upload again.", u"Response");
          return LoaderAnswer::kRejected;
        }
      }
      index = 0;  // a line that is not an answer
    } else {
      index = index == kAnswerSpace - 1 ? 0 : index + 1;
    }
    const uint64_t now = state.clock.Seconds();
    waited += ElapsedMod60(last, now);
    last = now;
    if (waited > seconds) return LoaderAnswer::kTimedOut;
  }
}

bool StreamSRecords(ProgramState& state, WorkerTelemetry& telemetry) {
  state.SetStatus(u"Transmitting target S-records file..");
  const int64_t file_size = state.srecord_file.Size();
  const uint64_t size = file_size > 0 ? static_cast<uint64_t>(file_size) : 0;

  PercentProgress progress(state);
  size_t written = 0;
  RecordSent result = TransmitS_Record(state, written, kAnswerSeconds);
  uint64_t total = written;
  while (result == RecordSent::kAccepted && !state.Stopping()) {
    telemetry.stage_done.fetch_add(1);
    progress.Update(total, size);
    written = 0;
    result = TransmitS_Record(state, written, kAnswerSeconds);
    total += written;
  }
  if (result == RecordSent::kEnded) {
    telemetry.stage_done.fetch_add(1);  // the termination record
    state.SetStatus(u"100%");
    state.sink.Progress(ProgressOp::kStepIt);
    return true;
  }
  telemetry.loader_silent.store(result == RecordSent::kLoaderSilent);
  if (result != RecordSent::kLoaderSilent && !state.Stopping()) ShowBox(state.sink, u"Firmware update failed!", u"Update");
  return false;
}

}  // namespace larkspan
