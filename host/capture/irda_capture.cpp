// The capture writer, on libpcap's dump calls.
#include "host/capture/irda_capture.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace host::capture {
namespace {

void PutBigEndian16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

}  // namespace

IrdaCapture::~IrdaCapture() { Close(); }

bool IrdaCapture::Fail(std::string message) {
  error_ = "capture: " + std::move(message);
  return false;
}

bool IrdaCapture::Open(const std::string& path) {
  if (isOpen()) return Fail("a file is open already");
  handle_ = pcap_open_dead(kLinkTypeLinuxIrda, static_cast<int>(kSnapLength));
  if (handle_ == nullptr) return Fail("libpcap cannot make a handle for link type 144");
  errno = 0;
  dumper_ = pcap_dump_open(handle_, path.c_str());
  if (dumper_ == nullptr) {
    std::string reason = errno != 0 ? std::strerror(errno) : pcap_geterr(handle_);
    pcap_close(handle_);
    handle_ = nullptr;
    return Fail("cannot open " + path + ": " + reason);
  }
  frames_ = 0;
  error_.clear();
  return true;
}

bool IrdaCapture::Write(VirtualTime time, FrameDirection direction,
                        std::span<const std::uint8_t> frame) {
  if (!isOpen()) return Fail("no file is open");
  if (frame.empty()) return Fail("an empty frame");
  if (frame.size() > kMaxFrameSize) {
    return Fail("a frame of " + std::to_string(frame.size()) + " bytes, more than " +
                std::to_string(kMaxFrameSize));
  }
  if (time < 0) return Fail("a frame at negative time " + std::to_string(time));

  std::vector<std::uint8_t> record(kPseudoHeaderSize + frame.size(), 0);
  PutBigEndian16(&record[0], direction == FrameDirection::kIncoming ? kPacketTypeIncoming
                                                                    : kPacketTypeOutgoing);
  PutBigEndian16(&record[14], kProtocolIrda);
  std::memcpy(record.data() + kPseudoHeaderSize, frame.data(), frame.size());

  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<decltype(header.ts.tv_sec)>(time / kSecond);
  header.ts.tv_usec = static_cast<decltype(header.ts.tv_usec)>((time % kSecond) / kMicrosecond);
  header.caplen = static_cast<bpf_u_int32>(record.size());
  header.len = header.caplen;
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, record.data());
  // Flushed at once, so that the file is whole up to the last frame while a run goes on.
  errno = 0;
  if (pcap_dump_flush(dumper_) != 0 || std::ferror(pcap_dump_file(dumper_)) != 0) {
    return Fail("writing frame " + std::to_string(frames_ + 1) + " failed: " + std::strerror(errno));
  }
  ++frames_;
  return true;
}

bool IrdaCapture::Close() {
  if (!isOpen()) return true;
  errno = 0;
  bool written = pcap_dump_flush(dumper_) == 0 && std::ferror(pcap_dump_file(dumper_)) == 0;
  std::string reason = std::strerror(errno);
  pcap_dump_close(dumper_);
  dumper_ = nullptr;
  pcap_close(handle_);
  handle_ = nullptr;
  return written || Fail("writing the file failed: " + reason);
}

}  // namespace host::capture
