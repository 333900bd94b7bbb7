// receiver-sim's flash side without a pty: the S-record checker and flash image, the flash
// loader driven through the receiver model exactly as the updater drives it on the wire
// (boot frames at 38400, loader upload and records at 115200, revert to NMEA), its fault
// options, the line pacing, and the command line of all of these.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "receiver/command_frames.h"
#include "tools/receiver_sim/flash_loader.h"
#include "tools/receiver_sim/paced_line.h"
#include "tools/receiver_sim/receiver_model.h"
#include "tools/receiver_sim/sim_log.h"
#include "tools/receiver_sim/sim_options.h"
#include "tools/receiver_sim/srecord.h"

namespace larkspan::sim {
namespace {

namespace f = larkspan::frames;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
  return out;
}

// Records shaped like the release's file: header "HDR", data records of type 3 with 16
// bytes each at ascending addresses (the last one shorter), termination of type 7.
struct Firmware {
  std::vector<std::string> records;
  std::string Text() const {
    std::string t;
    for (const auto& r : records) t += r;
    return t;
  }
};

Firmware SmallFirmware(size_t full_records = 4, uint8_t seed = 0x30) {
  Firmware fw;
  const uint8_t hdr[] = {'H', 'D', 'R'};
  fw.records.push_back(MakeRecord(0, 0, hdr));
  for (size_t i = 0; i < full_records; ++i) {
    fw.records.push_back(MakeRecord(3, static_cast<uint32_t>(i * 16),
                                    Pattern(16, static_cast<uint8_t>(seed + i))));
  }
  fw.records.push_back(MakeRecord(3, static_cast<uint32_t>(full_records * 16), Pattern(12, seed)));
  fw.records.push_back(MakeRecord(7, 0, {}));
  return fw;
}

// Loader options with a few fields set.
template <typename Set>
LoaderOptions With(Set set) {
  LoaderOptions o;
  set(o);
  return o;
}

// ---- S-records

TEST(SimSRecord, RecordsOfTheReleaseLayoutParse) {
  SRecord r;
  ASSERT_EQ(ParseRecord("S00600004844521B\r\n", r), RecordFault::kNone);
  EXPECT_EQ(r.type, 0);
  EXPECT_EQ(r.address, 0u);
  EXPECT_EQ(r.data, (Bytes{'H', 'D', 'R'}));

  ASSERT_EQ(ParseRecord("S70500000000FA\r\n", r), RecordFault::kNone);
  EXPECT_EQ(r.type, 7);
  EXPECT_TRUE(r.data.empty());

  const std::string full = MakeRecord(3, 0x0004AC10, Pattern(16, 1));
  EXPECT_EQ(full.size(), 48u);
  ASSERT_EQ(ParseRecord(full, r), RecordFault::kNone);
  EXPECT_EQ(r.address, 0x0004AC10u);
  EXPECT_EQ(r.data, Pattern(16, 1));
  EXPECT_EQ(MakeRecord(3, 0x0004AC20, Pattern(12, 1)).size(), 40u);
}

TEST(SimSRecord, EveryTypeCarriesItsAddressWidth) {
  const Bytes data = {0xDE, 0xAD};
  struct Case {
    int type;
    uint32_t address;
    size_t length;  // characters before CR LF
  };
  for (const Case& c : {Case{0, 0x1234, 4 + 2 * 5}, Case{1, 0xBEEF, 4 + 2 * 5},
                        Case{2, 0xABCDEF, 4 + 2 * 6}, Case{3, 0x89ABCDEF, 4 + 2 * 7},
                        Case{5, 0x0003, 4 + 2 * 5}, Case{6, 0x000003, 4 + 2 * 6},
                        Case{7, 0x00001000, 4 + 2 * 7}, Case{8, 0x001000, 4 + 2 * 6},
                        Case{9, 0x1000, 4 + 2 * 5}}) {
    const std::string line = MakeRecord(c.type, c.address, data);
    EXPECT_EQ(line.size(), c.length + 2) << line;
    SRecord r;
    ASSERT_EQ(ParseRecord(line, r), RecordFault::kNone) << line;
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.address, c.address) << line;
    EXPECT_EQ(r.data, data) << line;
  }
}

TEST(SimSRecord, LowerCaseHexIsReadLikeUpperCase) {
  std::string line = MakeRecord(3, 0x0000ABCD, Pattern(16, 0xA0));
  for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  line[0] = 'S';
  SRecord r;
  ASSERT_EQ(ParseRecord(line, r), RecordFault::kNone) << line;
  EXPECT_EQ(r.address, 0x0000ABCDu);
  EXPECT_EQ(r.data, Pattern(16, 0xA0));
}

