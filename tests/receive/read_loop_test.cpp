// The bulk-in read loop on a whole adapter: how each way a read can end moves the loop on,
// the capture of the raw exchange, nested completions and the restart after a device error.
#include <string>
#include <vector>

#include "miniport/work_item.h"
#include "receive/read_loop.h"
#include "tests/miniport/adapter_fixture.h"
#include "tests/miniport/adapter_scripted_bus.h"
#include "tests/sir/sir_reference.h"
#include "transceiver/transceiver.h"

namespace sirtest {
namespace {

using host::devices::BridgeEvent;

// A halt that waits for no transfer takes about a second (the bridge's status pipe stops
// in that time); one that waits for a read that never ends takes ten.
constexpr host::VirtualTime kHaltWithoutWaiting = 3 * host::kSecond;

class ReadLoop : public AdapterTest {
 protected:
  // Brings up an adapter whose reads the test completes; its first read is held.
  IrDevice* Bring(host::ndis::MiniportHost& ndis, host::ndis::Adapter& adapter) {
    EXPECT_EQ(ndis.Initialize(adapter), NDIS_STATUS_SUCCESS);
    return Device(adapter);
  }
};

struct ReadCase {
  const char* name;
  NTSTATUS status;
  Bytes bytes;
  bool halting = false;
  bool resetting = false;
  // What follows.
  bool postsNext = true;
  UCHAR deviceError = 0;
  UCHAR nowReceiving = 1;
  UCHAR applyTurnaround = 0;  // the test clears it before the read ends
  std::size_t frames = 0;
};

TEST_F(ReadLoop, EachWayAReadEndsMovesTheLoopOnAsItShould) {
  const Bytes payload = {0x21, 0x93, 0x01, 0x02};
  const Bytes frame = ReferenceFrame(payload, 1);
  ASSERT_LE(frame.size(), 10u);
  const Bytes tenBytes = [&] {
    Bytes bytes = frame;
    bytes.resize(10, kSirBof);
    return bytes;
  }();
  const ReadCase cases[] = {
      {"success with 0 bytes", STATUS_SUCCESS, {}},
      {"success with a frame", STATUS_SUCCESS, frame, false, false, true, 0, 1, 1, 1},
      {"time-out with 10 bytes", STATUS_TIMEOUT, tenBytes, false, false, true, 0, 1, 1, 1},
      {"cancelled", STATUS_CANCELLED, frame},
      {"failed", STATUS_UNSUCCESSFUL, frame},
      {"device not connected", STATUS_DEVICE_NOT_CONNECTED, frame, false, false, false, 1, 0},
      {"device powered off", STATUS_DEVICE_POWERED_OFF, {}, false, false, false, 1, 0},
      {"device data error", STATUS_DEVICE_DATA_ERROR, {}, false, false, false, 1, 0},
      // Nothing will complete after it: no read is left for the halt to wait for.
      {"delete pending", STATUS_DELETE_PENDING, {}, false, false, false, 0, 0},
      {"during halt", STATUS_SUCCESS, frame, true, false, false, 0, 0},
      {"during reset", STATUS_SUCCESS, frame, false, true, false, 0, 0},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::Adapter& adapter = ndis.AddAdapter();
      ScriptedBus bus(simulation, adapter);
      IrDevice* device = Bring(ndis, adapter);
      ASSERT_EQ(bus.heldReads(), 1u);
      WriteOnce(device->applyTurnaround, UCHAR{0});
      WriteOnce(device->halting, UCHAR{c.halting});
      WriteOnce(device->resetting, UCHAR{c.resetting});

      bus.CompleteRead({c.status, c.bytes});
      simulation.RunFor(100 * host::kMillisecond);

      EXPECT_EQ(bus.readsSubmitted(), c.postsNext ? 2u : 1u);
      EXPECT_EQ(bus.heldReads(), c.postsNext ? 1u : 0u);
      EXPECT_EQ(device->deviceError, c.deviceError);
      EXPECT_EQ(device->nowReceiving, c.nowReceiving);
      EXPECT_EQ(device->applyTurnaround, c.applyTurnaround);
      EXPECT_EQ(adapter.block.indications().size(), c.frames);
      if (c.frames == 1) {
        EXPECT_EQ(adapter.block.indications()[0].bytes, payload);
      }
      WriteOnce(device->resetting, UCHAR{0});
      WriteOnce(device->halting, UCHAR{0});
      VirtualTimeCheck halt(simulation);
      ndis.Halt(adapter);
      EXPECT_LT(halt.Elapsed(), kHaltWithoutWaiting) << "the halt waited for a read that does not exist";

    });
  }
}

