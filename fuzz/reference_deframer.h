// A reference deframer for the fuzz targets, written apart from the driver's table: three
// states (hunting, in a frame, after an escape), the frame's bytes in a vector, and the
// same limits (frames of 4 to 2052 bytes with their FCS; a frame past 2052 bytes ends the
// examination of its read and is counted as one overflow).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "sir/sir_format.h"
#include "tests/sir/sir_reference.h"

namespace sirfuzz {

using sirtest::Bytes;

class ReferenceDeframer {
 public:
  enum class State { kHunting, kInFrame, kEscaped };

  // One read's bytes.
  void Feed(std::span<const UCHAR> read) {
    for (UCHAR byte : read) {
      if (frame_.size() > kSirMaxFrame) break;
      Step(byte);
    }
    if (frame_.size() > kSirMaxFrame) {
      overflows_ += 1;
      frame_.clear();
      state_ = State::kHunting;
    }
  }

  // Every frame that reached its end flag long enough, with its two FCS bytes.
  const std::vector<Bytes>& frames() const { return frames_; }
  std::size_t overflows() const { return overflows_; }
  State state() const { return state_; }
  const Bytes& partialFrame() const { return frame_; }

  // True when the frame's last two bytes are the FCS of the bytes before them.
  static bool GoodFcs(const Bytes& frame) {
    Bytes payload(frame.begin(), frame.end() - kSirFcsLength);
    return sirtest::FcsBytes(payload) == Bytes(frame.end() - kSirFcsLength, frame.end());
  }

 private:
  void Step(UCHAR byte) {
    // A BOF opens a frame from any state, dropping what was collected.
    if (byte == kSirBof) {
      frame_.clear();
      state_ = State::kInFrame;
      return;
    }
    switch (state_) {
      case State::kHunting:
        return;
      case State::kInFrame:
        if (byte == kSirEof) {
          if (frame_.size() >= kSirMinFrame) frames_.push_back(frame_);
          Abandon();
        } else if (byte == kSirCe) {
          state_ = State::kEscaped;
        } else {
          frame_.push_back(byte);
        }
        return;
      case State::kEscaped:
        if (byte == kSirEof || byte == kSirCe) {
          Abandon();
        } else if (byte == (kSirBof ^ kSirEscapeXor) || byte == (kSirEof ^ kSirEscapeXor) ||
                   byte == (kSirCe ^ kSirEscapeXor)) {
          frame_.push_back(byte ^ kSirEscapeXor);
          state_ = State::kInFrame;
        }
        // Any other byte after an escape is dropped, and the escape stays.
        return;
    }
  }

  void Abandon() {
    frame_.clear();
    state_ = State::kHunting;
  }

  State state_ = State::kHunting;
  Bytes frame_;
  std::vector<Bytes> frames_;
  std::size_t overflows_ = 0;
};

}  // namespace sirfuzz