TEST(SimSRecord, EachFaultIsNamed) {
  const std::string good = MakeRecord(1, 0x1000, Bytes{1, 2, 3});  // S1061000010203E3
  ASSERT_EQ(good, "S1061000010203E3\r\n");
  struct Case {
    std::string line;
    RecordFault fault;
  };
  for (const Case& c : {
           Case{"S1061000010203E3\n", RecordFault::kBadLineEnd},
           Case{"S1061000010203E3\r", RecordFault::kBadLineEnd},
           Case{"S1061000010203E3\n\r", RecordFault::kBadLineEnd},
           Case{"\r\n", RecordFault::kNoMark},
           Case{"s1061000010203E3\r\n", RecordFault::kNoMark},
           Case{"$GPGGA,0*00\r\n", RecordFault::kNoMark},
           Case{"S4061000010203E3\r\n", RecordFault::kUnknownType},
           Case{"SX061000010203E3\r\n", RecordFault::kUnknownType},
           Case{"S\r\n", RecordFault::kUnknownType},
           Case{"S1G61000010203E3\r\n", RecordFault::kBadCount},
           Case{"S10\r\n", RecordFault::kBadCount},
           Case{"S1071000010203E3\r\n", RecordFault::kBadLength},
           Case{"S1061000010203E\r\n", RecordFault::kBadLength},
           Case{"S1061000010203E3 \r\n", RecordFault::kBadLength},
           Case{"S1061000010Z03E3\r\n", RecordFault::kBadHex},
           Case{"S1021000\r\n", RecordFault::kShortCount},
           Case{"S30410000000\r\n", RecordFault::kShortCount},
           Case{"S1061000010203E4\r\n", RecordFault::kBadChecksum},
       }) {
    SRecord r;
    EXPECT_EQ(FaultName(ParseRecord(c.line, r)), FaultName(c.fault)) << Printable(c.line);
  }
}

TEST(SimSRecord, AnyChangedDigitAfterTheCountIsCaught) {
  const std::string good = MakeRecord(3, 0x00012340, Pattern(16, 9));
  for (size_t i = 4; i + 2 < good.size(); ++i) {
    for (char d : std::string_view("0123456789ABCDEF")) {
      if (d == good[i]) continue;
      std::string bad = good;
      bad[i] = d;
      SRecord r;
      EXPECT_EQ(ParseRecord(bad, r), RecordFault::kBadChecksum) << bad;
    }
  }
}

TEST(SimSRecord, FlashImageKeepsLastByteAndFindsTheFirstDifference) {
  FlashImage a;
  a.Write(0xFE, Bytes{1, 2, 3, 4});  // crosses a page boundary
  a.Write(0xFF, Bytes{9});
  EXPECT_EQ(a.size(), 4u);
  EXPECT_EQ(a.At(0xFE), 1);
  EXPECT_EQ(a.At(0xFF), 9);
  EXPECT_EQ(a.At(0x101), 4);
  EXPECT_FALSE(a.At(0x102).has_value());

  FlashImage b;
  b.Write(0xFE, Bytes{1, 9, 3, 4});
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a.FirstDifference(b).has_value());

  b.Write(0x101, Bytes{5});
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.FirstDifference(b), 0x101u);

  // A byte written in one image only, even with the value 0 that unwritten bytes hold.
  FlashImage c = a;
  c.Write(0x50, Bytes{0});
  EXPECT_EQ(c.FirstDifference(a), 0x50u);
  EXPECT_EQ(a.FirstDifference(c), 0x50u);
  FlashImage d = a;
  d.Write(0x102, Bytes{0});
  EXPECT_EQ(d.FirstDifference(a), 0x102u);
}

TEST(SimSRecord, FileLoadStopsAtTerminationAndNamesABadRecord) {
  Firmware fw = SmallFirmware(3);
  FlashImage image;
  std::string error;
  ASSERT_TRUE(LoadSRecords(fw.Text() + "\r\nS1 junk after the end\n", "fw", image, &error))
      << error;
  EXPECT_EQ(image.size(), 3u * 16 + 12);
  EXPECT_EQ(image.At(16), Pattern(16, 0x31)[0]);

  // LF-only line ends are read as well.
  std::string lf_only = fw.Text();
  lf_only.erase(std::remove(lf_only.begin(), lf_only.end(), '\r'), lf_only.end());
  FlashImage same;
  ASSERT_TRUE(LoadSRecords(lf_only, "fw", same, &error)) << error;
  EXPECT_EQ(same, image);

  fw.records[2][10] = fw.records[2][10] == '0' ? '1' : '0';
  FlashImage broken;
  EXPECT_FALSE(LoadSRecords(fw.Text(), "fw.s", broken, &error));
  EXPECT_EQ(error, "fw.s: record 3: bad-checksum");

  EXPECT_FALSE(LoadSRecordFile("/nonexistent/fw.s", broken, &error));
  EXPECT_NE(error.find("/nonexistent/fw.s"), std::string::npos) << error;
}

// ---- The flash loader in the receiver model

// The updater's judgement of the loader's answer: reads bytes as its answer wait does and
// looks only at the three bytes before each line feed. 1 accepted, 0 rejected, -1 no
// answer among them.
int UpdaterVerdict(std::string_view bytes) {
  std::string line;
  for (char c : bytes) {
    if (c != '\n') {
      line += c;
      continue;
    }
    const size_t i = line.size();
    if (i >= 3 && line[i - 3] == 'S' && (line[i - 2] == '5' || line[i - 2] == 'A')) return 1;
    if (i >= 3 && line[i - 3] == 'S' && line[i - 2] == 'E') return 0;
    line.clear();
  }
  return -1;
}