struct CaptureCase {
  ULONG remaining;
  Bytes bytes;
  Bytes stored;
  ULONG remainingAfter;
  bool eventSet;
};

TEST_F(ReadLoop, CaptureTakesWhatTheExchangeStillWantsAndNothingReachesTheDeframer) {
  const CaptureCase cases[] = {
      {3, {0xC0, 0x01, 0x02, 0x03, 0xC1}, {0xC0, 0x01, 0x02}, 0, true},
      {10, {0xC0, 0x01, 0x02, 0xC1}, {0xC0, 0x01, 0x02, 0xC1}, 6, false},
  };
  for (const CaptureCase& c : cases) {
    SCOPED_TRACE("capture of " + std::to_string(c.remaining));
    RunCase([&](host::Simulation& simulation, host::ndis::MiniportHost& ndis) {
      host::ndis::Adapter& adapter = ndis.AddAdapter();
      ScriptedBus bus(simulation, adapter);
      IrDevice* device = Bring(ndis, adapter);
      UCHAR captured[16] = {};
      KeInitializeEvent(&device->captureEvent, NotificationEvent, FALSE);
      device->captureCursor = captured;
      device->captureRemaining = c.remaining;
      WriteOnce(device->applyTurnaround, UCHAR{0});
      WriteOnce(device->captureMode, UCHAR{1});

      bus.CompleteRead({STATUS_SUCCESS, c.bytes});

      EXPECT_EQ(Bytes(captured, captured + c.stored.size()), c.stored);
      EXPECT_EQ(captured[c.stored.size()], 0) << "a byte was stored beyond what was wanted";
      EXPECT_EQ(device->captureRemaining, c.remainingAfter);
      EXPECT_EQ(KeReadStateEvent(&device->captureEvent), c.eventSet ? 1 : 0);
      EXPECT_EQ(device->applyTurnaround, 0);
      EXPECT_EQ(device->rxState, Hunt) << "captured bytes reached the deframer";
      EXPECT_TRUE(adapter.block.indications().empty());
      EXPECT_EQ(bus.heldReads(), 1u) << "the loop goes on";
      WriteOnce(device->captureMode, UCHAR{0});
      ndis.Halt(adapter);
    });
  }
}

TEST_F(ReadLoop, AReadCompletingInsideAnotherCompletionsRepostIsRepostedByTheWorker) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ScriptedBus bus(sim(), adapter);
    Bring(ndis, adapter);
    const Bytes frame = ReferenceFrame({0x01, 0x02, 0x03}, 1);
    bus.AnswerReadsAtOnce({{STATUS_SUCCESS, frame}});
    bus.CompleteRead({STATUS_SUCCESS, frame});
    sim().RunFor(100 * host::kMillisecond);
    ASSERT_EQ(bus.readsSubmitted(), 3u);
    EXPECT_EQ(bus.readThreads()[1], "test") << "the first completion re-posts directly";
    EXPECT_EQ(bus.readThreads()[2].rfind("WorkerThread", 0), 0u)
        << "the nested one hands its re-post to the worker, not " << bus.readThreads()[2];
    EXPECT_EQ(bus.heldReads(), 1u);
    EXPECT_EQ(adapter.block.indications().size(), 2u);
    EXPECT_EQ(Device(adapter)->nowReceiving, 1);
    ndis.Halt(adapter);
  });
}

TEST_F(ReadLoop, AReadCompletingInsideTheFirstPostIsRepostedDirectly) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ScriptedBus bus(sim(), adapter);
    bus.AnswerReadsAtOnce({{STATUS_SUCCESS, ReferenceFrame({0x05, 0x06}, 1)}});
    IrDevice* device = Bring(ndis, adapter);
    sim().RunFor(100 * host::kMillisecond);
    EXPECT_EQ(bus.readThreads(), (std::vector<std::string>{"test", "test"}));
    EXPECT_EQ(bus.heldReads(), 1u);
    EXPECT_EQ(device->nowReceiving, 1);
    EXPECT_EQ(device->rxCurrent, &device->rxBuffers[1]) << "buffer 0 went up with the frame";
    EXPECT_EQ(adapter.block.indications().size(), 1u);
    ndis.Halt(adapter);
  });
}

// A routine that holds the worker thread until its event is set.
NTSTATUS Blocker(WorkItem* item) {
  auto* release = static_cast<KEVENT*>(item->buffer);
  FreeWorkItem(item);
  KeWaitForSingleObject(release, Executive, KernelMode, FALSE, nullptr);
  return STATUS_SUCCESS;
}

