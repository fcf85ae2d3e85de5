// The IrLAP frames sirsim's script hands down: a known answer from outside, and the
// address and control bytes of each kind of frame.
#include "tools/sirsim/irlap_frames.h"

#include <gtest/gtest.h>

#include "sir/fcs16.h"

namespace sirsim::irlap {
namespace {

TEST(IrlapFrames, XidCommandMatchesTheKnownFrameAndItsFcs) {
  Frame frame = XidCommand(0x11223344, kSlots8, 0);
  EXPECT_EQ(frame, (Frame{0xFF, 0x3F, 0x01, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF,
                          0x02, 0x00, 0x00}));
  EXPECT_EQ(ComputeFcs16(frame.data(), static_cast<ULONG>(frame.size())), 0x063C);
}

TEST(IrlapFrames, AddressAndControlBytesOfEachKind) {
  const DiscoveryInfo info{{0x84, 0x20}, 0x00, "B"};
  struct Case {
    const char* name;
    Frame frame;
    std::uint8_t address;
    std::uint8_t control;
    std::size_t size;
  };
  const Case cases[] = {
      {"final XID with discovery info", XidCommand(1, kSlots8, kFinalSlot, &info), 0xFF, 0x3F,
       14 + 4},
      {"XID response", XidResponse(2, 1, kSlots8, 3, info), 0xFE, 0xBF, 14 + 4},
      {"SNRM", Snrm(1, 2, 0x21, Negotiation{}), 0xFF, 0x93, 2 + 9 + 6 * 3},
      {"UA of a connection", UaConnect(0x21, 2, 1, Negotiation{}), 0x42, 0x73, 2 + 8 + 6 * 3},
      {"DISC", Disc(0x21), 0x43, 0x53, 2},
      {"UA", Ua(0x21), 0x42, 0x73, 2},
      {"I-frame N(S)=5 N(R)=3 P", InformationFrame(0x21, true, 5, 3, true, {1, 2}), 0x43,
       0x7A, 4},
      {"I-frame N(S)=7 N(R)=0", InformationFrame(0x21, false, 7, 8, false, {}), 0x42, 0x0E, 2},
      {"RR N(R)=6 F", ReceiveReady(0x21, false, 6, true), 0x42, 0xD1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.frame.size(), c.size);
    EXPECT_EQ(c.frame[0], c.address);
    EXPECT_EQ(c.frame[1], c.control);
  }
  Frame snrm = Snrm(0x11223344, 0xA1B2C3D4, 0x21, Negotiation{});
  EXPECT_EQ(Frame(snrm.begin() + 2, snrm.begin() + 11),
            (Frame{0x44, 0x33, 0x22, 0x11, 0xD4, 0xC3, 0xB2, 0xA1, 0x42}));
  EXPECT_EQ(Frame(snrm.begin() + 11, snrm.begin() + 14), (Frame{0x01, 0x01, 0x3E}));
}

TEST(IrlapFrames, NegotiatedValues) {
  EXPECT_EQ(HighestSpeed(0x3E), 115200u);
  EXPECT_EQ(HighestSpeed(0x02 | 0x08), 38400u);
  EXPECT_EQ(HighestSpeed(0), 9600u);
  EXPECT_EQ(MinTurnaroundMicroseconds(0x04), 1000u);
  EXPECT_EQ(MinTurnaroundMicroseconds(0x80), 0u);
  EXPECT_EQ(MinTurnaroundMicroseconds(0x05), 10'000u);  // the longest of those offered
}

}  // namespace
}  // namespace sirsim::irlap
