// The private interface through the I/O manager: create and close, the version query,
// and the raw exchange with the transceiver in command mode.
#include <functional>

#include "control/device_control.h"
#include "tests/miniport/driver_entry_fixture.h"

namespace sirtest {
namespace {

using host::devices::BridgeEvent;
using host::devices::TransceiverState;
using host::io::IoResult;

class DeviceControl : public DriverTest {
 protected:
  static std::vector<BridgeEvent> EventsSince(host::ndis::Adapter& adapter,
                                              host::VirtualTime start) {
    std::vector<BridgeEvent> events;
    for (const BridgeEvent& event : adapter.dongle->bridge.events()) {
      if (event.time >= start) events.push_back(event);
    }
    return events;
  }

  static IoResult Exchange(host::ndis::Adapter& adapter, const std::vector<UCHAR>& input,
                           ULONG outputLength) {
    return host::io::DeviceControl(adapter.deviceObject, IOCTL_TRANSCEIVER_EXCHANGE, input,
                                   outputLength);
  }

  // Runs body on a simulated thread of its own, as another application would.
  static void StartThread(std::function<void()>* body) {
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &thread, 0, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                    (*static_cast<std::function<void()>*>(context))();
                    PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  body),
              STATUS_SUCCESS);
    ZwClose(thread);
  }
};

TEST_F(DeviceControl, CreateCloseAndTheVersionQuery) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    PDEVICE_OBJECT noAdapter = ndis.driver().CreateDevice();
    ASSERT_EQ(currentAdapter, nullptr);
    IoResult version = host::io::DeviceControl(noAdapter, IOCTL_GET_DRIVER_VERSION, {}, 0);
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    EXPECT_EQ(version.information, 0x20010110u);

    host::ndis::Adapter& adapter = BringUp(ndis);
    struct Case {
      const char* name;
      std::function<IoResult()> send;
      NTSTATUS status;
      ULONG_PTR information;
    };
    const std::vector<Case> cases = {
        {"create", [&] { return host::io::Create(adapter.deviceObject); }, STATUS_SUCCESS, 0},
        {"close", [&] { return host::io::Close(adapter.deviceObject); }, STATUS_SUCCESS, 0},
        {"version", [&] {
           return host::io::DeviceControl(adapter.deviceObject, IOCTL_GET_DRIVER_VERSION, {}, 0);
         }, STATUS_SUCCESS, 0x20010110},
        {"version with input only", [&] {
           return host::io::DeviceControl(adapter.deviceObject, IOCTL_GET_DRIVER_VERSION, {1, 2},
                                          0);
         }, STATUS_SUCCESS, 0x20010110},
        // Answering the code would have the I/O manager copy 0x20010110 bytes.
        {"version with an output buffer", [&] {
           return host::io::DeviceControl(adapter.deviceObject, IOCTL_GET_DRIVER_VERSION, {}, 4);
         }, STATUS_INVALID_PARAMETER, 0},
        {"unknown code", [&] {
           return host::io::DeviceControl(adapter.deviceObject, 0x22000C, {1}, 4);
         }, STATUS_UNSUCCESSFUL, 0},
    };
    for (const Case& each : cases) {
      SCOPED_TRACE(each.name);
      IoResult result = each.send();
      EXPECT_EQ(result.status, each.status);
      EXPECT_EQ(result.information, each.information);
    }
    ndis.Halt(adapter);
    IoResult exchange = Exchange(adapter, {0x01}, 1);
    EXPECT_EQ(exchange.status, STATUS_UNSUCCESSFUL);
  });
}

TEST_F(DeviceControl, EmptyBuffersFailAtOnceWithoutALineRequest) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    host::VirtualTime start = sim().Now();
    for (auto [input, output] : {std::pair<std::vector<UCHAR>, ULONG>{{0x01}, 0},
                                 std::pair<std::vector<UCHAR>, ULONG>{{}, 4}}) {
      IoResult result = Exchange(adapter, input, output);
      EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(result.information, 0u);
    }
    EXPECT_TRUE(EventsSince(adapter, start).empty());
    EXPECT_EQ(sim().Now(), start);
    ndis.Halt(adapter);
  });
}

// Three bytes the transceiver echoes in command mode: the write, three character times
// and 50 ms, then the normal state, and the reply in the caller's buffer.
TEST_F(DeviceControl, ExchangeWritesInCommandModeAndReturnsTheReply) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    host::VirtualTime start = sim().Now();
    IoResult result = Exchange(adapter, {0x01, 0x02, 0x03}, 3);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 3u);
    EXPECT_EQ(result.output, (std::vector<UCHAR>{0x01, 0x02, 0x03}));

    std::vector<BridgeEvent> events = EventsSince(adapter, start);
    std::vector<ULONG> lines;
    const BridgeEvent* write = nullptr;
    const BridgeEvent* normalAfterWrite = nullptr;
    for (const BridgeEvent& event : events) {
      if (event.type == BridgeEvent::Type::kControlLines) {
        lines.push_back(event.value);
        if (write != nullptr && normalAfterWrite == nullptr) normalAfterWrite = &event;
      }
      if (event.type == BridgeEvent::Type::kBulkOut) write = &event;
    }
    // RTS only, both, DTR only (command), then both again.
    EXPECT_EQ(lines, (std::vector<ULONG>{0x2, 0x3, 0x1, 0x3}));
    ASSERT_NE(write, nullptr);
    ASSERT_NE(normalAfterWrite, nullptr);
    EXPECT_EQ(write->data, (std::vector<std::uint8_t>{0x01, 0x02, 0x03}));
    // The write's three characters at 9600, then 3 x 1,041 us and 50,000 us.
    host::VirtualTime afterWrite = normalAfterWrite->time - write->time;
    host::VirtualTime minimum = host::devices::CharacterEnd(0, 2, 9600) +
                                (3'123 + 50'000) * host::kMicrosecond;
    EXPECT_GE(afterWrite, minimum);
    EXPECT_LT(afterWrite, minimum + host::kMillisecond);
    // At 9600 nothing follows the reply.
    EXPECT_EQ(&events.back(), normalAfterWrite);
    EXPECT_EQ(Device(adapter)->captureMode, 0);
    ndis.Halt(adapter);
  });
}

