// The driver's concurrent scenarios, each run over many scheduler seeds with the verifier
// on: a send against a completion, a return during an indication, a reset, a halt and a
// power cycle during traffic, a raw exchange during a speed change, and two adapters
// initializing and halting at once. A seed decides which ready thread runs next and where
// threads switch, and also the moments at which each scenario's disturbing step begins,
// so every seed meets another interleaving, and the same seed always the same one.
//
// Traffic runs between two adapters facing each other over the infrared medium; each
// payload carries its sequence number and a checksum, so a frame lost, duplicated,
// reordered or corrupted is seen. Each run checks the scenario's outcome (sends completed
// once with the statuses the scenario allows, frames received intact and in order, the
// requests completed with their statuses, every kept packet returned) and the verifier's
// findings, the leak checkpoints and deadlocks.
//
// The ordinary run takes kSeeds seeds per scenario, the long run (SIR_LONG_RUN=1, the
// `long-run` target) kLongSeeds. A failing run prints its scenario and seed; to replay it
// alone, exactly as it failed:
//   SIR_REPLAY_SEED=<seed> build/bin/sir_tests --gtest_filter='Interleavings/Interleaving.Seeds/<scenario>'
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "control/device_control.h"
#include "host/devices/infrared_medium.h"
#include "host/kernel/scheduler.h"
#include "host/io/io_manager.h"
#include "host/ndis/miniport_host.h"
#include "host/ndis/send_packet.h"
#include "miniport/driver_entry.h"
#include "miniport/ir_device.h"
#include "tests/end_to_end/payload.h"
#include "tests/support/fresh_run.h"

namespace sirtest {
namespace {

using host::ndis::Adapter;
using host::ndis::MiniportHost;

constexpr std::uint64_t kSeeds = 50;
constexpr std::uint64_t kLongSeeds = 2000;

// Packets from one adapter to the other, sent by a thread of their own that keeps a few
// with the driver at once (as a protocol's window would), and what became of each.
struct Traffic {
  Adapter* from = nullptr;
  Adapter* to = nullptr;
  std::uint16_t firstSequence = 0;
  std::vector<Bytes> payloads;
  std::vector<std::unique_ptr<host::ndis::SendPacket>> packets;
  std::vector<NDIS_STATUS> answers;  // what MiniportSend answered, one per packet sent
  std::size_t completionsBefore = 0;
  std::size_t indicationsBefore = 0;
  bool stop = false;  // the sender ends after the send it is in
  bool done = false;

  // Completions of this traffic's own packets (another sender may share the adapter).
  std::size_t Completed() const {
    const auto& all = from->block.sendCompletions();
    std::size_t own = 0;
    for (std::size_t i = completionsBefore; i < all.size(); ++i) {
      for (const auto& packet : packets) own += packet->get() == all[i].packet;
    }
    return own;
  }
};

// How a direction of traffic may have been disturbed, for the checks.
struct Allowance {
  bool failures = false;   // sends may complete with a failure status
  bool losses = false;     // frames may be lost (cut off by a reset, halt or power-down, or
                           // dropped while the protocol holds every receive buffer)
  bool unsent = false;     // the sender may have been stopped before sending everything
};

// One run's world: the driver loaded into a fresh miniport host, two adapters over the
// infrared medium, the threads the scenario starts, and a generator from the seed.
class Bench {
 public:
  Bench(host::Simulation& simulation, std::uint64_t seed)
      : simulation_(simulation), random_(seed * 0x9E3779B97F4A7C15ull + 1) {
    currentAdapter = nullptr;
    host::ndis::AdapterSettings settings;
    a_ = &ndis_.AddAdapter(settings);
    b_ = &ndis_.AddAdapter(settings);
    medium_ = std::make_unique<host::devices::InfraredMedium>(
        simulation, a_->dongle->transceiver, b_->dongle->transceiver);
    // Half the seeds have the bus complete bulk transfers as soon as the device has
    // finished them, in the context that finished them, so that completions also run
    // nested in the calls that post the next transfer; the other half after a drawn
    // latency.
    for (Adapter* adapter : {a_, b_}) {
      for (auto kind : {host::usb::RequestKind::kBulkOut, host::usb::RequestKind::kBulkIn}) {
        if (seed % 2 == 1) {
          adapter->dongle->lower.SetDelivery(kind, host::usb::Delivery::kAtOnce);
        } else {
          adapter->dongle->lower.SetLatency(kind, DrawTime(0, 2 * host::kMillisecond));
        }
      }
    }
    StartWatch();
  }