class SimFlashLoader : public testing::Test {
 protected:
  static constexpr int kLoader = 115200;
  static constexpr std::time_t kNoon = 1700049600;

  // The receiver as the updater finds it after its two switch-to-binary sentences, with the
  // flash side installed; then the flash-update and loader-speed frames at 38400.
  void Start(LoaderOptions options = {}, std::optional<FlashImage> expected = std::nullopt,
             ReceiverOptions receiver = {}) {
    receiver.start_mode = Mode::kBinary;
    receiver.start_speed = 38400;
    NewReceiver(receiver);
    auto loader = std::make_unique<FlashLoader>(std::move(options), std::move(expected));
    loader_ = loader.get();
    model_->SetFlashUpdateHook(std::move(loader));
    Host(f::kFlashUpdate, 38400);
    Host(f::kLoaderSpeed, 38400);
    ASSERT_EQ(model_->mode(), Mode::kLoader) << LogText();
    ASSERT_EQ(model_->speed(), kLoader);
  }
  // Header, the image one byte per write, trailer: as the loader upload sends them.
  void Upload(const Bytes& image) {
    const auto n = static_cast<uint32_t>(image.size());
    Host(Bytes{0x53, 0x00, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
               static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)},
         kLoader);
    for (uint8_t b : image) Host(Bytes{b}, kLoader);
    Host(Bytes{0, 0, 0, 0}, kLoader);
  }
  void StartLoader(LoaderOptions options = {}, std::optional<FlashImage> expected = std::nullopt,
                   ReceiverOptions receiver = {}) {
    Start(std::move(options), std::move(expected), std::move(receiver));
    Upload(Pattern(40, 0x0A));
    ASSERT_EQ(loader_->phase(), FlashLoader::Phase::kRecords) << LogText();
  }
  // Sends one record and returns what came back.
  std::string Record(std::string_view record) {
    Host(record, kLoader);
    return Sent(kLoader);
  }
  // The whole firmware as the stream sends it; every answer must accept.
  void Stream(const Firmware& fw) {
    for (const std::string& r : fw.records) {
      const std::string answer = Record(r);
      if (r[1] == '7' || r[1] == '9') {
        EXPECT_EQ(answer, "") << r;
      } else {
        EXPECT_EQ(UpdaterVerdict(answer), 1) << r << LogText();
      }
    }
  }

  void Host(std::span<const uint8_t> bytes, int speed) { model_->Receive(bytes, speed); }
  void Host(std::string_view text, int speed) { Host(f::Bytes(text), speed); }
  std::string Sent(int speed) {
    std::string out;
    for (const Transmission& t : model_->TakeOutput()) {
      EXPECT_EQ(t.speed, speed);
      out.append(t.bytes.begin(), t.bytes.end());
    }
    return out;
  }
  bool Logged(std::string_view line) const {
    const auto& l = log().lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
  size_t CountLogged(std::string_view prefix) const {
    return static_cast<size_t>(std::count_if(log().lines().begin(), log().lines().end(),
                                             [&](const std::string& l) {
                                               return l.rfind(prefix, 0) == 0;
                                             }));
  }
  std::string LogText() const {
    std::string s;
    for (const auto& l : log().lines()) s += l + "\n";
    return s;
  }

  SimLog& log() { return *log_; }
  const SimLog& log() const { return *log_; }
  // A new log for every receiver, so that a test's checks see only its latest session.
  void NewReceiver(const ReceiverOptions& options) {
    model_.reset();
    log_ = std::make_unique<SimLog>();
    log_->KeepInMemory();
    model_ = std::make_unique<ReceiverModel>(options, *log_);
  }

  std::unique_ptr<SimLog> log_;
  std::unique_ptr<ReceiverModel> model_;
  FlashLoader* loader_ = nullptr;
};

TEST_F(SimFlashLoader, LoaderUploadOfTheShippedSize) {
  Start();
  Upload(Pattern(14316, 0));  // holds 0x53, 0x0A, 0x0D and zeros: none of them means anything
  EXPECT_TRUE(Logged("loader-header speed=115200 hex=5300000037ec size=14316")) << LogText();
  EXPECT_TRUE(Logged("loader-image bytes=14316")) << LogText();
  EXPECT_TRUE(Logged("loader-trailer hex=00000000")) << LogText();
  EXPECT_EQ(CountLogged("ignored"), 0u) << LogText();
  EXPECT_EQ(loader_->phase(), FlashLoader::Phase::kRecords);
  EXPECT_EQ(Sent(kLoader), "") << "the boot code does not answer the upload";
  model_->Tick(kNoon);
  EXPECT_EQ(Sent(kLoader), "") << "nor does the loader speak unasked";
}

