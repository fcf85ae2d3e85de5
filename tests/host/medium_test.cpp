// The infrared medium between two adapters: bytes both ways at once with their times,
// garbling at another speed, the seeded disturbances (flipped bits, lost bytes, noise)
// and their replay, bad settings, and what its end leaves behind.
#include <gmock/gmock.h>

#include <bit>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "host/devices/infrared_medium.h"
#include "tests/host/kernel_test_support.h"
#include "tests/host/medium_fixture.h"

namespace sirtest {
namespace {

using host::devices::CharacterEnd;
using host::devices::CharacterTime;
using host::devices::Disturbance;
using host::devices::Disturbances;
using host::devices::InfraredMedium;
using host::devices::MediumDirection;
using host::devices::NoiseBurst;
using host::devices::ReceivedByte;
using host::devices::TimedByte;

// Bytes with every value a frame holds often, and the rest spread over the byte range.
std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t salt) {
  std::vector<std::uint8_t> bytes;
  const std::uint8_t special[] = {0xC0, 0xC1, 0x7D, 0x5E, 0x5D, 0x00, 0xFF};
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(i % 3 == 0 ? special[(i / 3) % std::size(special)]
                               : static_cast<std::uint8_t>(i * 37 + salt));
  }
  return bytes;
}

struct LinkCase {
  const char* name;
  ULONG speedA;
  ULONG speedB;
};

class MediumLinkTest : public MediumTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(MediumLinkTest, BytesCrossBothWaysAtOnceAndArriveGarbledOnlyAtAnotherSpeed) {
  const LinkCase& link = GetParam();
  Run([&] {
    BringUp(a, link.speedA);
    BringUp(b, link.speedB);
    InfraredMedium medium(sim(), a.transceiver, b.transceiver);
    std::size_t serialMarkA = a.model.serialIn().size();
    std::size_t serialMarkB = b.model.serialIn().size();
    const std::vector<std::uint8_t> fromA = Pattern(9, 1);
    const std::vector<std::uint8_t> fromB = Pattern(6, 2);
    StartWrite(a, fromA);
    StartWrite(b, fromB);
    FinishWrites();
    ASSERT_EQ(LastBulkOutStart(a), LastBulkOutStart(b));  // both on the air together

    struct Way {
      const char* name;
      const AdapterHardware& from;
      const AdapterHardware& to;
      MediumDirection direction;
      const std::vector<std::uint8_t>& bytes;
      std::uint32_t sentAt;
      std::uint32_t readAt;
      std::size_t serialMark;
    };
    const Way ways[] = {
        {"a to b", a, b, MediumDirection::kAToB, fromA, link.speedA, link.speedB, serialMarkB},
        {"b to a", b, a, MediumDirection::kBToA, fromB, link.speedB, link.speedA, serialMarkA},
    };
    for (const Way& way : ways) {
      SCOPED_TRACE(way.name);
      std::vector<host::VirtualTime> ends =
          CharacterEnds(LastBulkOutStart(way.from), way.bytes.size(), way.sentAt);
      const std::vector<TimedByte>& sent = medium.sent(way.direction);
      EXPECT_EQ(Values(sent), way.bytes);
      EXPECT_EQ(Times(sent), ends);
      for (const TimedByte& byte : sent) EXPECT_EQ(byte.rate, way.sentAt);
      EXPECT_EQ(medium.delivered(way.direction), sent);
      EXPECT_TRUE(medium.disturbances(way.direction).empty());
      // The far transceiver hears exactly the near one's bytes, never its own.
      EXPECT_EQ(way.to.transceiver.infraredIn(), sent);

      std::vector<TimedByte> serial(way.to.model.serialIn().begin() + way.serialMark,
                                    way.to.model.serialIn().end());
      std::vector<std::uint8_t> expected;
      for (std::uint8_t byte : way.bytes) expected.push_back(ReceivedByte(byte, way.sentAt, way.readAt));
      EXPECT_EQ(Values(serial), expected);
      EXPECT_EQ(Times(serial), ends);
      for (std::size_t i = 0; i < way.bytes.size(); ++i) {
        EXPECT_EQ(serial[i].value == way.bytes[i], way.sentAt == way.readAt) << "byte " << i;
      }
    }
    ReleaseAll();
  });
}

INSTANTIATE_TEST_SUITE_P(Speeds, MediumLinkTest,
                         ::testing::Values(LinkCase{"Both9600", 9600, 9600},
                                           LinkCase{"Both38400", 38400, 38400},
                                           LinkCase{"Both115200", 115200, 115200},
                                           LinkCase{"A115200B9600", 115200, 9600},
                                           LinkCase{"A19200B57600", 19200, 57600}),
                         kerneltest::CaseName<LinkCase>);