  // Lets every thread the scenario started end (they all do in a run that passed), so
  // that none outlives what it uses.
  ~Bench() {
    watching_ = false;
    for (Traffic& traffic : traffics_) traffic.stop = true;
    simulation_.RunUntil(
        [&] {
          for (const Thread& thread : threads_) {
            if (!thread.done) return false;
          }
          return true;
        },
        simulation_.Now() + 60 * host::kSecond);
  }

  MiniportHost& ndis() { return ndis_; }
  Adapter& a() { return *a_; }
  Adapter& b() { return *b_; }
  host::Simulation& sim() { return simulation_; }
  static IrDevice* Device(const Adapter& adapter) { return adapter.context<IrDevice>(); }

  // A value from [low, high], drawn from the seed.
  std::uint64_t Draw(std::uint64_t low, std::uint64_t high) {
    return low + random_() % (high - low + 1);
  }
  host::VirtualTime DrawTime(host::VirtualTime low, host::VirtualTime high) {
    return static_cast<host::VirtualTime>(Draw(static_cast<std::uint64_t>(low),
                                               static_cast<std::uint64_t>(high)));
  }

  void InitializeBoth() {
    ASSERT_EQ(ndis_.Initialize(*a_), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(ndis_.Initialize(*b_), NDIS_STATUS_SUCCESS);
  }

  // Runs body on a system thread of its own; the returned flag is set when it has ended.
  const bool& Start(std::function<void()> body) {
    threads_.push_back({std::move(body), false});
    Thread& thread = threads_.back();
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(
                  &handle, 0, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                    auto* self = static_cast<Thread*>(context);
                    self->body();
                    self->done = true;
                    PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  &thread),
              STATUS_SUCCESS);
    ZwClose(handle);
    return thread.done;
  }

  // Waits (virtual time) until pred holds; a scenario that never gets there fails.
  bool WaitFor(const std::function<bool()>& pred, const char* what,
               host::VirtualTime patience = 120 * host::kSecond) {
    bool reached = simulation_.RunUntil(pred, simulation_.Now() + patience);
    EXPECT_TRUE(reached) << "never reached: " << what << ", "
                         << simulation_.scheduler().DescribeThreads();
    return reached;
  }

  // `count` packets of 4 to `maxSize` bytes from one adapter to the other, and now and
  // then a longer one.
  Traffic& Prepare(Adapter& from, Adapter& to, std::size_t count, std::size_t maxSize = 48) {
    traffics_.emplace_back();
    Traffic& traffic = traffics_.back();
    traffic.from = &from;
    traffic.to = &to;
    traffic.firstSequence = static_cast<std::uint16_t>(nextSequence_);
    nextSequence_ += count;
    for (std::size_t i = 0; i < count; ++i) {
      // Now and then a frame longer than one read.
      std::size_t size = Draw(0, 15) == 0 ? Draw(1500, 2050) : Draw(4, maxSize);
      traffic.payloads.push_back(MakePayload(
          static_cast<std::uint16_t>(traffic.firstSequence + i), size, random_));
      traffic.packets.push_back(
          std::make_unique<host::ndis::SendPacket>(traffic.payloads.back()));
    }
    return traffic;
  }

