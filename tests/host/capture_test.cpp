// The capture writer: a written file read back with libpcap (link type, records in order,
// timestamps, every pseudo-header and frame byte), and its refusals and errors.
#include <gmock/gmock.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host/capture/irda_capture.h"

namespace sirtest {
namespace {

using host::capture::FrameDirection;
using host::capture::IrdaCapture;

struct Record {
  long seconds;
  long microseconds;
  std::vector<std::uint8_t> bytes;  // pseudo-header and frame
};

struct ReadBack {
  int linkType = -1;
  std::vector<Record> records;
};

// Reads a capture file with libpcap, failing the test when it cannot.
ReadBack ReadCapture(const std::string& path) {
  ReadBack file;
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_open_offline(path.c_str(), error);
  EXPECT_NE(handle, nullptr) << error;
  if (handle == nullptr) return file;
  file.linkType = pcap_datalink(handle);
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  int result;
  while ((result = pcap_next_ex(handle, &header, &data)) == 1) {
    EXPECT_EQ(header->caplen, header->len);
    file.records.push_back(Record{static_cast<long>(header->ts.tv_sec),
                                  static_cast<long>(header->ts.tv_usec),
                                  std::vector<std::uint8_t>(data, data + header->caplen)});
  }
  EXPECT_EQ(result, PCAP_ERROR_BREAK) << pcap_geterr(handle);  // the end of the file
  pcap_close(handle);
  return file;
}

class CaptureTest : public ::testing::Test {
 protected:
  // One file a test and a process, so that test runs side by side do not meet.
  std::string path = ::testing::TempDir() + "irda_capture_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                     std::to_string(getpid()) + ".pcap";
  void TearDown() override { std::filesystem::remove(path); }
};

TEST_F(CaptureTest, WritesEachFrameWithItsPseudoHeaderAndVirtualTimestamp) {
  struct Frame {
    host::VirtualTime time;
    FrameDirection direction;
    std::vector<std::uint8_t> bytes;
    long seconds, microseconds;  // the timestamp it must get
  };
  const Frame frames[] = {
      // An XID command from 0x11223344, broadcast, at the capture's time zero.
      {0, FrameDirection::kOutgoing,
       {0xFF, 0x3F, 0x01, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00}, 0, 0},
      // An XID response; the 100 ns part of the time is dropped.
      {1'234'567, FrameDirection::kIncoming, {0xFE, 0xBF, 0x01, 0x78, 0x56}, 0, 123'456},
      // An I-frame after some virtual seconds.
      {42 * host::kSecond + 7 * host::kMicrosecond + 9, FrameDirection::kIncoming,
       {0x43, 0x10, 0xC0, 0xC1, 0x7D}, 42, 7},
      // Earlier than the one before: the order of writing is kept.
      {3 * host::kSecond, FrameDirection::kOutgoing, {0x42, 0x11}, 3, 0},
  };
  IrdaCapture capture;
  ASSERT_TRUE(capture.Open(path)) << capture.error();
  for (const Frame& frame : frames) {
    ASSERT_TRUE(capture.Write(frame.time, frame.direction, frame.bytes)) << capture.error();
  }
  EXPECT_EQ(capture.frames(), std::size(frames));
  ASSERT_TRUE(capture.Close()) << capture.error();

  ReadBack file = ReadCapture(path);
  EXPECT_EQ(file.linkType, 144);
  EXPECT_EQ(file.linkType, DLT_LINUX_IRDA);
  ASSERT_EQ(file.records.size(), std::size(frames));
  for (std::size_t i = 0; i < std::size(frames); ++i) {
    SCOPED_TRACE(i);
    const Frame& frame = frames[i];
    const Record& record = file.records[i];
    EXPECT_EQ(record.seconds, frame.seconds);
    EXPECT_EQ(record.microseconds, frame.microseconds);
    std::uint8_t type = frame.direction == FrameDirection::kIncoming ? 0x00 : 0x04;
    std::vector<std::uint8_t> expected = {0x00, type, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
    expected.insert(expected.end(), frame.bytes.begin(), frame.bytes.end());
    EXPECT_EQ(record.bytes, expected);
  }
}

TEST_F(CaptureTest, RefusedFramesLeaveTheFileAsItWas) {
  IrdaCapture capture;
  EXPECT_FALSE(capture.Write(0, FrameDirection::kIncoming, std::vector<std::uint8_t>{0xFF, 0x3F}));
  EXPECT_THAT(capture.error(), ::testing::HasSubstr("no file is open"));

  ASSERT_TRUE(capture.Open(path)) << capture.error();
  EXPECT_FALSE(capture.Open(path));
  EXPECT_THAT(capture.error(), ::testing::HasSubstr("open already"));
  const std::vector<std::uint8_t> largest(host::capture::kMaxFrameSize, 0x5A);
  const std::vector<std::uint8_t> tooLong(host::capture::kMaxFrameSize + 1, 0x5A);
  struct Refusal {
    const char* name;
    host::VirtualTime time;
    std::vector<std::uint8_t> frame;
    const char* error;
  };
  const Refusal refusals[] = {
      {"empty", 0, {}, "empty frame"},
      {"too long", 0, tooLong, "more than"},
      {"negative time", -1, {0xFF, 0x3F}, "negative time"},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    EXPECT_FALSE(capture.Write(refusal.time, FrameDirection::kOutgoing, refusal.frame));
    EXPECT_THAT(capture.error(), ::testing::HasSubstr(refusal.error));
  }
  EXPECT_TRUE(capture.Write(5, FrameDirection::kOutgoing, largest)) << capture.error();
  EXPECT_EQ(capture.frames(), 1u);
  EXPECT_TRUE(capture.Close());
  EXPECT_TRUE(capture.Close());  // nothing left to close

  ReadBack file = ReadCapture(path);
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].bytes.size(), host::capture::kPseudoHeaderSize + largest.size());
}

TEST_F(CaptureTest, FileThatCannotBeOpenedIsReportedAndNothingIsWritten) {
  IrdaCapture capture;
  std::string missing = ::testing::TempDir() + "no_such_directory/capture.pcap";
  EXPECT_FALSE(capture.Open(missing));
  EXPECT_FALSE(capture.isOpen());
  EXPECT_THAT(capture.error(), ::testing::HasSubstr(missing));
  EXPECT_FALSE(capture.Write(0, FrameDirection::kIncoming, std::vector<std::uint8_t>{0xFF, 0x3F}));
  EXPECT_FALSE(std::filesystem::exists(missing));
  // The same writer opens a good path afterwards.
  EXPECT_TRUE(capture.Open(path)) << capture.error();
  EXPECT_TRUE(capture.error().empty());
}

TEST_F(CaptureTest, ReopeningEmptiesTheFileAndAWriteFailureIsReported) {
  IrdaCapture capture;
  ASSERT_TRUE(capture.Open(path));
  ASSERT_TRUE(capture.Write(0, FrameDirection::kIncoming, std::vector<std::uint8_t>{0xFF, 0x3F}));
  ASSERT_TRUE(capture.Close());
  ASSERT_TRUE(capture.Open(path));
  EXPECT_EQ(capture.frames(), 0u);
  ASSERT_TRUE(capture.Close());
  EXPECT_TRUE(ReadCapture(path).records.empty());

  // A device that takes no data: the write fails and says so.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_TRUE(capture.Open("/dev/full")) << capture.error();
  EXPECT_FALSE(capture.Write(0, FrameDirection::kIncoming, std::vector<std::uint8_t>{0xFF, 0x3F}));
  EXPECT_THAT(capture.error(), ::testing::HasSubstr("No space left"));
  EXPECT_FALSE(capture.Close());
  EXPECT_FALSE(capture.isOpen());
}

}  // namespace
}  // namespace sirtest