TEST_F(SimFlashLoader, UploadInOneReadAndAnEmptyImage) {
  Start();
  Bytes all = {0x53, 0x00, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0};
  const std::string first = SmallFirmware().records[0];
  all.insert(all.end(), first.begin(), first.end());  // the first record in the same read
  Host(all, kLoader);
  EXPECT_TRUE(Logged("loader-image bytes=3")) << LogText();
  EXPECT_EQ(UpdaterVerdict(Sent(kLoader)), 1) << LogText();

  Start();
  Upload({});
  EXPECT_TRUE(Logged("loader-header speed=115200 hex=530000000000 size=0")) << LogText();
  EXPECT_EQ(loader_->phase(), FlashLoader::Phase::kRecords);
}

TEST_F(SimFlashLoader, UnexpectedUploadBytesAreFlagged) {
  Start();
  Host("xy", kLoader);
  Host(Bytes{0x53, 0x01}, kLoader);  // a mark without its 00
  Host(Bytes{0x53, 0x00, 0, 0, 0, 2, 1, 2}, kLoader);
  EXPECT_TRUE(Logged("ignored bytes=2: before the loader header")) << LogText();
  EXPECT_TRUE(Logged("ignored loader-header hex=5301: second byte not 00")) << LogText();
  EXPECT_TRUE(Logged("loader-header speed=115200 hex=530000000002 size=2")) << LogText();

  // An image longer than announced runs into the trailer: the loader never starts.
  Host(Bytes{3, 0, 0, 0}, kLoader);
  EXPECT_TRUE(Logged("loader-trailer hex=03000000")) << LogText();
  EXPECT_TRUE(Logged("ignored loader-trailer: not 00000000, loader not started")) << LogText();
  EXPECT_EQ(Record(SmallFirmware().records[0]), "");
  EXPECT_TRUE(Logged("ignored bytes=18: loader not running")) << LogText();
  EXPECT_EQ(model_->mode(), Mode::kLoader);
}

TEST_F(SimFlashLoader, GoodRecordsOfEveryKindAreAccepted) {
  StartLoader();
  EXPECT_EQ(Record("S00600004844521B\r\n"), "S5\r\n");
  EXPECT_EQ(Record(MakeRecord(3, 0x100, Pattern(16, 1))), "S5\r\n");
  EXPECT_EQ(Record(MakeRecord(2, 0x200, Pattern(4, 2))), "S5\r\n");
  EXPECT_EQ(Record(MakeRecord(1, 0x300, Pattern(4, 3))), "S5\r\n");
  EXPECT_EQ(Record(MakeRecord(5, 3, {})), "S5\r\n");
  std::string lower_count = MakeRecord(3, 0x400, Pattern(6, 4));
  ASSERT_EQ(lower_count.substr(0, 4), "S30B");
  lower_count[3] = 'b';
  EXPECT_EQ(Record(lower_count), "S5\r\n");
  EXPECT_EQ(loader_->records(), 6u);
  EXPECT_EQ(loader_->rejected(), 0u);
  EXPECT_EQ(loader_->data_bytes(), 16u + 4 + 4 + 6);
  EXPECT_EQ(loader_->image().At(0x203), Pattern(4, 2)[3]);
  EXPECT_EQ(loader_->image().At(0x405), Pattern(6, 4)[5]);
  EXPECT_EQ(CountLogged("record"), 0u) << "per-record lines only with --log-records";
}

TEST_F(SimFlashLoader, BadRecordsAreRejectedAndNotFlashed) {
  StartLoader();
  std::string bad_sum = MakeRecord(3, 0x100, Pattern(16, 1));
  char& digit = bad_sum[bad_sum.size() - 3];
  digit = digit == '0' ? '1' : '0';
  EXPECT_EQ(Record(bad_sum), "SE\r\n");
  EXPECT_EQ(Record("S1061000010203E3\n"), "SE\r\n");
  EXPECT_EQ(Record("S4061000010203E3\r\n"), "SE\r\n");
  EXPECT_EQ(Record("S1061000010Z03E3\r\n"), "SE\r\n");
  EXPECT_EQ(UpdaterVerdict("SE\r\n"), 0);
  EXPECT_TRUE(Logged("record-rejected n=1 reason=bad-checksum")) << LogText();
  EXPECT_TRUE(Logged("record-rejected n=2 reason=bad-line-end")) << LogText();
  EXPECT_TRUE(Logged("record-rejected n=3 reason=unknown-type")) << LogText();
  EXPECT_TRUE(Logged("record-rejected n=4 reason=bad-hex")) << LogText();
  EXPECT_TRUE(loader_->image().empty());
  // The loader goes on: the next good record is taken.
  EXPECT_EQ(Record(MakeRecord(3, 0x100, Pattern(16, 1))), "S5\r\n");
}