// What a disturbance did, without its time, for comparing runs that start at other times.
struct Hit {
  Disturbance::Kind kind;
  std::size_t sentIndex;
  std::uint8_t byte;
  bool operator==(const Hit&) const = default;
};
std::vector<Hit> Hits(const std::vector<Disturbance>& disturbances) {
  std::vector<Hit> hits;
  for (const Disturbance& d : disturbances) hits.push_back(Hit{d.kind, d.sentIndex, d.byte});
  return hits;
}

struct DisturbanceCase {
  const char* name;
  Disturbances settings;
  std::size_t flippedBitsMin, flippedBitsMax;
  std::size_t lostMin, lostMax;
  bool seedMatters;  // another seed gives other hits
};

constexpr std::size_t kDisturbedBytes = 400;

class MediumDisturbanceTest : public MediumTest,
                              public ::testing::WithParamInterface<DisturbanceCase> {
 protected:
  // One pass: a medium with this seed disturbs a to b as the case says, while b sends
  // too or stays silent. Checks that each record tells the same story and answers the
  // hits.
  std::vector<Hit> Pass(std::uint64_t seed, bool bSends = true) {
    const DisturbanceCase& test = GetParam();
    InfraredMedium medium(sim(), a.transceiver, b.transceiver, seed);
    medium.SetDisturbances(MediumDirection::kAToB, test.settings);
    std::size_t heardMark = b.transceiver.infraredIn().size();
    std::size_t serialMark = b.model.serialIn().size();
    StartWrite(a, Pattern(kDisturbedBytes, 3));
    if (bSends) StartWrite(b, Pattern(40, 4));
    FinishWrites();

    // Rebuild what b must have received from what was sent and what the medium says it
    // did to each byte.
    const std::vector<TimedByte>& sent = medium.sent(MediumDirection::kAToB);
    const std::vector<Disturbance>& disturbances = medium.disturbances(MediumDirection::kAToB);
    EXPECT_EQ(sent.size(), kDisturbedBytes);
    std::vector<TimedByte> expected;
    std::size_t flippedBits = 0;
    std::size_t lost = 0;
    auto hit = disturbances.begin();
    for (std::size_t i = 0; i < sent.size(); ++i) {
      if (hit != disturbances.end() && hit->sentIndex == i) {
        EXPECT_EQ(hit->time, sent[i].time);
        EXPECT_EQ(hit->sentByte, sent[i].value);
        if (hit->kind == Disturbance::Kind::kLostByte) {
          EXPECT_EQ(hit->byte, sent[i].value);
          ++lost;
          ++hit;
          continue;
        }
        EXPECT_EQ(hit->kind, Disturbance::Kind::kFlippedBits);
        EXPECT_NE(hit->byte, sent[i].value);
        flippedBits += std::popcount(static_cast<unsigned>(hit->byte ^ sent[i].value));
        expected.push_back(TimedByte{sent[i].time, hit->byte, sent[i].rate});
        ++hit;
        continue;
      }
      expected.push_back(sent[i]);
    }
    EXPECT_EQ(hit, disturbances.end()) << "a disturbance that names no sent byte";
    EXPECT_EQ(medium.delivered(MediumDirection::kAToB), expected);
    std::vector<TimedByte> heard(b.transceiver.infraredIn().begin() + heardMark,
                                 b.transceiver.infraredIn().end());
    EXPECT_EQ(heard, expected);
    std::vector<TimedByte> serial(b.model.serialIn().begin() + serialMark, b.model.serialIn().end());
    EXPECT_EQ(Values(serial), Values(expected));
    EXPECT_GE(flippedBits, test.flippedBitsMin);
    EXPECT_LE(flippedBits, test.flippedBitsMax);
    EXPECT_GE(lost, test.lostMin);
    EXPECT_LE(lost, test.lostMax);

    // The other way stays clean.
    EXPECT_TRUE(medium.disturbances(MediumDirection::kBToA).empty());
    EXPECT_EQ(medium.delivered(MediumDirection::kBToA), medium.sent(MediumDirection::kBToA));
    EXPECT_EQ(medium.sent(MediumDirection::kBToA).size(), bSends ? 40u : 0u);
    return Hits(disturbances);
  }
};

TEST_P(MediumDisturbanceTest, DisturbsExactlyTheBytesItRecordsAndReplaysBySeed) {
  Run([&] {
    BringUp(a, 115200);
    BringUp(b, 115200);
    std::vector<Hit> first = Pass(7);
    std::vector<Hit> replay = Pass(7);
    EXPECT_EQ(replay, first);
    // Traffic the other way takes no draws from this one.
    std::vector<Hit> alone = Pass(7, false);
    EXPECT_EQ(alone, first);
    std::vector<Hit> other = Pass(8);
    EXPECT_EQ(other != first, GetParam().seedMatters);
    ReleaseAll();
  });
}

