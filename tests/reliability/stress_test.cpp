// A long run of two adapters facing each other over the infrared medium: traffic both
// ways at every SIR speed, with speed changes, resets and power cycles between the
// rounds. Every payload carries its sequence number and checksum. Whatever the driver
// completed with success must arrive exactly once, in order and intact; a send it failed
// may arrive at most once, in its place (its bytes may have left before the failure).
// The run ends with both adapters halted and nothing leaked.
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/devices/infrared_medium.h"
#include "tests/end_to_end/payload.h"
#include "tests/miniport/driver_entry_fixture.h"
#include "tests/support/fresh_run.h"

namespace sirtest {
namespace {

using host::devices::Recording;
using host::ndis::Adapter;
using host::ndis::MiniportHost;
using host::ndis::SendPacket;

// Every speed the transceiver has a command for, in an order that steps both up and down.
constexpr ULONG kSpeedCycle[] = {9600, 57600, 19200, 115200, 38400};
constexpr std::size_t kWindow = 4;  // packets each side keeps with its driver at a time
constexpr std::uint32_t kSequenceSpace = 0x10000;

// What happens between two rounds, in turn. Four interludes against five speeds: every
// interlude follows every speed once in twenty rounds.
enum class Interlude { kResetA, kPowerCycleB, kResetB, kPowerCycleA };
constexpr Interlude kInterludes[] = {Interlude::kResetA, Interlude::kPowerCycleB,
                                     Interlude::kResetB, Interlude::kPowerCycleA};
constexpr std::size_t kSendsBeforeReset = 3;

// One direction of traffic: the payloads handed to the sending adapter, what became of
// each send, and what the receiving adapter indicated of them.
class Stream {
 public:
  Stream(std::string name, Adapter& from, Adapter& to)
      : name_(std::move(name)), from_(from), to_(to) {}

  // Hands the next payload to the sender's driver.
  void Send(MiniportHost& ndis, std::size_t size, std::mt19937& random) {
    const std::size_t index = outcomes_.size();
    outcomes_.push_back(Outcome{MakePayload(static_cast<std::uint16_t>(index), size, random)});
    auto packet = std::make_unique<SendPacket>(outcomes_.back().payload);
    PNDIS_PACKET descriptor = packet->get();
    NDIS_STATUS answered = ndis.Send(from_, descriptor);
    if (answered == NDIS_STATUS_PENDING) {
      inFlight_.emplace(descriptor, InFlight{index, std::move(packet)});
    } else {
      // Answered at once: NDIS has the packet back and no completion follows.
      Complete(index, answered);
    }
  }

  // Takes note of the send completions and indications since the last call.
  void Collect() {
    const auto& completions = from_.block.sendCompletions();
    for (; completionsSeen_ < completions.size(); ++completionsSeen_) {
      auto found = inFlight_.find(completions[completionsSeen_].packet);
      if (found == inFlight_.end()) continue;  // the host's verifier reports a stray one
      Complete(found->second.index, completions[completionsSeen_].status);
      inFlight_.erase(found);
    }
    const auto& indications = to_.block.indications();
    for (; indicationsSeen_ < indications.size(); ++indicationsSeen_) {
      Arrived(indications[indicationsSeen_].bytes);
    }
  }

  std::size_t inFlight() const { return inFlight_.size(); }
  std::size_t handedDown() const { return outcomes_.size(); }
  // Every send completed, and every one completed with success has arrived (or was
  // passed over by a later frame, which Arrived has reported).
  bool Settled() const { return inFlight_.empty() && awaited_ == 0; }

  // Reports every send that completed with success and never arrived.
  void ExpectNothingLost() const {
    for (std::size_t index = 0; index < outcomes_.size(); ++index) {
      const Outcome& outcome = outcomes_[index];
      EXPECT_TRUE(outcome.state != State::kSucceeded || outcome.arrived)
          << name_ << ": payload " << index << " completed with success and never arrived";
    }
    EXPECT_TRUE(inFlight_.empty()) << name_ << ": " << inFlight_.size() << " sends never completed";
  }

  void Print() const {
    std::printf("  %s: %llu frames (%llu bytes) completed with success and delivered, "
                "%llu sends failed (%llu of them arrived all the same)\n",
                name_.c_str(), static_cast<unsigned long long>(delivered_),
                static_cast<unsigned long long>(bytesDelivered_),
                static_cast<unsigned long long>(failed_),
                static_cast<unsigned long long>(failedArrived_));
  }
  std::uint64_t delivered() const { return delivered_; }
  std::uint64_t bytesDelivered() const { return bytesDelivered_; }
  std::uint64_t failed() const { return failed_; }

 private:
  enum class State { kPending, kSucceeded, kFailed };
  struct Outcome {
    Bytes payload;  // dropped once the payload can no longer arrive
    State state = State::kPending;
    bool arrived = false;
    bool passedOver = false;  // a later payload arrived first
  };
  struct InFlight {
    std::size_t index;
    std::unique_ptr<SendPacket> packet;
  };