TEST_F(SimFlashLoader, AnOverlongLineIsRejectedOnceAndItsRestDropped) {
  StartLoader();
  const std::string junk(FlashLoader::kMaxLine, 'x');
  EXPECT_EQ(Record(junk), "") << "600 bytes without a line feed may still become a line";
  EXPECT_EQ(Record("yyyy"), "SE\r\n");
  EXPECT_EQ(Record("zzzz\r\n"), "") << "the rest of the overlong line";
  EXPECT_TRUE(Logged("record-rejected n=1 reason=overlong")) << LogText();
  EXPECT_EQ(Record(MakeRecord(3, 0, Pattern(16, 1))), "S5\r\n");
  EXPECT_EQ(loader_->records(), 2u);
}

TEST_F(SimFlashLoader, ARecordSplitAnywhereIsTheSameRecord) {
  const std::string record = MakeRecord(3, 0x0004AC10, Pattern(16, 7));
  for (size_t cut = 1; cut < record.size(); ++cut) {
    StartLoader();
    EXPECT_EQ(Record(record.substr(0, cut)), "") << cut;
    EXPECT_EQ(Record(record.substr(cut)), "S5\r\n") << cut;
    EXPECT_EQ(loader_->image().At(0x0004AC1F), Pattern(16, 7)[15]) << cut;
  }
  // And several records in one read get one answer each, in order.
  StartLoader();
  std::string bad = record;
  bad[5] = 'G';
  EXPECT_EQ(Record(record + bad + record), "S5\r\nSE\r\nS5\r\n");
}

TEST_F(SimFlashLoader, TerminationRecordsEndFlashingWithoutAnswer) {
  for (const std::string& end :
       {MakeRecord(7, 0, {}), MakeRecord(8, 0, {}), MakeRecord(9, 0, {})}) {
    StartLoader();
    Firmware fw = SmallFirmware(2);
    fw.records.pop_back();
    Stream(fw);
    EXPECT_EQ(model_->mode(), Mode::kLoader);
    EXPECT_EQ(Record(end), "") << end;
    EXPECT_EQ(model_->mode(), Mode::kBinary) << end;
    EXPECT_EQ(model_->speed(), 115200) << end;
  }
  // The stream's own S7 counts as a record and makes no flash-end of its own afterwards.
  StartLoader();
  Stream(SmallFirmware(2));
  EXPECT_TRUE(Logged("flash-end records=5 data-bytes=44 match=unknown")) << LogText();
  EXPECT_TRUE(Logged("new-firmware version=\" 2.4.13.03.10\" version-lines=on")) << LogText();
  EXPECT_TRUE(Logged("mode binary speed=115200")) << LogText();
}

TEST_F(SimFlashLoader, ABadTerminationRecordIsRejectedAndFlashingGoesOn) {
  StartLoader();
  EXPECT_EQ(Record("S70500000000FB\r\n"), "SE\r\n");
  EXPECT_EQ(model_->mode(), Mode::kLoader);
  EXPECT_EQ(Record("S70500000000FA\r\n"), "");
  EXPECT_EQ(model_->mode(), Mode::kBinary);
}

TEST_F(SimFlashLoader, FlashedImageIsComparedWithTheFirmwareFile) {
  const Firmware fw = SmallFirmware(5);
  const std::string path = testing::TempDir() + "sim_flash_test_fw.s";
  {
    std::ofstream out(path, std::ios::binary);
    out << fw.Text();
  }
  FlashImage expected;
  std::string error;
  ASSERT_TRUE(LoadSRecordFile(path, expected, &error)) << error;
  std::remove(path.c_str());

  StartLoader({}, expected);
  Stream(fw);
  EXPECT_TRUE(Logged("flash-end records=8 data-bytes=92 match=yes")) << LogText();

  // One data byte differs from the file.
  Firmware changed = fw;
  Bytes data = Pattern(16, 0x32);
  data[0] ^= 0xFF;
  changed.records[3] = MakeRecord(3, 0x20, data);
  StartLoader({}, expected);
  Stream(changed);
  EXPECT_TRUE(Logged("flash-end records=8 data-bytes=92 match=no")) << LogText();
  EXPECT_TRUE(Logged(Format("flash-mismatch address=0x00000020 flashed=%02x expected=%02x",
                            unsigned{data[0]}, unsigned{Pattern(16, 0x32)[0]})))
      << LogText();

  // A record rejected on the way leaves a gap.
  StartLoader(With([&](LoaderOptions& o) { o.reject_record = 3; }), expected);
  for (size_t i = 0; i < fw.records.size(); ++i) {
    const int verdict = i == 2 ? 0 : i + 1 == fw.records.size() ? -1 : 1;
    EXPECT_EQ(UpdaterVerdict(Record(fw.records[i])), verdict) << i;
  }
  EXPECT_TRUE(Logged("flash-end records=8 data-bytes=76 match=no")) << LogText();
  EXPECT_TRUE(Logged("flash-mismatch address=0x00000010 flashed=none expected=31")) << LogText();
}