TEST_F(ReadLoop, RestartAfterADeviceErrorRebuildsTheLinkAtItsSpeedAndPostsOneRead) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ScriptedBus bus(sim(), adapter);
    IrDevice* device = Bring(ndis, adapter);
    device->targetSpeed = FindSpeedRow(19200);
    ASSERT_EQ(IrSetLinkSpeed(device), STATUS_SUCCESS);

    bus.CompleteRead({STATUS_DEVICE_NOT_CONNECTED, {}});
    EXPECT_EQ(device->deviceError, 1);
    EXPECT_EQ(device->nowReceiving, 0);
    EXPECT_EQ(bus.heldReads(), 0u);

    // Successful writes while the error stands each queue a restart; the worker is held
    // so that all of them are queued before the first runs.
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    ASSERT_EQ(QueueWorkItem(RestartReceiveWork, device, Blocker, &release, 0), STATUS_SUCCESS);
    const std::size_t deconfiguresBefore =
        adapter.dongle->bridge.EventsOf(BridgeEvent::Type::kDeconfigure).size();
    host::ndis::SendPacket first(Bytes(20, 0x11)), second(Bytes(20, 0x22));
    EXPECT_EQ(ndis.Send(adapter, first.get()), NDIS_STATUS_PENDING);
    EXPECT_EQ(ndis.Send(adapter, second.get()), NDIS_STATUS_PENDING);
    ASSERT_TRUE(sim().RunUntil([&] { return adapter.block.sendCompletions().size() == 2; }));
    std::size_t queued = 0;
    for (PLIST_ENTRY entry = device->workQueue.Flink; entry != &device->workQueue;
         entry = entry->Flink) {
      ++queued;
    }
    EXPECT_EQ(queued, 2u) << "one restart for each successful write";

    KeSetEvent(&release, 0, FALSE);
    sim().RunFor(5 * host::kSecond);  // the bridge's stop alone takes a second
    EXPECT_EQ(device->deviceError, 0);
    EXPECT_EQ(device->nowReceiving, 1);
    EXPECT_EQ(bus.heldReads(), 1u) << "never two reads on readBuffer";
    EXPECT_EQ(adapter.dongle->bridge.EventsOf(BridgeEvent::Type::kDeconfigure).size(),
              deconfiguresBefore + 1)
        << "the bridge is restarted once, by the restart that found the error";
    EXPECT_TRUE(adapter.dongle->bridge.configured());
    EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, 19200u);
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), 19200u);
    EXPECT_EQ(adapter.dongle->transceiver.state(), host::devices::TransceiverState::kNormal);
    EXPECT_EQ(device->txOkCount, 2u);
    ndis.Halt(adapter);
  });
}

TEST_F(ReadLoop, ARestartQueuedWhileAReadIsOutstandingPostsNoSecondRead) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ScriptedBus bus(sim(), adapter);
    IrDevice* device = Bring(ndis, adapter);
    ASSERT_EQ(QueueWorkItem(RestartReceiveWork, device, RestartReceive, nullptr, 0),
              STATUS_SUCCESS);
    sim().RunFor(100 * host::kMillisecond);
    EXPECT_EQ(bus.readsSubmitted(), 1u);
    EXPECT_EQ(bus.heldReads(), 1u);
    EXPECT_EQ(device->nowReceiving, 1);
    ndis.Halt(adapter);
  });
}

TEST_F(ReadLoop, HaltDoesNotWaitLongForARestartThatPostsDuringItsWait) {
  RunWithHost([&](host::ndis::MiniportHost& ndis) {
    host::ndis::Adapter& adapter = ndis.AddAdapter();
    ScriptedBus bus(sim(), adapter);
    IrDevice* device = Bring(ndis, adapter);
    // The worker is busy for 100 ms; a nested completion queues its restart behind it.
    ASSERT_EQ(QueueWorkItem(RestartReceiveWork, device,
                            [](WorkItem* item) {
                              FreeWorkItem(item);
                              NdisMSleep(100'000);
                              return STATUS_SUCCESS;
                            },
                            nullptr, 0),
              STATUS_SUCCESS);
    bus.AnswerReadsAtOnce({{STATUS_SUCCESS, {0x01}}});
    bus.CompleteRead({STATUS_SUCCESS, {0x01}});
    ASSERT_EQ(bus.heldReads(), 0u);
    ASSERT_EQ(device->nowReceiving, 1) << "the restart still owes a read";

    VirtualTimeCheck halt(sim());
    ndis.Halt(adapter);
    EXPECT_LT(halt.Elapsed(), kHaltWithoutWaiting);
    EXPECT_EQ(sim().debugLog().entries().size(), 0u) << "no time-out at halt";
  });
}

}  // namespace
}  // namespace sirtest