  // Starts the sender of a traffic: up to `window` packets with the driver at once, and
  // pauses of a drawn length between rounds.
  void StartSending(Traffic& traffic, std::size_t window = 3) {
    traffic.completionsBefore = traffic.from->block.sendCompletions().size();
    traffic.indicationsBefore = traffic.to->block.indications().size();
    std::vector<ULONG> pauses;
    for (std::size_t i = 0; i < traffic.packets.size() * 2; ++i) {
      pauses.push_back(static_cast<ULONG>(Draw(0, 3000)));
    }
    Start([this, &traffic, window, pauses] {
      std::size_t round = 0;
      while (!traffic.stop && traffic.answers.size() < traffic.packets.size()) {
        while (!traffic.stop && traffic.answers.size() < traffic.packets.size() &&
               Pended(traffic) < traffic.Completed() + window) {
          traffic.answers.push_back(
              ndis_.Send(*traffic.from, traffic.packets[traffic.answers.size()]->get()));
        }
        NdisMSleep(pauses[round++ % pauses.size()] + 200);
      }
      traffic.done = true;
    });
  }

  // Stops a sender where it is (NDIS sends nothing to an adapter it halts).
  void StopSending(Traffic& traffic) {
    traffic.stop = true;
    WaitFor([&] { return traffic.done; }, "the sender stopped");
  }

  // Waits for every packet sent to be completed, and for the last frames to arrive.
  void Finish(Traffic& traffic) {
    WaitFor([&] { return traffic.done && traffic.Completed() >= Pended(traffic); },
            "every send completed");
    simulation_.RunFor(200 * host::kMillisecond);
  }

  static std::size_t Pended(const Traffic& traffic) {
    std::size_t pended = 0;
    for (NDIS_STATUS answer : traffic.answers) pended += answer == NDIS_STATUS_PENDING;
    return pended;
  }

  // The outcome of a traffic: each send answered pending and completed once, with success
  // unless failures are allowed; the frames received are sent payloads, intact, in order
  // and each once; every packet that completed with success arrived unless losses are
  // allowed, and with nothing allowed, everything was sent and arrived. Returns how many
  // arrived.
  std::size_t Check(const Traffic& traffic, const Allowance& allowance) {
    if (!allowance.unsent) {
      EXPECT_EQ(traffic.answers.size(), traffic.packets.size()) << Name(traffic);
    }
    std::vector<int> completions(traffic.packets.size(), 0);
    std::vector<bool> succeeded(traffic.packets.size(), false);
    const auto& all = traffic.from->block.sendCompletions();
    for (std::size_t i = traffic.completionsBefore; i < all.size(); ++i) {
      std::optional<std::size_t> index = IndexOf(traffic, all[i].packet);
      if (!index) continue;  // another traffic's
      ++completions[*index];
      if (all[i].status == NDIS_STATUS_SUCCESS) {
        succeeded[*index] = true;
      } else {
        // A failed write completes with the bus's status: cancelled by a halt, reset or
        // power-down, or refused on a pipe of a configuration that a restart replaced.
        EXPECT_TRUE(allowance.failures)
            << Name(traffic) << ": packet " << *index << " completed with 0x" << std::hex
            << all[i].status;
      }
    }
    for (std::size_t i = 0; i < traffic.answers.size(); ++i) {
      // A packet the driver could not start is refused at once.
      EXPECT_TRUE(traffic.answers[i] == NDIS_STATUS_PENDING ||
                  (allowance.failures && traffic.answers[i] == NDIS_STATUS_FAILURE))
          << Name(traffic) << ": packet " << i << " answered 0x" << std::hex
          << traffic.answers[i];
      EXPECT_EQ(completions[i], traffic.answers[i] == NDIS_STATUS_PENDING ? 1 : 0)
          << Name(traffic) << ": completions of packet " << i;
    }

    std::vector<bool> arrived(traffic.packets.size(), false);
    std::optional<std::size_t> last;
    const auto& indications = traffic.to->block.indications();
    for (std::size_t i = traffic.indicationsBefore; i < indications.size(); ++i) {
      const Bytes& bytes = indications[i].bytes;
      if (bytes.size() < 2) {
        ADD_FAILURE() << Name(traffic) << ": a frame of " << bytes.size() << " bytes arrived";
        continue;
      }
      const std::uint16_t sequence = PayloadSequence(bytes);
      std::size_t index = static_cast<std::uint16_t>(sequence - traffic.firstSequence);
      if (index >= traffic.payloads.size()) continue;  // the other direction's, or another batch
      EXPECT_EQ(bytes, traffic.payloads[index]) << Name(traffic) << ": packet " << index;
      EXPECT_TRUE(!last || index > *last)
          << Name(traffic) << ": packet " << index << " arrived after packet " << *last;
      EXPECT_LT(index, traffic.answers.size()) << Name(traffic) << ": never sent";
      last = index;
      arrived[index] = true;
    }
    std::size_t arrivals = 0;
    for (std::size_t i = 0; i < traffic.answers.size(); ++i) {
      if (succeeded[i] && !allowance.losses) {
        EXPECT_TRUE(arrived[i]) << Name(traffic) << ": packet " << i << " sent and lost";
      }
      arrivals += arrived[i];
    }
    return arrivals;
  }