TEST_F(SimFlashLoader, RejectRecordOptionAnswersSEToThatRecordOnly) {
  StartLoader(With([&](LoaderOptions& o) { o.reject_record = 1; o.log_records = true; }));
  const Firmware fw = SmallFirmware(1);
  EXPECT_EQ(Record(fw.records[0]), "SE\r\n");
  EXPECT_EQ(Record(fw.records[1]), "S5\r\n");
  EXPECT_EQ(Record(fw.records[2]), "S5\r\n");
  EXPECT_EQ(Record(fw.records[3]), "");
  const std::vector<std::string> expected = {
      "record-rejected n=1 reason=by-option", "record n=1 type=0 answer=SE",
      "record n=2 type=3 answer=S5",          "record n=3 type=3 answer=S5",
      "record n=4 type=7 answer=none",
  };
  for (const auto& line : expected) EXPECT_TRUE(Logged(line)) << line << "\n" << LogText();
}

TEST_F(SimFlashLoader, SilentAfterRecordStopsAnsweringAndStaysInTheLoader) {
  StartLoader(With([&](LoaderOptions& o) { o.silent_after_record = 2; o.log_records = true; }));
  const Firmware fw = SmallFirmware(3);
  EXPECT_EQ(Record(fw.records[0]), "S5\r\n");
  EXPECT_EQ(Record(fw.records[1]), "S5\r\n");
  for (size_t i = 2; i < fw.records.size(); ++i) EXPECT_EQ(Record(fw.records[i]), "") << i;
  EXPECT_EQ(model_->mode(), Mode::kLoader) << "not even the termination record is obeyed";
  EXPECT_EQ(CountLogged("loader-silent after-record=2"), 1u) << LogText();
  EXPECT_TRUE(Logged("record n=3 type=3 answer=none")) << LogText();
  EXPECT_EQ(CountLogged("flash-end"), 0u);

  StartLoader(With([&](LoaderOptions& o) { o.silent_after_record = 0; }));
  EXPECT_EQ(Record(fw.records[0]), "");
}

TEST_F(SimFlashLoader, AnswerPrefixAndAnswerCharacter) {
  std::string prefix;
  ASSERT_TRUE(Unescape("$GPGGA,0*00\\r\\nLoader: ", prefix, nullptr));
  StartLoader(With([&](LoaderOptions& o) { o.answer_prefix = prefix; o.answer_char = 'A'; }));
  const std::string answer = Record(SmallFirmware().records[1]);
  EXPECT_EQ(answer, "$GPGGA,0*00\r\nLoader: SA\r\n");
  EXPECT_EQ(UpdaterVerdict(answer), 1);
  const std::string rejected = Record("S1061000010203E4\r\n");
  EXPECT_EQ(rejected, "$GPGGA,0*00\r\nLoader: SE\r\n");
  EXPECT_EQ(UpdaterVerdict(rejected), 0);

  // A character the updater does not know gives an answer it never takes.
  StartLoader(With([&](LoaderOptions& o) { o.answer_char = 'X'; }));
  EXPECT_EQ(UpdaterVerdict(Record(SmallFirmware().records[1])), -1);
}

// The revert that follows the stream: the switch-to-NMEA frame at each speed the updater
// tries, then what it reads at 4800.
TEST_F(SimFlashLoader, NewFirmwareReportsItsVersionOnceBackInNmea) {
  StartLoader();
  Stream(SmallFirmware());
  model_->Tick(kNoon);
  EXPECT_NE(Sent(115200), "") << "the new firmware speaks binary at 115200";
  Host(f::kSwitchToNmea, 115200);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  EXPECT_EQ(model_->speed(), 4800);
  model_->Tick(kNoon + 1);
  EXPECT_NE(Sent(4800).find("$PSRFTXT,Version: 2.4.13.03.10-GSW2-2.05.024\r\n"),
            std::string::npos);
  // The attempt at 57600 is noise to a receiver at 4800; the RMC rate and reset are obeyed.
  Host(f::kSwitchToNmea, 57600);
  Host(f::kRmcRate, 4800);
  EXPECT_EQ(model_->rmc_period(), 1);
  Host(f::kReset, 4800);
  EXPECT_TRUE(Logged("reset")) << LogText();
  model_->Tick(kNoon + 2);
  EXPECT_NE(Sent(4800).find("Version: 2.4.13.03.10-"), std::string::npos)
      << "a reset keeps the flashed firmware";
}