  void Complete(std::size_t index, NDIS_STATUS status) {
    Outcome& outcome = outcomes_[index];
    outcome.state = status == NDIS_STATUS_SUCCESS ? State::kSucceeded : State::kFailed;
    if (outcome.state == State::kFailed) {
      ++failed_;
      if (outcome.arrived) ++failedArrived_;
    } else if (outcome.arrived) {
      ++delivered_;
      bytesDelivered_ += outcome.payload.size();
    } else if (outcome.passedOver) {
      ADD_FAILURE() << name_ << ": payload " << index
                    << " completed with success after a later one arrived";
    } else {
      ++awaited_;
    }
    if (outcome.arrived || outcome.passedOver) outcome.payload = {};
  }

  // An indicated frame: intact, one that was handed down, and later than every one before.
  void Arrived(const Bytes& bytes) {
    ASSERT_TRUE(PayloadIntact(bytes)) << name_ << ": a corrupted frame of " << bytes.size()
                                      << " bytes arrived after payload " << nextIndex_;
    // The sequence number is the payload's index modulo its 16 bits: the first index at or
    // after the next one expected that has it.
    const std::size_t index =
        nextIndex_ + (PayloadSequence(bytes) - nextIndex_) % kSequenceSpace;
    ASSERT_LT(index, outcomes_.size())
        << name_ << ": payload " << PayloadSequence(bytes) << " (modulo 65536) arrived again or "
        << "out of order; the next one expected was " << nextIndex_;
    for (std::size_t skipped = nextIndex_; skipped < index; ++skipped) {
      Outcome& lost = outcomes_[skipped];
      lost.passedOver = true;
      EXPECT_NE(lost.state, State::kSucceeded)
          << name_ << ": payload " << skipped << " completed with success and never arrived";
      if (lost.state == State::kSucceeded) --awaited_;
      if (lost.state != State::kPending) lost.payload = {};
    }
    Outcome& outcome = outcomes_[index];
    ASSERT_EQ(bytes, outcome.payload) << name_ << ": payload " << index << " arrived altered";
    outcome.arrived = true;
    nextIndex_ = index + 1;
    if (outcome.state == State::kSucceeded) {
      --awaited_;
      ++delivered_;
      bytesDelivered_ += bytes.size();
    } else if (outcome.state == State::kFailed) {
      ++failedArrived_;
    }
    if (outcome.state != State::kPending) outcome.payload = {};
  }

  std::string name_;
  Adapter& from_;
  Adapter& to_;
  std::vector<Outcome> outcomes_;  // by payload index
  std::map<PNDIS_PACKET, InFlight> inFlight_;
  std::size_t completionsSeen_ = 0;
  std::size_t indicationsSeen_ = 0;
  std::size_t nextIndex_ = 0;  // the earliest payload that may still arrive
  std::size_t awaited_ = 0;    // completed with success, not arrived yet
  std::uint64_t delivered_ = 0;
  std::uint64_t bytesDelivered_ = 0;
  std::uint64_t failed_ = 0;
  std::uint64_t failedArrived_ = 0;
};

class Stress : public DriverTest {
 protected:
  struct Plan {
    std::size_t rounds;
    std::size_t framesPerRound;  // each way
    std::size_t maxSize;         // payload bytes, from 4 up to this
  };

  void RunStress(const Plan& plan) {
    size_ = std::uniform_int_distribution<std::size_t>(kPayloadOverhead, plan.maxSize);
    // Power management is the driver's only on systems older than WDM 1.05.
    sim().SetWdmVersion(1, 0);
    RunWithDriver([&](MiniportHost& ndis) {
      Adapter& a = BringUp(ndis);
      Adapter& b = BringUp(ndis);
      ASSERT_EQ(Device(a)->managesPower, 1);
      host::devices::InfraredMedium medium(sim(), a.dongle->transceiver, b.dongle->transceiver);
      // Nothing here reads the byte records; a long run would fill memory with them.
      medium.SetRecording(Recording::kCountsOnly);
      a.dongle->SetRecording(Recording::kCountsOnly);
      b.dongle->SetRecording(Recording::kCountsOnly);
      // One protocol returns each packet while it is indicated, the other hands it back.
      a.block.ReturnDuringIndication();
      Stream aToB("A->B", a, b), bToA("B->A", b, a);
      const host::VirtualTime start = sim().Now();

      ULONG speed = kSpeedCycle[0];
      for (std::size_t round = 0; round < plan.rounds; ++round) {
        ULONG next = kSpeedCycle[round % std::size(kSpeedCycle)];
        if (next != speed) {
          SetSpeed(ndis, a, next);
          SetSpeed(ndis, b, next);
          speed = next;
        }
        SCOPED_TRACE("round " + std::to_string(round) + " at " + std::to_string(speed));
        Exchange(ndis, {&aToB, &bToA}, plan.framesPerRound);
        if (HasFatalFailure()) return;
        switch (kInterludes[round % std::size(kInterludes)]) {
          case Interlude::kResetA: Reset(ndis, a, aToB); break;
          case Interlude::kResetB: Reset(ndis, b, bToA); break;
          case Interlude::kPowerCycleA: PowerCycle(ndis, a, aToB); break;
          case Interlude::kPowerCycleB: PowerCycle(ndis, b, bToA); break;
        }
        if (HasFatalFailure()) return;
      }
      aToB.ExpectNothingLost();
      bToA.ExpectNothingLost();
      EXPECT_GE(aToB.delivered(), plan.rounds * plan.framesPerRound);
      EXPECT_GE(bToA.delivered(), plan.rounds * plan.framesPerRound);
      std::printf("stress: %zu rounds, %.1f s of virtual time\n", plan.rounds,
                  static_cast<double>(sim().Now() - start) / host::kSecond);
      aToB.Print();
      bToA.Print();
      ndis.Halt(a);
      ndis.Halt(b);
    });
  }