INSTANTIATE_TEST_SUITE_P(
    Rates, MediumDisturbanceTest,
    ::testing::Values(
        DisturbanceCase{"None", {0.0, 0.0}, 0, 0, 0, 0, false},
        DisturbanceCase{"EveryBitFlipped", {1.0, 0.0}, 8 * kDisturbedBytes, 8 * kDisturbedBytes,
                        0, 0, false},
        DisturbanceCase{"EveryByteLost", {0.0, 1.0}, 0, 0, kDisturbedBytes, kDisturbedBytes,
                        false},
        // About 30 flipped bits (1% of the bits of the bytes not lost) and 20 lost bytes.
        DisturbanceCase{"BitErrorsAndLosses", {0.01, 0.05}, 15, 50, 8, 35, true}),
    kerneltest::CaseName<DisturbanceCase>);

// Keeping only counts changes nothing but the records: with the same seed and traffic the
// far side hears the same bytes and the disturbances are the same, each naming the byte it
// struck; the sent and delivered bytes are counted, not kept.
TEST_F(MediumTest, CountsOnlyCarriesAndDisturbsAsWithRecordsAndKeepsNoBytes) {
  struct Outcome {
    std::vector<std::uint8_t> heard;  // by b's bridge
    std::vector<Hit> hits;
    std::vector<std::uint8_t> struck;
    std::uint64_t counts[4];
  };
  auto pass = [&](host::devices::Recording recording) {
    InfraredMedium medium(sim(), a.transceiver, b.transceiver, 11);
    medium.SetRecording(recording);
    medium.SetDisturbances(MediumDirection::kAToB, {0.02, 0.05});
    medium.InjectNoise(MediumDirection::kAToB, {sim().Now() + host::kMillisecond, 4, 115200});
    std::size_t serialMark = b.model.serialIn().size();
    StartWrite(a, Pattern(300, 5));
    StartWrite(b, Pattern(30, 6));
    FinishWrites();
    sim().RunFor(host::kMillisecond);
    Outcome outcome;
    outcome.heard = Values({b.model.serialIn().begin() + serialMark, b.model.serialIn().end()});
    const auto& disturbances = medium.disturbances(MediumDirection::kAToB);
    outcome.hits = Hits(disturbances);
    for (const Disturbance& d : disturbances) outcome.struck.push_back(d.sentByte);
    std::size_t noise = 0;
    for (const Disturbance& d : disturbances) noise += d.kind == Disturbance::Kind::kNoiseByte;
    std::size_t lost = disturbances.size() - noise;
    for (const Disturbance& d : disturbances) lost -= d.kind == Disturbance::Kind::kFlippedBits;
    EXPECT_EQ(noise, 4u);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(medium.sentCount(MediumDirection::kAToB), 300u);
    EXPECT_EQ(medium.sentCount(MediumDirection::kBToA), 30u);
    EXPECT_EQ(medium.deliveredCount(MediumDirection::kAToB), 300u - lost + noise);
    EXPECT_EQ(medium.deliveredCount(MediumDirection::kAToB), outcome.heard.size());
    outcome.counts[0] = medium.sentCount(MediumDirection::kAToB);
    outcome.counts[1] = medium.sentCount(MediumDirection::kBToA);
    outcome.counts[2] = medium.deliveredCount(MediumDirection::kAToB);
    outcome.counts[3] = medium.deliveredCount(MediumDirection::kBToA);
    const bool kept = recording == host::devices::Recording::kEverything;
    for (MediumDirection direction : {MediumDirection::kAToB, MediumDirection::kBToA}) {
      EXPECT_EQ(medium.sent(direction).size(), kept ? medium.sentCount(direction) : 0u);
      EXPECT_EQ(medium.delivered(direction).size(), kept ? medium.deliveredCount(direction) : 0u);
    }
    return outcome;
  };
  Run([&] {
    BringUp(a, 115200);
    BringUp(b, 115200);
    Outcome recorded = pass(host::devices::Recording::kEverything);
    Outcome counted = pass(host::devices::Recording::kCountsOnly);
    EXPECT_EQ(counted.heard, recorded.heard);
    EXPECT_EQ(counted.hits, recorded.hits);
    EXPECT_EQ(counted.struck, recorded.struck);
    EXPECT_THAT(counted.counts, ::testing::ElementsAreArray(recorded.counts));
    ReleaseAll();
  });
}

