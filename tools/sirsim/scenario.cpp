// The scripted session: each phase hands frames down on one side, lets the simulation run
// until the other side's protocol has them (or their line time has run out), and goes on.
// The script keeps no link state beyond the sequence numbers it writes into the frames.
#include "tools/sirsim/scenario.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "control/device_control.h"
#include "host/capture/irda_capture.h"
#include "host/devices/infrared_medium.h"
#include "host/io/io_manager.h"
#include "miniport/driver_entry.h"
#include "tools/sirsim/station.h"

namespace sirsim {
namespace {

using host::VirtualTime;
using host::devices::MediumDirection;

constexpr std::uint32_t kAddressA = 0x11223344;
constexpr std::uint32_t kAddressB = 0xA1B2C3D4;
constexpr std::uint8_t kConnection = 0x21;
constexpr std::uint32_t kDiscoverySpeed = 9600;
constexpr std::uint8_t kDiscoverySlots = 8;
// Before the stations have negotiated, each waits the longest turnaround time.
constexpr ULONG kUnnegotiatedTurnaround = 10'000;
constexpr std::size_t kMaxListed = 10;  // frames named one by one in the errors
const std::vector<std::uint8_t> kExchangeBytes{0x3C, 0x5A, 0xA5};  // echoed, not commands

// How long `bytes` of frames may take to cross at `speed`: every byte stuffed, the flags,
// the bridge's idle time before it completes a read, and the bus latency.
VirtualTime Airtime(std::size_t bytes, std::size_t frames, std::uint32_t speed) {
  VirtualTime characters = static_cast<VirtualTime>(2 * bytes + 64 * frames);
  return characters * 10 * host::kSecond / speed + 100 * host::kMillisecond;
}

std::string Seconds(VirtualTime time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7f", static_cast<double>(time) / host::kSecond);
  return text;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char two[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(two, sizeof two, "%02X ", byte);
    text += two;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

std::string Describe(const irlap::Frame& frame) {
  std::string kind = irlap::IsInformationFrame(frame)
                         ? "I-frame N(S)=" + std::to_string(frame[1] >> 1 & 7)
                         : "control 0x" + Hex({frame.size() > 1 ? frame[1] : std::uint8_t{0}});
  return kind + ", " + std::to_string(frame.size()) + " bytes";
}

// Information bytes rich in the three bytes SIR framing treats specially.
std::vector<std::uint8_t> RandomInformation(std::mt19937_64& random, std::size_t size) {
  static constexpr std::uint8_t kSpecial[] = {0x7D, 0xC0, 0xC1};
  std::vector<std::uint8_t> bytes(size);
  for (auto& byte : bytes) {
    std::uint64_t draw = random();
    byte = (draw & 3) == 0 ? kSpecial[(draw >> 2) % 3] : static_cast<std::uint8_t>(draw >> 8);
  }
  return bytes;
}

class Session {
 public:
  Session(host::Simulation& simulation, const Options& options, RunReport& report,
          const ProgressHandler& progress)
      : simulation_(simulation), options_(options), report_(report), progress_(progress),
        random_(options.seed ^ 0x5349524C4150ull) {}

  void Play();
  struct Captured {
    VirtualTime time;
    host::capture::FrameDirection direction;
    irlap::Frame frame;
  };
  std::vector<Captured> captured;

 private:
  void Error(std::string text) { report_.errors.push_back(std::move(text)); }
  // Failures the run's own faults explain are reported in the summary, not as errors.
  bool FailuresExpected() const { return options_.allocFail > 0 || unplugged_; }
  void Expect(bool ok, const std::string& what) {
    if (!ok && !FailuresExpected()) Error(what);
  }

  void Transmit(Station& from, Station& to, const std::vector<irlap::Frame>& frames,
                ULONG turnaround, std::uint32_t speed);
  void Discover();
  void Connect();
  void ChangeSpeed(std::uint32_t speed);
  void ExchangeData();
  std::uint64_t WireBytes() const;
  void Turn(int from, std::uint64_t& left, std::uint8_t& sendSequence);
  void Disconnect();
  void DeviceControls();
  void ReadCounters();
  void Reconcile(int from, int to, VirtualTime unplugAt);
  void Account(host::devices::InfraredMedium& medium);
  void Trace();
  std::size_t InformationFramesReceived(int side);

  host::Simulation& simulation_;
  const Options& options_;
  RunReport& report_;
  const ProgressHandler& progress_;
  std::mt19937_64 random_;
  Station* stations_[2] = {nullptr, nullptr};
  bool unplugged_ = false;
  std::uint32_t linkSpeed_ = kDiscoverySpeed;
  ULONG turnaround_ = kUnnegotiatedTurnaround;
  VirtualTime dataStart_ = 0, dataEnd_ = 0;
  // Bytes sent on the medium, both ways together, when the data phase began and ended.
  std::uint64_t wireAtDataStart_ = 0, wireAtDataEnd_ = 0;
  host::devices::InfraredMedium* medium_ = nullptr;
  std::uint64_t dataDelivered_ = 0;
  std::size_t informationSeen_[2] = {0, 0};
  std::size_t informationCount_[2] = {0, 0};
};

void Session::Transmit(Station& from, Station& to, const std::vector<irlap::Frame>& frames,
                       ULONG turnaround, std::uint32_t speed) {
  std::size_t target = to.received().size() + frames.size();
  std::size_t bytes = 0;
  for (const irlap::Frame& frame : frames) {
    from.Send(frame, turnaround);
    bytes += frame.size();
  }
  VirtualTime deadline = host::AddSaturating(simulation_.Now(),
                                             Airtime(bytes, frames.size(), speed));
  WaitUntil(
      [&] {
        to.Collect();
        from.Collect();
        return to.received().size() >= target && from.sendsInFlight() == 0;
      },
      deadline);
}

std::size_t Session::InformationFramesReceived(int side) {
  const auto& received = stations_[side]->received();
  for (; informationSeen_[side] < received.size(); ++informationSeen_[side]) {
    if (irlap::IsInformationFrame(received[informationSeen_[side]].frame)) {
      ++informationCount_[side];
    }
  }
  return informationCount_[side];
}

void Session::Discover() {
  Station& a = *stations_[0];
  Station& b = *stations_[1];
  report_.answerSlot = static_cast<std::uint8_t>(random_() % kDiscoverySlots);
  irlap::DiscoveryInfo infoA{{0x84, 0x20}, 0x00, "sirsim A"};  // computer; OBEX
  irlap::DiscoveryInfo infoB{{0x84, 0x20}, 0x00, "sirsim B"};
  for (std::uint8_t slot = 0; slot < kDiscoverySlots; ++slot) {
    Transmit(a, b, {irlap::XidCommand(kAddressA, irlap::kSlots8, slot)}, turnaround_,
             kDiscoverySpeed);
    if (slot == report_.answerSlot) {
      Transmit(b, a, {irlap::XidResponse(kAddressB, kAddressA, irlap::kSlots8, slot, infoB)},
               turnaround_, kDiscoverySpeed);
    }
  }
  Transmit(a, b, {irlap::XidCommand(kAddressA, irlap::kSlots8, irlap::kFinalSlot, &infoA)},
           turnaround_, kDiscoverySpeed);
}

void Session::Connect() {
  irlap::Negotiation offerA;
  offerA.baudRates = 0;
  for (std::uint32_t speed : {9600u, 19200u, 38400u, 57600u, 115200u}) {
    if (speed <= options_.speed) offerA.baudRates |= irlap::BaudBit(speed);
  }
  irlap::Negotiation offerB;
  Transmit(*stations_[0], *stations_[1], {irlap::Snrm(kAddressA, kAddressB, kConnection, offerA)},
           turnaround_, kDiscoverySpeed);
  Transmit(*stations_[1], *stations_[0],
           {irlap::UaConnect(kConnection, kAddressB, kAddressA, offerB)}, turnaround_,
           kDiscoverySpeed);
  report_.negotiatedSpeed = irlap::HighestSpeed(offerA.baudRates & offerB.baudRates);
  turnaround_ = std::max(irlap::MinTurnaroundMicroseconds(offerA.minTurnaround),
                         irlap::MinTurnaroundMicroseconds(offerB.minTurnaround));

  for (int side = 0; side < 2; ++side) {
    std::vector<std::uint8_t> answer;
    NDIS_STATUS status = stations_[side]->Query(OID_IRDA_SUPPORTED_SPEEDS, answer);
    Expect(status == NDIS_STATUS_SUCCESS, report_.sides[side].name +
                                              ": OID_IRDA_SUPPORTED_SPEEDS failed");
    auto& speeds = report_.sides[side].supportedSpeeds;
    for (std::size_t at = 0; at + 4 <= answer.size(); at += 4) {
      speeds.push_back(answer[at] | answer[at + 1] << 8 | answer[at + 2] << 16 |
                       static_cast<std::uint32_t>(answer[at + 3]) << 24);
    }
    if (status == NDIS_STATUS_SUCCESS &&
        std::find(speeds.begin(), speeds.end(), report_.negotiatedSpeed) == speeds.end()) {
      Error(report_.sides[side].name + " does not offer the negotiated speed " +
            std::to_string(report_.negotiatedSpeed));
    }
  }
}

void Session::ChangeSpeed(std::uint32_t speed) {
  for (int side = 0; side < 2; ++side) {
    NDIS_STATUS status = stations_[side]->SetUlong(OID_IRDA_LINK_SPEED, speed);
    Expect(status == NDIS_STATUS_SUCCESS, report_.sides[side].name + ": setting " +
                                              std::to_string(speed) + " bits/s failed");
  }
  linkSpeed_ = speed;
}

void Session::Turn(int from, std::uint64_t& left, std::uint8_t& sendSequence) {
  bool command = from == 0;  // A is the primary station
  auto receivedSequence = static_cast<std::uint8_t>(InformationFramesReceived(from) & 7);
  std::vector<irlap::Frame> frames;
  std::uint64_t count = std::min<std::uint64_t>(left, irlap::kWindowSize);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uniform_int_distribution<std::uint32_t> size(options_.minSize, options_.maxSize);
    frames.push_back(irlap::InformationFrame(kConnection, command, sendSequence++ & 7,
                                             receivedSequence, i + 1 == count,
                                             RandomInformation(random_, size(random_))));
  }
  if (frames.empty()) {
    frames.push_back(irlap::ReceiveReady(kConnection, command, receivedSequence, true));
  }
  left -= count;
  report_.dataFrames += count;
  int to = 1 - from;
  Transmit(*stations_[from], *stations_[to], frames, turnaround_, linkSpeed_);
  dataDelivered_ = InformationFramesReceived(0) + InformationFramesReceived(1);
  if (progress_) progress_(dataDelivered_, options_.frames, simulation_.Now());
}

void Session::ExchangeData() {
  std::uint64_t left[2] = {(options_.frames + 1) / 2, options_.frames / 2};
  std::uint8_t sendSequence[2] = {0, 0};
  dataStart_ = simulation_.Now();
  wireAtDataStart_ = WireBytes();
  while (left[0] > 0 || left[1] > 0) {
    Turn(0, left[0], sendSequence[0]);
    Turn(1, left[1], sendSequence[1]);  // answers A's poll, with data or an RR
  }
  dataEnd_ = simulation_.Now();
  wireAtDataEnd_ = WireBytes();
  for (int side = 0; side < 2; ++side) {
    ULONG speed = 0;
    NDIS_STATUS status = stations_[side]->QueryUlong(OID_IRDA_LINK_SPEED, speed);
    Expect(status == NDIS_STATUS_SUCCESS, report_.sides[side].name +
                                              ": OID_IRDA_LINK_SPEED query failed");
    report_.sides[side].linkSpeed = speed;
    Expect(speed == linkSpeed_, report_.sides[side].name + " reports " +
                                    std::to_string(speed) + " bits/s, not " +
                                    std::to_string(linkSpeed_));
  }
}

std::uint64_t Session::WireBytes() const {
  return medium_->sentCount(MediumDirection::kAToB) + medium_->sentCount(MediumDirection::kBToA);
}

void Session::Disconnect() {
  Transmit(*stations_[0], *stations_[1], {irlap::Disc(kConnection)}, turnaround_, linkSpeed_);
  Transmit(*stations_[1], *stations_[0], {irlap::Ua(kConnection)}, turnaround_, linkSpeed_);
  ChangeSpeed(kDiscoverySpeed);
}

void Session::DeviceControls() {
  // An application opens the device NDIS made for an adapter; the driver acts on its
  // current adapter, the one initialized last.
  PDEVICE_OBJECT device = stations_[1]->adapter().deviceObject;
  host::io::Create(device);
  host::io::IoResult exchange = host::io::DeviceControl(
      device, IOCTL_TRANSCEIVER_EXCHANGE, kExchangeBytes,
      static_cast<ULONG>(kExchangeBytes.size()));
  std::vector<std::uint8_t> reply = exchange.output;
  reply.resize(std::min<std::size_t>(exchange.information, reply.size()));
  report_.exchangeSent = kExchangeBytes;
  report_.exchangeReply = reply;
  report_.exchangeStatus = static_cast<std::uint32_t>(exchange.status);
  // The transceiver echoes every byte in command mode that is not a speed command.
  Expect(exchange.status == STATUS_SUCCESS && reply == kExchangeBytes,
         "raw transceiver exchange: sent " + Hex(kExchangeBytes) + ", got back " +
             (reply.empty() ? std::string("nothing") : Hex(reply)));

  host::io::IoResult version = host::io::DeviceControl(device, IOCTL_GET_DRIVER_VERSION, {}, 0);
  host::io::Close(device);
  if (version.status == STATUS_SUCCESS) {
    report_.driverVersion = static_cast<std::uint32_t>(version.information);
  }
  Expect(version.status == STATUS_SUCCESS && version.information == kDriverVersionCode,
         "version query: unexpected answer");
}

void Session::ReadCounters() {
  for (int side = 0; side < 2; ++side) {
    DriverCounters& counters = report_.sides[side].driver;
    ULONG values[5] = {};
    const NDIS_OID oids[5] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR,
                              OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER};
    counters.answered = true;
    for (int i = 0; i < 5; ++i) {
      counters.answered &= stations_[side]->QueryUlong(oids[i], values[i]) == NDIS_STATUS_SUCCESS;
    }
    Expect(counters.answered, report_.sides[side].name + ": a counter query failed");
    counters.xmitOk = values[0];
    counters.rcvOk = values[1];
    counters.xmitError = values[2];
    counters.rcvError = values[3];
    counters.rcvNoBuffer = values[4];
  }
}

// Matches what `to` was indicated against what `from` handed down: in order, each frame
// intact. Frames the medium or the faults took are lost; a frame that matches none that
// was sent, or comes out of order, is corrupted.
void Session::Reconcile(int from, int to, VirtualTime unplugAt) {
  const auto& sent = stations_[from]->sent();
  const auto& received = stations_[to]->received();
  SideReport& sender = report_.sides[from];
  SideReport& receiver = report_.sides[to];
  std::string path = sender.name + "->" + receiver.name;
  std::vector<bool> delivered(sent.size(), false);
  std::size_t next = 0;
  std::size_t listed = 0;
  for (std::size_t index = 0; index < received.size(); ++index) {
    const ReceivedFrame& frame = received[index];
    receiver.framesReceived += 1;
    receiver.bytesReceived += frame.frame.size();
    std::size_t match = next;
    while (match < sent.size() && sent[match].frame != frame.frame) ++match;
    if (match == sent.size()) {
      receiver.framesCorrupted += 1;
      if (listed++ < kMaxListed) {
        Error(path + ": frame indicated at " + Seconds(frame.time) + " s (" +
              Describe(frame.frame) + ") is not one that was sent, or is out of order");
      }
      continue;
    }
    delivered[match] = true;
    next = match + 1;
    if (frame.headerSize != 2) {
      Error(path + ": frame indicated with header size " + std::to_string(frame.headerSize));
    }
  }
  for (std::size_t index = 0; index < sent.size(); ++index) {
    const SentFrame& frame = sent[index];
    if (frame.completed && frame.status == NDIS_STATUS_SUCCESS) {
      sender.framesSent += 1;
      sender.bytesSent += frame.frame.size();
    } else if (frame.completed) {
      sender.sendsFailed += 1;
      Expect(false, path + ": send of frame " + std::to_string(index) + " (" +
                        Describe(frame.frame) + ") failed");
      continue;
    }
    if (delivered[index]) continue;
    receiver.framesLost += 1;
    bool explained = options_.noise > 0 || options_.allocFail > 0 ||
                     (unplugged_ && frame.time + host::kSecond >= unplugAt);
    if (!explained && listed++ < kMaxListed) {
      Error(path + ": frame " + std::to_string(index) + " (" + Describe(frame.frame) +
            ", sent at " + Seconds(frame.time) + " s) never arrived");
    }
  }
}

// Checks the protocol's view against the driver's counters, and the losses against
// what the medium and the driver counted.
void Session::Account(host::devices::InfraredMedium& medium) {
  for (int side = 0; side < 2; ++side) {
    SideReport& report = report_.sides[side];
    const DriverCounters& counters = report.driver;
    MediumDirection inbound = side == 0 ? MediumDirection::kBToA : MediumDirection::kAToB;
    report.mediumDisturbances = medium.disturbances(inbound).size();
    if (!counters.answered) continue;
    if (counters.xmitOk != report.framesSent) {
      Error(report.name + ": the driver counts " + std::to_string(counters.xmitOk) +
            " frames sent, its protocol saw " + std::to_string(report.framesSent) + " complete");
    }
    if (counters.rcvOk != report.framesReceived) {
      Error(report.name + ": the driver counts " + std::to_string(counters.rcvOk) +
            " frames received, its protocol was given " + std::to_string(report.framesReceived));
    }
    // The deframer gives a frame up without a count in two cases only: a flag of it was
    // struck (it never saw the frame begin or end), or a byte was turned into or out of a
    // control escape (it waits for an escaped byte, and the end flag then discards the
    // frame). Every other loss must show in the drop counters.
    auto special = [](std::uint8_t byte) { return byte == 0xC0 || byte == 0xC1 || byte == 0x7D; };
    std::uint64_t struckSpecial = 0;
    for (const auto& disturbance : medium.disturbances(inbound)) {
      if (disturbance.kind == host::devices::Disturbance::Kind::kNoiseByte) continue;
      if (special(disturbance.sentByte) || special(disturbance.byte)) {
        ++struckSpecial;
      }
    }
    report.struckControlBytes = struckSpecial;
    if (options_.noise > 0 && options_.allocFail == 0 && !unplugged_ &&
        report.framesLost > counters.rcvError + counters.rcvNoBuffer + struckSpecial) {
      Error(report.name + ": " + std::to_string(report.framesLost) +
            " frames lost, but the driver counted only " +
            std::to_string(counters.rcvError + counters.rcvNoBuffer) + " drops (and " +
            std::to_string(struckSpecial) + " flags or escapes were struck)");
    }
  }
  if (dataEnd_ > dataStart_ && options_.frames > 0) {
    std::uint64_t payload = 0;
    for (int side = 0; side < 2; ++side) {
      for (const ReceivedFrame& frame : stations_[side]->received()) {
        if (frame.time >= dataStart_ && frame.time <= dataEnd_ &&
            irlap::IsInformationFrame(frame.frame)) {
          payload += frame.frame.size() - 2;
        }
      }
    }
    std::uint64_t wire = wireAtDataEnd_ - wireAtDataStart_;
    report_.dataPayloadBytes = payload;
    report_.dataWireBytes = wire;
    report_.dataTime = dataEnd_ - dataStart_;
    double seconds = static_cast<double>(report_.dataTime) / host::kSecond;
    report_.goodput = 8.0 * static_cast<double>(payload) / seconds;
    if (wire > 0) {
      double lineSeconds = 10.0 * static_cast<double>(wire) / report_.negotiatedSpeed;
      report_.lineGoodput = 8.0 * static_cast<double>(payload) / lineSeconds;
    }
  }
}

void Session::Trace() {
  struct Line {
    VirtualTime time;
    std::string text;
  };
  std::vector<Line> lines;
  for (int side = 0; side < 2; ++side) {
    auto& dongle = stations_[side]->adapter().dongle;
    if (!dongle) continue;
    std::string name = report_.sides[side].name + " ";
    using Type = host::devices::BridgeEvent::Type;
    for (const auto& event : dongle->bridge.events()) {
      std::string text;
      switch (event.type) {
        case Type::kGetDescriptor: text = "usb  get descriptor " + std::to_string(event.value); break;
        case Type::kSelectConfiguration: text = "usb  select configuration"; break;
        case Type::kDeconfigure: text = "usb  deconfigure"; break;
        case Type::kLineCoding: text = "usb  line coding " + std::to_string(event.value) +
                                       " bits/s: " + Hex(event.data); break;
        case Type::kControlLines:
          text = std::string("usb  control lines RTS ") + (event.value & 2 ? "on" : "off") +
                 ", DTR " + (event.value & 1 ? "on" : "off");
          break;
        case Type::kBulkOut: text = "out  " + std::to_string(event.data.size()) + " bytes at " +
                                    std::to_string(event.value) + ": " + Hex(event.data); break;
        case Type::kBulkIn: text = "in   " + std::to_string(event.data.size()) + " bytes: " +
                                   Hex(event.data); break;
        case Type::kNotification: text = "usb  serial state " + Hex(event.data); break;
        case Type::kStall: text = "usb  stall " + std::to_string(event.value); break;
      }
      lines.push_back({event.time, name + text});
    }
    static const char* const kStates[] = {"off", "speed-change entry", "command", "normal"};
    for (const auto& change : dongle->transceiver.lineChanges()) {
      lines.push_back({change.time, name + "line transceiver " +
                                        kStates[static_cast<int>(change.state)]});
    }
    for (const auto& change : dongle->transceiver.speedChanges()) {
      lines.push_back({change.time, name + "line infrared speed " + std::to_string(change.speed)});
    }
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const Line& x, const Line& y) { return x.time < y.time; });
  for (Line& line : lines) report_.trace.push_back(Seconds(line.time) + "  " + line.text);
}

void Session::Play() {
  host::ndis::MiniportHost miniportHost(DriverEntry);
  if (miniportHost.driverEntryStatus() != STATUS_SUCCESS) {
    Error("DriverEntry failed");
    return;
  }
  host::ndis::Adapter& adapterA = miniportHost.AddAdapter();
  host::ndis::Adapter& adapterB = miniportHost.AddAdapter();
  host::devices::InfraredMedium medium(simulation_, adapterA.dongle->transceiver,
                                       adapterB.dongle->transceiver, options_.seed);
  if (options_.noise > 0) medium.SetDisturbances({options_.noise, 0.0});
  // Only the trace reads the devices' byte records; without it a long run keeps counts.
  if (!options_.trace) {
    medium.SetRecording(host::devices::Recording::kCountsOnly);
    adapterA.dongle->SetRecording(host::devices::Recording::kCountsOnly);
    adapterB.dongle->SetRecording(host::devices::Recording::kCountsOnly);
  }
  medium_ = &medium;
  Station a(miniportHost, adapterA);
  Station b(miniportHost, adapterB);
  stations_[0] = &a;
  stations_[1] = &b;
  report_.sides[0].deviceAddress = kAddressA;
  report_.sides[1].deviceAddress = kAddressB;

  std::optional<host::Simulation::TimerId> unplugTimer;
  VirtualTime unplugAt = host::kForever;
  if (options_.unplug) {
    host::ndis::Adapter& target = options_.unplug->side == Side::kA ? adapterA : adapterB;
    unplugAt = options_.unplug->at;
    unplugTimer = simulation_.ScheduleAt(unplugAt, [this, &target] {
      target.dongle->lower.Remove();
      unplugged_ = true;
    });
  }

  bool up = true;
  for (int side = 0; side < 2; ++side) {
    NDIS_STATUS status = miniportHost.Initialize(stations_[side]->adapter());
    if (status != NDIS_STATUS_SUCCESS) {
      char text[80];
      std::snprintf(text, sizeof text, ": MiniportInitialize failed with status 0x%08X",
                    static_cast<unsigned>(status));
      Expect(false, report_.sides[side].name + text);
      up = false;
    }
  }
  if (up) {
    if (options_.allocFail > 0) simulation_.faults().FailRandomly(options_.allocFail, options_.seed);
    Discover();
    Connect();
    ChangeSpeed(report_.negotiatedSpeed);
    ExchangeData();
    Disconnect();
    DeviceControls();
    ReadCounters();
    simulation_.faults().FailRandomly(0.0, options_.seed);
  }
  report_.allocationsFailed = simulation_.faults().injected();

  for (int side = 0; side < 2; ++side) {
    if (stations_[side]->adapter().initialized) miniportHost.Halt(stations_[side]->adapter());
  }
  for (Station* station : stations_) {
    station->Collect();
    if (station->sendsInFlight() != 0) {
      Error(std::to_string(station->sendsInFlight()) + " sends never completed");
    }
  }
  if (unplugTimer && !unplugged_) simulation_.Cancel(*unplugTimer);
  report_.unplugged = unplugged_;

  Reconcile(0, 1, unplugAt);
  Reconcile(1, 0, unplugAt);
  Account(medium);
  if (options_.trace) Trace();
  if (!options_.pcap.empty()) {
    for (const SentFrame& frame : a.sent()) {
      captured.push_back({frame.time, host::capture::FrameDirection::kOutgoing, frame.frame});
    }
    for (const ReceivedFrame& frame : a.received()) {
      captured.push_back({frame.time, host::capture::FrameDirection::kIncoming, frame.frame});
    }
    std::stable_sort(captured.begin(), captured.end(),
                     [](const Captured& x, const Captured& y) { return x.time < y.time; });
  }
  report_.virtualTime = simulation_.Now();
  stations_[0] = stations_[1] = nullptr;
  medium_ = nullptr;
}

}  // namespace

RunReport RunScenario(const Options& options, const ProgressHandler& progress) {
  RunReport report;
  report.seed = options.seed;
  report.sides[0].name = "A";
  report.sides[1].name = "B";
  auto wallStart = std::chrono::steady_clock::now();
  host::Simulation simulation(options.seed);
  Session session(simulation, options, report, progress);
  host::RunResult result = simulation.Run([&] { session.Play(); });
  report.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  if (result.outcome == host::RunOutcome::kDeadlock) {
    report.virtualTime = simulation.Now();
    report.errors.push_back("the simulation deadlocked:\n" + result.deadlockReport);
  }
  for (const host::Violation& violation : simulation.verifier().violations()) {
    report.errors.push_back("verifier: " + violation.Describe());
  }
  if (!options.pcap.empty()) {
    host::capture::IrdaCapture capture;
    bool written = capture.Open(options.pcap);
    for (const auto& frame : session.captured) {
      if (!written) break;
      written = capture.Write(frame.time, frame.direction, frame.frame);
    }
    if (written) written = capture.Close();
    if (!written) report.errors.push_back(capture.error());
  }
  return report;
}

}  // namespace sirsim
