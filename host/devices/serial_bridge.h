// Device model of the USB serial bridge: a USB function with one interface and three
// endpoints (interrupt-in status, bulk-out, bulk-in) and a serial port behind them.
//
// Simulated: the device and configuration descriptors; selecting and clearing the
// configuration, with one pipe handle per endpoint; the two class requests (line coding
// and control lines, both kept); bulk-out bytes leaving on the serial side one after
// another at the programmed rate, ten bit times a character, the transfer completing when
// its last byte has left; bulk-in reads completed with what the serial side received,
// when the buffer is full or when the line has been idle for three character times after
// at least one byte (a read never completes empty); a receive FIFO for bytes that arrive
// with no read posted (overflow drops the byte and reports an overrun); ten-byte
// serial-state notifications on the interrupt pipe when the line state changes, or raw
// ones a test injects. Leaving the configuration ends the transfers in flight, cancelled.
//
// Not simulated: other requests (they stall), USB packet sizes and frames, flow control,
// breaks, parity or stop-bit effects on timing (every character is ten bit times),
// transmit FIFO limits (a bulk-out transfer waits for the line instead).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "host/devices/serial_line.h"
#include "host/usb/timer_set.h"
#include "host/usb/usb_function.h"

namespace host::devices {

// Serial-state bits of the notification: levels, then events that are reported once.
constexpr std::uint16_t kSerialStateDcd = 0x0001;
constexpr std::uint16_t kSerialStateDsr = 0x0002;
constexpr std::uint16_t kSerialStateOverrun = 0x0040;
constexpr std::uint16_t kSerialStateLevels = kSerialStateDcd | kSerialStateDsr;

constexpr std::size_t kReceiveFifoSize = 4096;
constexpr std::uint32_t kIdleCharacters = 3;

struct LineCodingState {
  std::uint32_t rate = 9600;  // the rate the bridge powers up at
  std::uint8_t stopBits = 0;
  std::uint8_t parity = 0;
  std::uint8_t dataBits = 8;
};

// One thing that crossed the bridge's USB side, in order, with the time it was taken.
struct BridgeEvent {
  enum class Type {
    kGetDescriptor,        // value: descriptor type; data: the bytes returned
    kSelectConfiguration,
    kDeconfigure,
    kLineCoding,           // value: rate; data: the whole data stage
    kControlLines,         // value: wValue (bit 0 DTR, bit 1 RTS)
    kBulkOut,              // value: the rate the bytes go out at; data: the bytes
    kBulkIn,               // data: the bytes delivered
    kNotification,         // data: the bytes delivered
    kStall,                // value: the request or descriptor type refused
  };
  VirtualTime time;
  Type type;
  std::uint32_t value = 0;
  std::vector<std::uint8_t> data;
};

class SerialBridge : public usb::UsbFunction {
 public:
  explicit SerialBridge(Simulation& simulation, std::uint16_t productId = 0x0001);

  // Descriptors, which tests may change before the driver reads them.
  USB_DEVICE_DESCRIPTOR& deviceDescriptor() { return deviceDescriptor_; }
  std::vector<std::uint8_t>& configurationDescriptor() { return configuration_; }
  // Offers only the first `count` endpoints (at most three) from now on, descriptor
  // included, as a device with a wrong configuration would.
  void SetEndpointCount(std::size_t count);

  // Serial side.
  void AttachSerial(SerialDevice* device) { serialDevice_ = device; }
  // A byte sent at `rate` on the serial side has just been received whole.
  void ReceiveSerial(std::uint8_t byte, std::uint32_t rate);
  // New serial-state bits; a change of level, or any event bit, sends a notification.
  void SetSerialState(std::uint16_t bits);
  // Queues a raw notification (of any length) for the interrupt pipe.
  void SendNotification(std::vector<std::uint8_t> bytes);

  // State and records. With Recording::kCountsOnly the bridge keeps no serial bytes and
  // no bulk-transfer events; the other events and the byte counts are kept.
  void SetRecording(Recording recording);
  bool configured() const { return configured_; }
  const LineCodingState& lineCoding() const { return lineCoding_; }
  bool rts() const { return rts_; }
  bool dtr() const { return dtr_; }
  const std::vector<BridgeEvent>& events() const { return events_; }
  std::vector<BridgeEvent> EventsOf(BridgeEvent::Type type) const;
  const std::vector<TimedByte>& serialOut() const { return serialOut_.bytes(); }  // bytes sent
  const std::vector<TimedByte>& serialIn() const { return serialIn_.bytes(); }    // as received
  std::uint64_t serialOutCount() const { return serialOut_.count(); }
  std::uint64_t serialInCount() const { return serialIn_.count(); }
  std::size_t pendingReads() const { return reads_.size(); }
  std::size_t pendingInterruptReads() const { return interruptReads_.size(); }
  std::size_t bufferedBytes() const { return fifo_.size(); }
  std::size_t overruns() const { return overruns_; }

  // usb::UsbFunction
  std::optional<usb::TransferKind> PipeKind(USBD_PIPE_HANDLE pipe) const override;
  void Submit(URB* urb, Done done) override;
  void Abort(URB* urb) override;

 private:
  struct Endpoint {
    UCHAR address;
    UCHAR attributes;
    USHORT maxPacket;
    UCHAR interval;
    usb::TransferKind kind;
  };
  struct Read {
    URB* urb;
    Done done;
    ULONG filled = 0;
  };
  struct Write {
    Done done;
    ULONG sent = 0;
    std::vector<Simulation::TimerId> timers;
  };

  void BuildConfigurationDescriptor();
  void Record(BridgeEvent::Type type, std::uint32_t value, std::vector<std::uint8_t> data = {});
  // Records a bulk transfer's data, unless only counts are kept.
  void RecordTransfer(BridgeEvent::Type type, std::uint32_t value, const void* data,
                      std::size_t length);
  void GetDescriptor(URB* urb, const Done& done);
  void SelectConfiguration(URB* urb, const Done& done);
  void ClassRequest(URB* urb, const Done& done);
  void BulkOut(URB* urb, Done done);
  void BulkIn(URB* urb, Done done);
  void FillReads();
  void CompleteRead();
  void ArmIdleTimer();
  void DeliverNotifications();
  void EndTransfers();

  TimerSet timers_;
  USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
  std::vector<std::uint8_t> configuration_;
  std::vector<Endpoint> endpoints_;
  Endpoint pipeIdentity_[3]{};  // their addresses are the pipe handles
  bool configured_ = false;
  LineCodingState lineCoding_;
  bool rts_ = false;
  bool dtr_ = false;
  std::uint16_t serialState_ = 0;
  SerialDevice* serialDevice_ = nullptr;
  VirtualTime lineFreeAt_ = 0;  // when the serial transmitter has sent all it was given
  std::map<URB*, Write> writes_;
  std::deque<Read> reads_;
  std::deque<std::uint8_t> fifo_;
  VirtualTime lastByteAt_ = 0;
  Simulation::TimerId idleTimer_ = 0;
  std::deque<Read> interruptReads_;
  std::deque<std::vector<std::uint8_t>> notifications_;
  std::size_t overruns_ = 0;
  Recording recording_ = Recording::kEverything;
  std::vector<BridgeEvent> events_;
  ByteRecord serialOut_;
  ByteRecord serialIn_;
};

}  // namespace host::devices