TEST_F(SimFlashLoader, AfterFlashSpeedLostVersionAndRefusedSwitch) {
  // Binary at 57600: the attempt at 115200 is garbage, the one at 57600 works.
  StartLoader(With([&](LoaderOptions& o) { o.after_flash_speed = 57600; o.new_version = "NEW"; }));
  Stream(SmallFirmware());
  EXPECT_EQ(model_->speed(), 57600);
  Host(f::kSwitchToNmea, 115200);
  EXPECT_EQ(model_->mode(), Mode::kBinary);
  Host(f::kSwitchToNmea, 57600);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  model_->Tick(kNoon);
  EXPECT_NE(Sent(4800).find("Version:NEW-"), std::string::npos);

  StartLoader(With([&](LoaderOptions& o) { o.version_after_flash = false; }));
  Stream(SmallFirmware());
  Host(f::kSwitchToNmea, 115200);
  EXPECT_EQ(model_->mode(), Mode::kNmea);
  for (int s = 0; s < 5; ++s) model_->Tick(kNoon + s);
  const std::string out = Sent(4800);
  EXPECT_NE(out.find("$GPGGA"), std::string::npos);
  EXPECT_EQ(out.find("Version"), std::string::npos);

  ReceiverOptions refusing;
  refusing.refuse_nmea_at = {115200};
  StartLoader({}, std::nullopt, refusing);
  Stream(SmallFirmware());
  Host(f::kSwitchToNmea, 115200);
  EXPECT_EQ(model_->mode(), Mode::kBinary);
  EXPECT_TRUE(Logged("ignored switch-to-nmea at 115200: refused by option")) << LogText();
}

// Everything the updater sends in one upgrade, in order, at the speeds it sends them.
TEST_F(SimFlashLoader, WholeUpgradeFromNmea) {
  NewReceiver(ReceiverOptions{});
  const Firmware fw = SmallFirmware(6);
  FlashImage expected;
  ASSERT_TRUE(LoadSRecords(fw.Text(), "fw", expected, nullptr));
  model_->SetFlashUpdateHook(std::make_unique<FlashLoader>(LoaderOptions{}, expected));
  Host(f::kSwitchToBinary, 4800);
  Host(f::kSwitchToBinary, 4800);
  Host(f::kFlashUpdate, 38400);
  Host(f::kLoaderSpeed, 38400);
  Upload(Pattern(14316, 3));
  Stream(fw);
  Host(f::kSwitchToNmea, 115200);
  Host(f::kSwitchToNmea, 57600);
  Host(f::kRmcRate, 4800);
  Host(f::kReset, 4800);
  const std::vector<std::string> milestones = {
      "mode binary speed=38400",
      "mode flash-update speed=38400",
      "loader-speed arg=2",
      "mode loader speed=115200",
      "loader-header speed=115200 hex=5300000037ec size=14316",
      "loader-image bytes=14316",
      "loader-trailer hex=00000000",
      "flash-end records=9 data-bytes=108 match=yes",
      "mode binary speed=115200",
      "mode nmea speed=4800",
      "rmc-rate 1",
      "reset",
  };
  size_t at = 0;
  for (const std::string& line : log().lines()) {
    if (at < milestones.size() && line == milestones[at]) ++at;
  }
  EXPECT_EQ(at, milestones.size()) << "missing: " << milestones[std::min(at, milestones.size() - 1)]
                                   << "\n" << LogText();
  EXPECT_EQ(CountLogged("record-rejected"), 0u);
}

TEST_F(SimFlashLoader, ASecondUpgradeStartsAFreshSession) {
  StartLoader();
  Stream(SmallFirmware(3));
  Host(f::kFlashUpdate, 115200);
  Host(f::kLoaderSpeed, 115200);
  ASSERT_EQ(model_->mode(), Mode::kLoader);
  EXPECT_TRUE(loader_->image().empty());
  EXPECT_EQ(loader_->records(), 0u);
  Upload(Pattern(5, 1));
  Stream(SmallFirmware(1));
  EXPECT_TRUE(Logged("flash-end records=4 data-bytes=28 match=unknown")) << LogText();
}

// ---- Pacing

TEST(SimPacedLine, CarryTimeIsTenBitsAByte) {
  using std::chrono::nanoseconds;
  EXPECT_EQ(PacedLine::CarryTime(1, 4800), nanoseconds(2083334));  // rounded up
  EXPECT_EQ(PacedLine::CarryTime(48, 115200), nanoseconds(4166667));
  EXPECT_EQ(PacedLine::CarryTime(11520, 115200), nanoseconds(1000000000));
  EXPECT_EQ(PacedLine::CarryTime(5, 0), nanoseconds(0));
}

TEST(SimPacedLine, WholeChunksComeOutWhenTheirLastByteArrived) {
  using namespace std::chrono_literals;
  const PacedLine::Clock::time_point t0{};
  PacedLine line(PacedLine::Release::kWholeChunks);
  const Bytes a = Pattern(48, 1);
  line.Push(a, 115200, 115200, t0);
  const auto due = t0 + PacedLine::CarryTime(48, 115200);
  EXPECT_EQ(line.NextDue(), due);
  EXPECT_TRUE(line.Take(due - 1ns).empty());
  // A second chunk handed over meanwhile queues behind the first.
  line.Push(Bytes{1, 2}, 38400, 38400, t0 + 1ms);
  auto out = line.Take(due);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, a);
  EXPECT_EQ(out[0].speed, 115200);
  const auto second = due + PacedLine::CarryTime(2, 38400);
  EXPECT_EQ(line.NextDue(), second);
  out = line.Take(second + 1s);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].speed, 38400);
  EXPECT_TRUE(line.empty());
  EXPECT_FALSE(line.NextDue().has_value());
  // An idle line starts a chunk when it is handed over, not when the last one ended.
  line.Push(Bytes{7}, 4800, 4800, t0 + 10s);
  EXPECT_EQ(line.NextDue(), t0 + 10s + PacedLine::CarryTime(1, 4800));
}