TEST_F(DeviceControl, AReplyLongerThanTheBufferFillsItWithoutWaitingForTheTimeout) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    host::VirtualTime start = sim().Now();
    IoResult result = Exchange(adapter, {0x01, 0x02, 0x03}, 2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
    EXPECT_EQ(result.output, (std::vector<UCHAR>{0x01, 0x02}));
    EXPECT_LT(sim().Now() - start, 500 * host::kMillisecond);

    // No reply at all: the whole wait, and nothing captured.
    start = sim().Now();
    IoResult silent = Exchange(adapter, {0x10}, 4);
    EXPECT_EQ(silent.status, STATUS_SUCCESS);
    EXPECT_EQ(silent.information, 0u);
    EXPECT_GE(sim().Now() - start, 1'033'312 * host::kMicrosecond);
    ndis.Halt(adapter);
  });
}

TEST_F(DeviceControl, AnExchangeAwayFrom9600EndsWithTheLinkAt9600) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    ASSERT_EQ(ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 115200).status, NDIS_STATUS_SUCCESS);
    IoResult result = Exchange(adapter, {0x01}, 1);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(Device(adapter)->currentSpeed, 9600u);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 9600u);
    EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, 9600u);
    EXPECT_EQ(adapter.dongle->transceiver.state(), TransceiverState::kNormal);
    ndis.Halt(adapter);
  });
}

// Bytes arriving while the line is drained never replace input bytes not yet written, and
// a line that never goes quiet does not hold the caller for ever.
TEST_F(DeviceControl, TheDrainKeepsTheInputAndEndsOnANoisyLine) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    host::devices::SerialBridge& bridge = adapter.dongle->bridge;
    // Noise on the bridge's serial input every millisecond for three seconds, from the
    // moment the exchange enters command mode.
    host::VirtualTime start = sim().Now();
    for (int i = 0; i < 3000; ++i) {
      sim().ScheduleAt(start + 100 * host::kMillisecond + i * host::kMillisecond,
                       [&bridge] { bridge.ReceiveSerial(0xAA, 9600); });
    }
    IoResult result = Exchange(adapter, {0x01, 0x02, 0x03, 0x04}, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_LT(sim().Now() - start, 3 * host::kSecond);
    std::vector<BridgeEvent> writes = bridge.EventsOf(BridgeEvent::Type::kBulkOut);
    bool inputWritten = false;
    for (const BridgeEvent& write : writes) {
      if (write.time >= start) {
        inputWritten |= write.data == std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04};
      }
    }
    EXPECT_TRUE(inputWritten);
    sim().RunFor(3 * host::kSecond);
    ndis.Halt(adapter);
  });
}

// A halt that begins while an exchange runs waits for it: the exchange never touches a
// freed adapter, and its caller gets its answer.
TEST_F(DeviceControl, AHaltWaitsForTheExchangeInProgress) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    IoResult result;
    bool done = false;
    std::function<void()> application = [&] {
      result = Exchange(adapter, {0x01}, 1);
      done = true;
    };
    StartThread(&application);
    sim().RunFor(60 * host::kMillisecond);  // inside the exchange's line steps
    ASSERT_FALSE(done);
    ndis.Halt(adapter);
    EXPECT_TRUE(done);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(currentAdapter, nullptr);
  });
}

// An exchange and a speed change never interleave their line sequences: each finds the
// transceiver in the normal state and the link ends at the speed set last.
TEST_F(DeviceControl, ExchangesAndSpeedChangesTakeTurns) {
  RunWithDriver([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = BringUp(ndis);
    IoResult result;
    bool done = false;
    std::function<void()> application = [&] {
      result = Exchange(adapter, {0x01, 0x02}, 2);
      done = true;
    };
    StartThread(&application);
    sim().RunFor(10 * host::kMillisecond);
    EXPECT_EQ(ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, 57600).status, NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(sim().RunUntil([&] { return done; }, sim().Now() + 5 * host::kSecond));
    EXPECT_EQ(result.information, 2u);
    EXPECT_EQ(result.output, (std::vector<UCHAR>{0x01, 0x02}));
    EXPECT_EQ(Device(adapter)->currentSpeed, 57600u);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 57600u);
    EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, 57600u);
    ndis.Halt(adapter);
  });
}

}  // namespace
}  // namespace sirtest
