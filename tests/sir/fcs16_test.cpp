// FCS-16 against answers from outside the project and against a bitwise computation.
#include "sir/fcs16.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>

#include "tests/sir/sir_reference.h"

namespace sirtest {
namespace {

TEST(Fcs16, KnownAnswers) {
  struct Case {
    const char* name;
    Bytes data;
    USHORT fcs;
  };
  std::string_view check = "123456789";
  const Case cases[] = {
      {"check string", Bytes(check.begin(), check.end()), 0x906E},
      {"no bytes", {}, 0x0000},
      {"XID command", {0xFF, 0x3F, 0x01, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0x02,
                       0x00, 0x00}, 0x063C},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ComputeFcs16(c.data.data(), static_cast<ULONG>(c.data.size())), c.fcs) << c.name;
  }
}

TEST(Fcs16, TableHoldsTheStandardEntries) {
  const std::pair<int, USHORT> entries[] = {{0, 0x0000},   {1, 0x1189},   {2, 0x2312},
                                            {3, 0x329B},   {4, 0x4624},   {5, 0x57AD},
                                            {6, 0x6536},   {7, 0x74BF},   {8, 0x8C48},
                                            {128, 0x8408}, {255, 0x0F78}};
  for (auto [index, value] : entries) EXPECT_EQ(kFcs16Table[index], value) << "entry " << index;
}

TEST(Fcs16, AgreesWithTheBitwisePolynomial) {
  for (int byte = 0; byte < 256; ++byte) {
    UCHAR single = static_cast<UCHAR>(byte);
    ASSERT_EQ(ComputeFcs16(&single, 1), BitwiseFcs16(&single, 1)) << "byte " << byte;
  }
  std::mt19937 random(1662);
  for (int round = 0; round < 200; ++round) {
    Bytes data = RandomPayload(random, random() % 3000);
    ASSERT_EQ(ComputeFcs16(data.data(), static_cast<ULONG>(data.size())),
              BitwiseFcs16(data.data(), data.size()))
        << "length " << data.size();
  }
}

TEST(Fcs16, FrameFollowedByItsFcsLeavesTheGoodResidue) {
  std::mt19937 random(0x0F47);
  for (int round = 0; round < 100; ++round) {
    Bytes frame = WithFcs(RandomPayload(random, 2 + random() % 2049));
    ASSERT_EQ(ComputeFcs16(frame.data(), static_cast<ULONG>(frame.size())), kFcs16Good);
    // Any single flipped bit breaks it.
    std::size_t bit = random() % (frame.size() * 8);
    frame[bit / 8] ^= static_cast<UCHAR>(1u << (bit % 8));
    ASSERT_NE(ComputeFcs16(frame.data(), static_cast<ULONG>(frame.size())), kFcs16Good);
  }
}

}  // namespace
}  // namespace sirtest