TEST(SimPacedLine, BytesComeOutOneByOneNeverEarly) {
  using namespace std::chrono_literals;
  const PacedLine::Clock::time_point t0{};
  PacedLine line(PacedLine::Release::kBytes);
  line.Push(f::Bytes("S5\r\n"), 115200, 115200, t0);
  line.Push(f::Bytes("$G"), 4800, 4800, t0);
  std::string got;
  size_t takes = 0;
  bool saw_first = false, saw_last = false;
  for (auto t = t0; !line.empty(); t += 10us) {
    for (const auto& s : line.Take(t)) {
      ++takes;
      got.append(s.bytes.begin(), s.bytes.end());
      // Never more than the line has carried by t: four bytes at 115200, then 4800.
      const size_t n = got.size();
      const auto ready = n <= 4 ? t0 + PacedLine::CarryTime(n, 115200)
                                : t0 + PacedLine::CarryTime(4, 115200) +
                                      PacedLine::CarryTime(n - 4, 4800);
      EXPECT_LE(ready, t) << got;
      if (s.speed == 4800 && s.first) saw_first = true;
      if (s.speed == 4800 && s.last) saw_last = true;
    }
  }
  EXPECT_EQ(got, "S5\r\n$G");
  EXPECT_EQ(takes, 6u) << "one byte at a time at this resolution";
  EXPECT_TRUE(saw_first && saw_last);
}

// ---- Command line

TEST(SimFlashOptions, DefaultsAndEveryFlashOption) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseOptions({}, o, &error)) << error;
  EXPECT_EQ(o.loader.reject_record, 0u);
  EXPECT_FALSE(o.loader.silent_after_record.has_value());
  EXPECT_EQ(o.loader.answer_prefix, "");
  EXPECT_EQ(o.loader.answer_char, '5');
  EXPECT_EQ(o.loader.after_flash_speed, 115200);
  EXPECT_EQ(o.loader.new_version, " 2.4.13.03.10");
  EXPECT_TRUE(o.loader.version_after_flash);
  EXPECT_FALSE(o.loader.log_records);
  EXPECT_FALSE(o.pace);
  EXPECT_TRUE(o.firmware.empty());
  EXPECT_TRUE(o.receiver.refuse_nmea_at.empty());

  SimOptions p;
  ASSERT_TRUE(ParseOptions({"--firmware", "fw.s", "--log-records", "--reject-record=3",
                            "--silent-after-record", "0", "--answer-prefix",
                            "$GPGGA,0*00\\r\\nLoader:\\x20", "--answer-char", "A",
                            "--after-flash-speed", "38400", "--new-version", "V9",
                            "--lose-version-after-flash", "--refuse-nmea-at", "115200",
                            "--refuse-nmea-at=57600", "--pace"},
                           p, &error))
      << error;
  EXPECT_EQ(p.firmware, "fw.s");
  EXPECT_TRUE(p.loader.log_records);
  EXPECT_EQ(p.loader.reject_record, 3u);
  EXPECT_EQ(p.loader.silent_after_record, 0u);
  EXPECT_EQ(p.loader.answer_prefix, "$GPGGA,0*00\r\nLoader: ");
  EXPECT_EQ(p.loader.answer_char, 'A');
  EXPECT_EQ(p.loader.after_flash_speed, 38400);
  EXPECT_EQ(p.loader.new_version, "V9");
  EXPECT_FALSE(p.loader.version_after_flash);
  EXPECT_EQ(p.receiver.refuse_nmea_at, (std::vector<int>{115200, 57600}));
  EXPECT_TRUE(p.pace);
  for (const char* option : {"--firmware", "--log-records", "--reject-record", "--pace",
                             "--silent-after-record", "--answer-prefix", "--answer-char",
                             "--after-flash-speed", "--new-version",
                             "--lose-version-after-flash", "--refuse-nmea-at"}) {
    EXPECT_NE(std::string_view(kUsage).find(option), std::string_view::npos) << option;
  }
}

TEST(SimFlashOptions, BadFlashCommandLinesAreRefused) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--firmware"},
           {"--reject-record", "0"},
           {"--reject-record", "two"},
           {"--silent-after-record", "-1"},
           {"--answer-prefix", "bad\\q"},
           {"--answer-prefix", "trailing\\"},
           {"--answer-prefix", "\\x4"},
           {"--answer-char", "55"},
           {"--answer-char", ""},
           {"--after-flash-speed", "1000"},
           {"--refuse-nmea-at", "fast"},
           {"--pace=1"},
       }) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
  std::string out;
  ASSERT_TRUE(Unescape("a\\\\b\\t\\x0a\\x0D", out, nullptr));
  EXPECT_EQ(out, "a\\b\t\n\r");
}

}  // namespace
}  // namespace larkspan::sim