  // The adapter's receive buffers once the protocol holds none: all free but the current.
  void ExpectReceiveBuffersFree(const Adapter& adapter) {
    IrDevice* device = Device(adapter);
    std::size_t free = 0;
    for (LIST_ENTRY* entry = device->rxFreeList.Flink; entry != &device->rxFreeList;
         entry = entry->Flink) {
      ++free;
    }
    EXPECT_EQ(free, kRxBufferCount - 1) << "free receive buffers";
    EXPECT_EQ(device->rxPendingList.Flink, &device->rxPendingList) << "buffers left pending";
  }

  // Draws the link speed both adapters run at: 9600 or 115200 bits/s.
  void DrawLinkSpeed() {
    ULONG speed = Draw(0, 1) == 0 ? 9600 : 115200;
    for (Adapter* adapter : {a_, b_}) {
      EXPECT_EQ(ndis_.SetUlong(*adapter, OID_IRDA_LINK_SPEED, speed).status, NDIS_STATUS_SUCCESS);
    }
  }

  // `count` packets each way at once, after a disturbance: every one must arrive whole.
  void SendWholeBothWays(std::size_t count) {
    Traffic& toB = Prepare(*a_, *b_, count);
    Traffic& toA = Prepare(*b_, *a_, count);
    StartSending(toB);
    StartSending(toA);
    Finish(toB);
    Finish(toA);
    Check(toB, {});
    Check(toA, {});
  }

  void HaltBoth() {
    ndis_.Halt(*a_);
    ndis_.Halt(*b_);
  }

 private:
  struct Thread {
    std::function<void()> body;
    bool done;
  };

  // Watches, every half millisecond, that no adapter ever has two reads outstanding on
  // its one read buffer.
  void StartWatch() {
    Start([this] {
      while (watching_) {
        for (Adapter* adapter : {a_, b_}) {
          EXPECT_LE(adapter->dongle->bridge.pendingReads(), 1u)
              << "reads outstanding at " << simulation_.Now();
        }
        NdisMSleep(500);
      }
    });
  }

  static std::optional<std::size_t> IndexOf(const Traffic& traffic, PNDIS_PACKET packet) {
    for (std::size_t i = 0; i < traffic.packets.size(); ++i) {
      if (traffic.packets[i]->get() == packet) return i;
    }
    return std::nullopt;
  }

  std::string Name(const Traffic& traffic) const {
    return traffic.from == a_ ? "a to b" : "b to a";
  }