  void SetSpeed(MiniportHost& ndis, Adapter& adapter, ULONG speed) {
    host::ndis::RequestResult result = ndis.SetUlong(adapter, OID_IRDA_LINK_SPEED, speed);
    EXPECT_EQ(result.status, NDIS_STATUS_SUCCESS) << "setting " << speed;
    EXPECT_EQ(adapter.dongle->transceiver.infraredSpeed(), speed);
    EXPECT_EQ(adapter.dongle->bridge.lineCoding().rate, speed);
  }

  void Send(MiniportHost& ndis, Stream& stream) { stream.Send(ndis, size_(random_), random_); }

  // Sends `frames` payloads each way, both ways at once, each side keeping a window of
  // packets with its driver, until every one has completed and arrived.
  void Exchange(MiniportHost& ndis, const std::vector<Stream*>& streams, std::size_t frames) {
    std::vector<std::size_t> left(streams.size(), frames);
    auto roomToSend = [&] {
      for (std::size_t i = 0; i < streams.size(); ++i) {
        if (left[i] > 0 && streams[i]->inFlight() < kWindow) return true;
      }
      return false;
    };
    for (;;) {
      bool allSent = true;
      for (std::size_t i = 0; i < streams.size(); ++i) {
        for (; left[i] > 0 && streams[i]->inFlight() < kWindow; --left[i]) Send(ndis, *streams[i]);
        allSent &= left[i] == 0;
      }
      bool settled = false;
      Settle(streams, roomToSend, &settled);
      if (HasFatalFailure() || (settled && allSent)) return;
    }
  }

  // Runs until every stream has settled or `more` asks for more sends; says which.
  void Settle(const std::vector<Stream*>& streams,
              const std::function<bool()>& more = [] { return false; },
              bool* settledOut = nullptr) {
    bool settled = false;
    auto ready = [&] {
      settled = true;
      for (Stream* stream : streams) {
        stream->Collect();
        if (HasFatalFailure()) return true;
        settled &= stream->Settled();
      }
      return settled || more();
    };
    // The longest wait: a window of the largest frames, every byte stuffed, at 9600.
    ASSERT_TRUE(sim().RunUntil(ready, sim().Now() + 60 * host::kSecond))
        << "traffic stopped moving";
    if (settledOut != nullptr) *settledOut = settled;
  }

  // A reset of one adapter, with a few of its own sends handed down just before: the
  // reset may fail those, and every one is completed. The other side sends nothing
  // meanwhile, as frames that reach a receiver while it is reset may be lost.
  void Reset(MiniportHost& ndis, Adapter& adapter, Stream& stream) {
    for (std::size_t i = 0; i < kSendsBeforeReset; ++i) Send(ndis, stream);
    EXPECT_EQ(ndis.Reset(adapter).status, NDIS_STATUS_SUCCESS);
    Settle({&stream});
  }

  // A power cycle of one adapter, with two of its own sends handed down just before it
  // goes down: the one in flight is cancelled, the other goes out after it. The driver
  // does not hold sends back while it is down, and a write that succeeds then makes it
  // restart the bridge and command the transceiver's speed beneath whatever is sent next;
  // so nothing more is sent until it is up again, and the sends are settled first.
  void PowerCycle(MiniportHost& ndis, Adapter& adapter, Stream& stream) {
    Send(ndis, stream);
    Send(ndis, stream);
    EXPECT_EQ(ndis.SetUlong(adapter, OID_PNP_SET_POWER, NdisDeviceStateD3).status,
              NDIS_STATUS_SUCCESS);
    Settle({&stream});
    EXPECT_EQ(ndis.SetUlong(adapter, OID_PNP_SET_POWER, NdisDeviceStateD0).status,
              NDIS_STATUS_SUCCESS);
    Settle({&stream});
  }

  std::mt19937 random_{0x5752};
  std::uniform_int_distribution<std::size_t> size_;
};

TEST_F(Stress, TrafficBothWaysSurvivesSpeedChangesResetsAndPowerCycles) {
  RunStress(Plan{RunLength(20, 80), RunLength(20, 250), RunLength(600, 2050)});
}

}  // namespace
}  // namespace sirtest
