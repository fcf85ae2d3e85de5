// A receiving adapter for tests of the decoder and the indication: a zeroed IrDevice with
// its receive pool, an NDIS record whose protocol stand-in takes the indications, and
// rxCurrent taken from the free list as the read loop does when it starts. Made and
// destroyed inside a simulation run; the destructor returns what the protocol holds,
// releases the pool and fails the test if anything of it is left.
#pragma once

#include <memory>
#include <vector>

#include "host/ndis/miniport_block.h"
#include "miniport/ir_device.h"
#include "tests/sir/sir_reference.h"

namespace sirtest {

class TestReceiver {
 public:
  TestReceiver();
  ~TestReceiver();
  TestReceiver(const TestReceiver&) = delete;
  TestReceiver& operator=(const TestReceiver&) = delete;

  IrDevice& device() { return *device_; }
  host::ndis::MiniportBlock& ndis() { return *block_; }

  // Feeds bytes to the decoder as one read.
  NDIS_STATUS Feed(const Bytes& bytes);

  // What the protocol received, each packet's bytes as they were indicated.
  std::vector<Bytes> IndicatedPayloads() const;

  // Buffer numbers (0 to 13) on the lists, in list order, and of rxCurrent (-1: none).
  std::vector<int> FreeList() const;
  std::vector<int> PendingList() const;
  int Current() const;
  int IndexOf(const RxBuffer* buffer) const;

 private:
  std::vector<int> ListIndexes(const LIST_ENTRY& head) const;

  std::unique_ptr<IrDevice> device_;
  host::ndis::MiniportBlock* block_;
  std::size_t poolLiveBefore_;
  std::size_t packetPoolsBefore_;
  std::size_t bufferPoolsBefore_;
};

}  // namespace sirtest