TEST_F(MediumTest, NoiseArrivesBesideTheBytesSentAtItsTimesAndReplaysBySeed) {
  Run([&] {
    BringUp(a, 57600);
    BringUp(b, 57600);
    std::optional<std::vector<std::uint8_t>> firstNoise;
    for (std::uint64_t seed : {5u, 5u, 6u}) {
      SCOPED_TRACE(seed);
      InfraredMedium medium(sim(), a.transceiver, b.transceiver, seed);
      // Four noise bytes that begin half a character after the first sent byte (the
      // bridge takes the write at once and starts sending it).
      host::VirtualTime noiseStart = sim().Now() + CharacterTime(57600) / 2;
      medium.InjectNoise(MediumDirection::kAToB, NoiseBurst{noiseStart, 4, 57600});
      std::size_t serialMark = b.model.serialIn().size();
      host::VirtualTime start = Write(a, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
      ASSERT_EQ(start + CharacterTime(57600) / 2, noiseStart);

      const std::vector<Disturbance>& hits = medium.disturbances(MediumDirection::kAToB);
      ASSERT_EQ(hits.size(), 4u);
      std::vector<std::uint8_t> values;
      for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].kind, Disturbance::Kind::kNoiseByte);
        EXPECT_EQ(hits[i].time, CharacterEnd(noiseStart, i, 57600));
        EXPECT_EQ(hits[i].sentIndex, i + 1);  // each noise byte follows one sent byte
        values.push_back(hits[i].byte);
      }
      // Sent and noise bytes, each whole, in the order of their times.
      std::vector<TimedByte> expected;
      for (std::size_t i = 0; i < 6; ++i) {
        expected.push_back(TimedByte{CharacterEnd(start, i, 57600),
                                     static_cast<std::uint8_t>(0x10 * (i + 1)), 57600});
        if (i < 4) expected.push_back(TimedByte{hits[i].time, hits[i].byte, 57600});
      }
      EXPECT_EQ(medium.delivered(MediumDirection::kAToB), expected);
      std::vector<TimedByte> serial(b.model.serialIn().begin() + serialMark, b.model.serialIn().end());
      EXPECT_EQ(serial, expected);
      EXPECT_TRUE(medium.delivered(MediumDirection::kBToA).empty());  // noise reaches b only

      if (!firstNoise) {
        firstNoise = values;
      } else {
        EXPECT_EQ(values == *firstNoise, seed == 5);
      }
    }
    ReleaseAll();
  });
}

TEST_F(MediumTest, RefusesRatesOutsideZeroToOneAndNoiseInThePastOrAtSpeedZero) {
  InfraredMedium medium(sim(), a.transceiver, b.transceiver);
  const Disturbances refused[] = {
      {-0.01, 0.0}, {1.5, 0.0}, {0.0, -1.0}, {0.0, 2.0}, {std::nan(""), 0.0}, {0.0, std::nan("")},
  };
  for (const Disturbances& settings : refused) {
    SCOPED_TRACE(testing::Message() << settings.bitErrorRate << " " << settings.lossRate);
    EXPECT_THROW(medium.SetDisturbances(settings), std::invalid_argument);
    EXPECT_THROW(medium.SetDisturbances(MediumDirection::kBToA, settings), std::invalid_argument);
  }
  Run([&] {
    sim().RunFor(host::kMillisecond);
    EXPECT_THROW(medium.InjectNoise(MediumDirection::kAToB, NoiseBurst{0, 1, 9600}),
                 std::invalid_argument);
    EXPECT_THROW(medium.InjectNoise(MediumDirection::kAToB, NoiseBurst{sim().Now(), 1, 0}),
                 std::invalid_argument);
    // The refused settings left the medium clean.
    medium.Carry(MediumDirection::kAToB, TimedByte{sim().Now(), 0x42, 9600});
    EXPECT_TRUE(medium.disturbances(MediumDirection::kAToB).empty());
    EXPECT_EQ(Values(medium.delivered(MediumDirection::kAToB)), std::vector<std::uint8_t>{0x42});
  });
}

TEST_F(MediumTest, GoneMediumDropsItsPendingNoiseAndDetachesBothTransceivers) {
  Run([&] {
    BringUp(a, 9600);
    BringUp(b, 9600);
    std::optional<InfraredMedium> medium;
    medium.emplace(sim(), a.transceiver, b.transceiver);
    medium->InjectNoise(MediumDirection::kAToB, NoiseBurst{sim().Now() + host::kMillisecond, 3, 9600});
    medium->InjectNoise(MediumDirection::kBToA, NoiseBurst{sim().Now() + host::kMillisecond, 3, 9600});
    medium.reset();
    std::size_t sentMark = a.transceiver.infraredOut().size();
    Write(a, {0x01, 0x02});
    Write(b, {0x03});
    sim().RunFor(10 * host::kMillisecond);
    EXPECT_EQ(a.transceiver.infraredOut().size(), sentMark + 2);  // sent into nothing
    EXPECT_TRUE(a.transceiver.infraredIn().empty());
    EXPECT_TRUE(b.transceiver.infraredIn().empty());
    ReleaseAll();
  });
}

}  // namespace
}  // namespace sirtest