  host::Simulation& simulation_;
  std::mt19937_64 random_;
  MiniportHost ndis_{DriverEntry};
  Adapter* a_ = nullptr;
  Adapter* b_ = nullptr;
  std::unique_ptr<host::devices::InfraredMedium> medium_;
  std::deque<Thread> threads_;
  std::deque<Traffic> traffics_;
  std::size_t nextSequence_ = 1;
  bool watching_ = true;
};

// The scenarios.

// Both adapters send at once, each keeping three packets with its driver, and a second
// sender on one adapter sends beside the first, so that sends meet each other and the
// completions that start the queued packets. Each sender's packets arrive in its order.
void SendAgainstCompletion(Bench& bench) {
  bench.InitializeBoth();
  bench.DrawLinkSpeed();
  Traffic& toB = bench.Prepare(bench.a(), bench.b(), 14);
  Traffic& alsoToB = bench.Prepare(bench.a(), bench.b(), 8);
  Traffic& toA = bench.Prepare(bench.b(), bench.a(), 14);
  for (Traffic* traffic : {&toB, &alsoToB, &toA}) bench.StartSending(*traffic);
  for (Traffic* traffic : {&toB, &alsoToB, &toA}) bench.Finish(*traffic);
  for (Traffic* traffic : {&toB, &alsoToB, &toA}) bench.Check(*traffic, {});
  EXPECT_EQ(Bench::Device(bench.a())->txOkCount, 22u);
  EXPECT_EQ(Bench::Device(bench.a())->txErrorCount + Bench::Device(bench.b())->txErrorCount, 0u);
  bench.HaltBoth();
}

// The protocol keeps the packets and another thread hands them back, in a drawn order,
// while further frames are indicated; half the seeds also return packets while their
// indication is still running. Frames are dropped only for want of a free buffer (when
// one read brings more frames than the protocol has given back), each drop is counted,
// every indicated packet comes back through the return handler, and in the end every
// buffer is free again.
void ReturnDuringIndication(Bench& bench) {
  bench.InitializeBoth();
  bench.DrawLinkSpeed();
  Adapter& b = bench.b();
  bool returnInside = bench.Draw(0, 1) == 1;
  if (returnInside) {
    b.block.ReturnDuringIndication();
  } else {
    b.block.KeepPackets();
  }
  Traffic& toB = bench.Prepare(bench.a(), b, 16);
  bool stop = false;
  std::vector<std::uint64_t> draws;
  for (int i = 0; i < 200; ++i) draws.push_back(bench.Draw(0, 1u << 20));
  const bool& returnerDone = bench.Start([&] {
    std::size_t round = 0;
    while (!stop || !b.block.held().empty()) {
      std::uint64_t draw = draws[round++ % draws.size()];
      if (!b.block.held().empty()) {
        // Any held packet, not only the oldest: protocols return in their own order.
        const auto& held = b.block.held();
        b.block.ReturnPacket(held[draw % held.size()]);
      }
      NdisMSleep(static_cast<ULONG>(100 + draw % 1500));
      // Switch the protocol between keeping and returning inside the indication.
      if (returnInside && draw % 7 == 0) b.block.KeepPackets();
      if (returnInside && draw % 7 == 1) b.block.ReturnDuringIndication();
    }
  });
  bench.StartSending(toB);
  bench.Finish(toB);
  stop = true;
  bench.WaitFor([&] { return returnerDone; }, "the protocol returned every packet");
  std::size_t arrived = bench.Check(toB, {.losses = true});
  IrDevice* device = Bench::Device(b);
  EXPECT_EQ(device->packetsDropped, toB.packets.size() - arrived);
  EXPECT_EQ(device->packetsReceived, arrived);
  EXPECT_TRUE(b.block.held().empty());
  bench.ExpectReceiveBuffersFree(b);
  bench.HaltBoth();
}

// A reset of one adapter (drawn) at a drawn moment while both send: the reset completes
// with success and every send completes once. The packets the reset held fail, and every
// frame of the reset adapter whose write succeeded arrives (packets sent while the reset
// rebuilds the link wait for it); frames it was receiving during the reset may be lost.
// Afterwards traffic both ways is whole again.
void ResetDuringTraffic(Bench& bench) {
  bench.InitializeBoth();
  bench.DrawLinkSpeed();
  Adapter& reset = bench.Draw(0, 1) == 0 ? bench.a() : bench.b();
  Traffic& toB = bench.Prepare(bench.a(), bench.b(), 12);
  Traffic& toA = bench.Prepare(bench.b(), bench.a(), 12);
  bench.StartSending(toB);
  bench.StartSending(toA);
  bench.sim().RunFor(bench.DrawTime(0, 250 * host::kMillisecond));
  host::ndis::RequestResult result = bench.ndis().Reset(reset);
  EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(result.addressingReset);
  EXPECT_EQ(Bench::Device(reset)->resetting, 0);
  bench.Finish(toB);
  bench.Finish(toA);
  const bool aReset = &reset == &bench.a();
  const Allowance fromReset{.failures = true};
  const Allowance toReset{.losses = true};
  bench.Check(toB, aReset ? fromReset : toReset);
  bench.Check(toA, aReset ? toReset : fromReset);
  EXPECT_EQ(reset.dongle->bridge.pendingReads(), 1u);

  bench.SendWholeBothWays(6);
  bench.HaltBoth();
}

// Both send; at a drawn moment one adapter (drawn) stops being sent to and is halted with
// packets in flight and queued, while the other goes on sending to it; then the other is
// halted the same way. Every send completes once, with success or, held by the halt,
// with a failure, and nothing is left behind.
void HaltDuringTraffic(Bench& bench) {
  bench.InitializeBoth();
  bench.DrawLinkSpeed();
  bool aFirst = bench.Draw(0, 1) == 0;
  Adapter& first = aFirst ? bench.a() : bench.b();
  Traffic& toB = bench.Prepare(bench.a(), bench.b(), 12);
  Traffic& toA = bench.Prepare(bench.b(), bench.a(), 12);
  Traffic& fromFirst = aFirst ? toB : toA;
  Traffic& fromSecond = aFirst ? toA : toB;
  bench.StartSending(toB, 4);
  bench.StartSending(toA, 4);
  bench.sim().RunFor(bench.DrawTime(0, 200 * host::kMillisecond));
  bench.StopSending(fromFirst);
  bench.ndis().Halt(first);
  EXPECT_EQ(first.block.pendingSends(), 0u);
  bench.sim().RunFor(bench.DrawTime(0, 100 * host::kMillisecond));
  bench.StopSending(fromSecond);
  Adapter& second = aFirst ? bench.b() : bench.a();
  bench.ndis().Halt(second);
  EXPECT_EQ(second.block.pendingSends(), 0u);
  const Allowance halted{.failures = true, .losses = true, .unsent = true};
  bench.Check(fromFirst, halted);
  bench.Check(fromSecond, halted);
  EXPECT_EQ(currentAdapter, nullptr);
  EXPECT_EQ(adapterList.Flink, &adapterList);
}

// Where the driver manages power: one adapter (drawn) goes to D3 at a drawn moment while
// both send, stays there a drawn time, and comes back to D0. Every send completes once;
// frames may be lost while it is down; afterwards traffic both ways is whole again.
void PowerDuringTraffic(Bench& bench) {
  bench.InitializeBoth();
  bench.DrawLinkSpeed();
  Adapter& cycled = bench.Draw(0, 1) == 0 ? bench.a() : bench.b();
  EXPECT_EQ(Bench::Device(cycled)->managesPower, 1);
  Traffic& toB = bench.Prepare(bench.a(), bench.b(), 12);
  Traffic& toA = bench.Prepare(bench.b(), bench.a(), 12);
  bench.StartSending(toB);
  bench.StartSending(toA);
  bench.sim().RunFor(bench.DrawTime(0, 200 * host::kMillisecond));
  EXPECT_EQ(bench.ndis().SetUlong(cycled, OID_PNP_SET_POWER, NdisDeviceStateD3).status,
            NDIS_STATUS_SUCCESS);
  bench.sim().RunFor(bench.DrawTime(0, 300 * host::kMillisecond));
  EXPECT_EQ(bench.ndis().SetUlong(cycled, OID_PNP_SET_POWER, NdisDeviceStateD0).status,
            NDIS_STATUS_SUCCESS);
  bench.Finish(toB);
  bench.Finish(toA);
  const Allowance disturbed{.failures = true, .losses = true};
  bench.Check(toB, disturbed);
  bench.Check(toA, disturbed);
  IrDevice* device = Bench::Device(cycled);
  EXPECT_EQ(device->deviceError, 0);
  EXPECT_EQ(device->nowReceiving, 1);
  EXPECT_EQ(cycled.dongle->bridge.pendingReads(), 1u);

  bench.SendWholeBothWays(6);
  bench.HaltBoth();
}

// An application's raw exchange on the current adapter and a link-speed set through NDIS
// that begins at a drawn moment of it: the two take turns, the exchange gets its echo,
// the link ends consistent (the speed set last, or 9600 when the exchange came last),
// and after a set back to 9600 a frame crosses to the other adapter.
void ExchangeDuringSpeedChange(Bench& bench) {
  bench.InitializeBoth();
  Adapter& target = Bench::Device(bench.a()) == currentAdapter ? bench.a() : bench.b();
  Adapter& other = &target == &bench.a() ? bench.b() : bench.a();
  ASSERT_EQ(Bench::Device(target), currentAdapter);
  const Bytes input{0x01, 0x02, 0x03};
  host::io::IoResult exchange;
  const bool& exchanged = bench.Start([&] {
    exchange = host::io::DeviceControl(target.deviceObject, IOCTL_TRANSCEIVER_EXCHANGE, input,
                                       static_cast<ULONG>(input.size()));
  });
  const ULONG speed = bench.Draw(0, 1) == 0 ? 57600 : 115200;
  bench.sim().RunFor(bench.DrawTime(0, 300 * host::kMillisecond));
  EXPECT_EQ(bench.ndis().SetUlong(target, OID_IRDA_LINK_SPEED, speed).status,
            NDIS_STATUS_SUCCESS);
  bench.WaitFor([&] { return exchanged; }, "the exchange completed");
  EXPECT_EQ(exchange.status, STATUS_SUCCESS);
  EXPECT_EQ(exchange.information, input.size());
  EXPECT_EQ(exchange.output, input);

  IrDevice* device = Bench::Device(target);
  EXPECT_TRUE(device->currentSpeed == speed || device->currentSpeed == 9600)
      << "speed " << device->currentSpeed;
  EXPECT_EQ(target.dongle->transceiver.infraredSpeed(), device->currentSpeed);
  EXPECT_EQ(target.dongle->bridge.lineCoding().rate, device->currentSpeed);
  EXPECT_EQ(target.dongle->transceiver.state(), host::devices::TransceiverState::kNormal);
  EXPECT_EQ(device->captureMode, 0);

  EXPECT_EQ(bench.ndis().SetUlong(target, OID_IRDA_LINK_SPEED, 9600).status,
            NDIS_STATUS_SUCCESS);
  Traffic& across = bench.Prepare(target, other, 3);
  bench.StartSending(across);
  bench.Finish(across);
  bench.Check(across, {});
  bench.HaltBoth();
}

// Two adapters initialized on two threads at once, a frame each way, then, while both
// send, halted on two threads at once: both come up, both are listed, one of them is the
// current adapter; every send completes once, and after the halts nothing is listed,
// current or left behind.
void InitializeAndHaltAtOnce(Bench& bench) {
  NDIS_STATUS statusA = NDIS_STATUS_FAILURE;
  NDIS_STATUS statusB = NDIS_STATUS_FAILURE;
  const bool& aUp = bench.Start([&] { statusA = bench.ndis().Initialize(bench.a()); });
  const bool& bUp = bench.Start([&] { statusB = bench.ndis().Initialize(bench.b()); });
  if (!bench.WaitFor([&] { return aUp && bUp; }, "both initialized")) return;
  ASSERT_EQ(statusA, NDIS_STATUS_SUCCESS);
  ASSERT_EQ(statusB, NDIS_STATUS_SUCCESS);
  IrDevice* deviceA = Bench::Device(bench.a());
  IrDevice* deviceB = Bench::Device(bench.b());
  EXPECT_TRUE(currentAdapter == deviceA || currentAdapter == deviceB);
  std::size_t listed = 0;
  for (LIST_ENTRY* entry = adapterList.Flink; entry != &adapterList; entry = entry->Flink) {
    ++listed;
  }
  EXPECT_EQ(listed, 2u);

  Traffic& toB = bench.Prepare(bench.a(), bench.b(), 2);
  Traffic& toA = bench.Prepare(bench.b(), bench.a(), 2);
  bench.StartSending(toB);
  bench.StartSending(toA);
  bench.Finish(toB);
  bench.Finish(toA);
  bench.Check(toB, {});
  bench.Check(toA, {});

  Traffic& lastToB = bench.Prepare(bench.a(), bench.b(), 10);
  Traffic& lastToA = bench.Prepare(bench.b(), bench.a(), 10);
  bench.StartSending(lastToB);
  bench.StartSending(lastToA);
  bench.sim().RunFor(bench.DrawTime(0, 150 * host::kMillisecond));
  bench.StopSending(lastToB);
  bench.StopSending(lastToA);
  const bool& aDown = bench.Start([&] { bench.ndis().Halt(bench.a()); });
  const bool& bDown = bench.Start([&] { bench.ndis().Halt(bench.b()); });
  bench.WaitFor([&] { return aDown && bDown; }, "both halted");
  const Allowance halted{.failures = true, .losses = true, .unsent = true};
  bench.Check(lastToB, halted);
  bench.Check(lastToA, halted);
  EXPECT_EQ(currentAdapter, nullptr);
  EXPECT_EQ(adapterList.Flink, &adapterList);
}

struct Scenario {
  const char* name;
  void (*run)(Bench&);
  bool managesPower = false;  // the system's WDM version leaves power to the driver
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const Scenario kScenarios[] = {
    {"SendAgainstCompletion", SendAgainstCompletion},
    {"ReturnDuringIndication", ReturnDuringIndication},
    {"ResetDuringTraffic", ResetDuringTraffic},
    {"HaltDuringTraffic", HaltDuringTraffic},
    {"PowerDuringTraffic", PowerDuringTraffic, true},
    {"ExchangeDuringSpeedChange", ExchangeDuringSpeedChange},
    {"InitializeAndHaltAtOnce", InitializeAndHaltAtOnce},
};

// SIR_REPLAY_SEED=<seed> runs that seed alone.
std::optional<std::uint64_t> ReplaySeed() {
  const char* value = std::getenv("SIR_REPLAY_SEED");
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::strtoull(value, nullptr, 10);
}

class Interleaving : public ::testing::TestWithParam<Scenario> {};

TEST_P(Interleaving, Seeds) {
  const Scenario& scenario = GetParam();
  std::uint64_t first = 1;
  std::uint64_t last = RunLength(kSeeds, kLongSeeds);
  if (std::optional<std::uint64_t> replay = ReplaySeed()) first = last = *replay;
  std::uint64_t runs = 0;
  for (std::uint64_t seed = first; seed <= last; ++seed) {
    FreshRun run = RunFresh(
        seed,
        [&](host::Simulation& simulation) {
          simulation.SetTimeLimit(30 * 60 * host::kSecond);
          if (scenario.managesPower) simulation.SetWdmVersion(1, 0);
        },
        [&](host::Simulation& simulation) {
          {
            Bench bench(simulation, seed);
            scenario.run(bench);
          }
          // A halt that had to give up waiting for a transfer leaves its message.
          for (const std::string& entry : simulation.debugLog().entries()) {
            EXPECT_EQ(entry.find("TIME OUT"), std::string::npos) << entry;
          }
        });
    ++runs;
    if (!run.Clean()) {
      ADD_FAILURE() << scenario.name << " failed with seed " << seed << ":\n"
                    << run.Describe() << "replay with: SIR_REPLAY_SEED=" << seed
                    << " build/bin/sir_tests --gtest_filter='Interleavings/Interleaving.Seeds/"
                    << scenario.name << "'";
      break;
    }
  }
  std::printf("[ interleavings ] %s: %llu seed(s) from %llu\n", scenario.name,
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(first));
}

INSTANTIATE_TEST_SUITE_P(Interleavings, Interleaving, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& each) {
                           return std::string(each.param.name);
                         });

}  // namespace
}  // namespace sirtest
