// The serial bridge model: descriptors, configuration, class requests, the serial
// transmitter and receiver behind the bulk pipes, and the status notifications.
#include "host/devices/serial_bridge.h"

#include <algorithm>
#include <cstring>

#include "bridge/vendor_id.h"

namespace host::devices {
namespace {

constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kSetControlLineState = 0x22;
constexpr ULONG kLineCodingLength = 7;  // the class's structure; more data is accepted

std::vector<std::uint8_t> Bytes(const void* data, std::size_t length) {
  auto begin = static_cast<const std::uint8_t*>(data);
  return std::vector<std::uint8_t>(begin, begin + length);
}

}  // namespace

SerialBridge::SerialBridge(Simulation& simulation, std::uint16_t productId)
    : timers_(simulation) {
  deviceDescriptor_ = USB_DEVICE_DESCRIPTOR{
      sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE, 0x0110, 0, 0, 0, 8,
      kBridgeVendorId, productId, 0x0100, 0, 0, 0, 1};
  endpoints_ = {
      {0x81, 0x03, 16, 1, usb::TransferKind::kInterruptIn},
      {0x02, 0x02, 64, 0, usb::TransferKind::kBulkOut},
      {0x83, 0x02, 64, 0, usb::TransferKind::kBulkIn},
  };
  BuildConfigurationDescriptor();
}

void SerialBridge::SetEndpointCount(std::size_t count) {
  endpoints_.resize(std::min(count, endpoints_.size()));
  BuildConfigurationDescriptor();
}

void SerialBridge::BuildConfigurationDescriptor() {
  std::size_t total = sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR) +
                      endpoints_.size() * sizeof(USB_ENDPOINT_DESCRIPTOR);
  configuration_ = {sizeof(USB_CONFIGURATION_DESCRIPTOR), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                    static_cast<std::uint8_t>(total), static_cast<std::uint8_t>(total >> 8),
                    1, 1, 0, 0x80, 50,
                    sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0,
                    static_cast<std::uint8_t>(endpoints_.size()), 0xFF, 0, 0, 0};
  for (const Endpoint& endpoint : endpoints_) {
    configuration_.insert(configuration_.end(),
                          {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE,
                           endpoint.address, endpoint.attributes,
                           static_cast<std::uint8_t>(endpoint.maxPacket),
                           static_cast<std::uint8_t>(endpoint.maxPacket >> 8),
                           endpoint.interval});
  }
}

void SerialBridge::SetRecording(Recording recording) {
  recording_ = recording;
  serialOut_.SetRecording(recording);
  serialIn_.SetRecording(recording);
}

std::vector<BridgeEvent> SerialBridge::EventsOf(BridgeEvent::Type type) const {
  std::vector<BridgeEvent> found;
  for (const BridgeEvent& event : events_) {
    if (event.type == type) found.push_back(event);
  }
  return found;
}

void SerialBridge::Record(BridgeEvent::Type type, std::uint32_t value,
                          std::vector<std::uint8_t> data) {
  events_.push_back(BridgeEvent{timers_.simulation().Now(), type, value, std::move(data)});
}

void SerialBridge::RecordTransfer(BridgeEvent::Type type, std::uint32_t value, const void* data,
                                  std::size_t length) {
  if (recording_ == Recording::kEverything) Record(type, value, Bytes(data, length));
}

std::optional<usb::TransferKind> SerialBridge::PipeKind(USBD_PIPE_HANDLE pipe) const {
  if (!configured_) return std::nullopt;
  for (std::size_t i = 0; i < endpoints_.size(); ++i) {
    if (pipe == &pipeIdentity_[i]) return endpoints_[i].kind;
  }
  return std::nullopt;
}

void SerialBridge::Submit(URB* urb, Done done) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(urb, done);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(urb, done);
    case URB_FUNCTION_CLASS_INTERFACE: return ClassRequest(urb, done);
    default: break;
  }
  switch (*PipeKind(urb->UrbBulkOrInterruptTransfer.PipeHandle)) {
    case usb::TransferKind::kBulkOut: return BulkOut(urb, std::move(done));
    case usb::TransferKind::kBulkIn: return BulkIn(urb, std::move(done));
    case usb::TransferKind::kInterruptIn:
      interruptReads_.push_back(Read{urb, std::move(done)});
      return DeliverNotifications();
  }
}

void SerialBridge::GetDescriptor(URB* urb, const Done& done) {
  auto& request = urb->UrbControlDescriptorRequest;
  const void* source = nullptr;
  std::size_t available = 0;
  if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
    source = &deviceDescriptor_;
    available = sizeof deviceDescriptor_;
  } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
    source = configuration_.data();
    available = configuration_.size();
  } else {
    Record(BridgeEvent::Type::kStall, request.DescriptorType);
    return done(usb::kUrbStall);
  }
  ULONG copied = static_cast<ULONG>(std::min<std::size_t>(available, request.TransferBufferLength));
  std::memcpy(request.TransferBuffer, source, copied);
  request.TransferBufferLength = copied;
  Record(BridgeEvent::Type::kGetDescriptor, request.DescriptorType, Bytes(source, copied));
  done(usb::kUrbSuccess);
}

void SerialBridge::SelectConfiguration(URB* urb, const Done& done) {
  auto& select = urb->UrbSelectConfiguration;
  if (select.ConfigurationDescriptor == nullptr) {
    configured_ = false;
    Record(BridgeEvent::Type::kDeconfigure, 0);
    EndTransfers();
    return done(usb::kUrbSuccess);
  }
  std::size_t pipes = endpoints_.size();
  std::size_t needed = sizeof(USBD_INTERFACE_INFORMATION) +
                       (pipes > 1 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
  std::size_t room = urb->UrbHeader.Length - offsetof(_URB_SELECT_CONFIGURATION, Interface);
  if (select.Interface.Length < needed || room < needed) {
    Record(BridgeEvent::Type::kStall, URB_FUNCTION_SELECT_CONFIGURATION);
    return done({STATUS_INVALID_PARAMETER, usb::USBD_STATUS_BUFFER_TOO_SMALL});
  }
  select.ConfigurationHandle = this;
  USBD_INTERFACE_INFORMATION& interface = select.Interface;
  interface.InterfaceNumber = 0;
  interface.AlternateSetting = 0;
  interface.Class = 0xFF;
  interface.InterfaceHandle = &endpoints_;
  interface.NumberOfPipes = static_cast<ULONG>(pipes);
  USBD_PIPE_INFORMATION* pipe = interface.Pipes;
  for (std::size_t i = 0; i < pipes; ++i, ++pipe) {
    const Endpoint& endpoint = endpoints_[i];
    pipe->MaximumPacketSize = endpoint.maxPacket;
    pipe->EndpointAddress = endpoint.address;
    pipe->Interval = endpoint.interval;
    pipe->PipeType = endpoint.kind == usb::TransferKind::kInterruptIn ? UsbdPipeTypeInterrupt
                                                                      : UsbdPipeTypeBulk;
    pipe->PipeHandle = &pipeIdentity_[i];
  }
  configured_ = true;
  Record(BridgeEvent::Type::kSelectConfiguration, 0);
  done(usb::kUrbSuccess);
}

void SerialBridge::ClassRequest(URB* urb, const Done& done) {
  auto& request = urb->UrbControlVendorClassRequest;
  bool toDevice = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0;
  if (toDevice && request.Index == 0 && request.Request == kSetLineCoding &&
      request.TransferBufferLength >= kLineCodingLength) {
    auto data = Bytes(request.TransferBuffer, request.TransferBufferLength);
    std::uint32_t rate = data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t{data[3]} << 24;
    if (rate != 0) {
      lineCoding_ = LineCodingState{rate, data[4], data[5], data[6]};
      Record(BridgeEvent::Type::kLineCoding, rate, std::move(data));
      return done(usb::kUrbSuccess);
    }
  }
  if (toDevice && request.Index == 0 && request.Request == kSetControlLineState) {
    dtr_ = (request.Value & 0x0001) != 0;
    rts_ = (request.Value & 0x0002) != 0;
    Record(BridgeEvent::Type::kControlLines, request.Value);
    if (serialDevice_ != nullptr) serialDevice_->OnControlLines(rts_, dtr_);
    return done(usb::kUrbSuccess);
  }
  Record(BridgeEvent::Type::kStall, request.Request);
  done(usb::kUrbStall);
}

void SerialBridge::BulkOut(URB* urb, Done done) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  const auto* data = static_cast<const std::uint8_t*>(transfer.TransferBuffer);
  const std::size_t length = transfer.TransferBufferLength;
  const std::uint32_t rate = lineCoding_.rate;
  RecordTransfer(BridgeEvent::Type::kBulkOut, rate, data, length);
  if (length == 0) return done(usb::kUrbSuccess);

  Simulation& simulation = timers_.simulation();
  VirtualTime start = std::max(simulation.Now(), lineFreeAt_);
  Write& write = writes_[urb];
  write.done = std::move(done);
  for (std::size_t i = 0; i < length; ++i) {
    VirtualTime end = CharacterEnd(start, i, rate);
    std::uint8_t byte = data[i];
    bool last = i + 1 == length;
    write.timers.push_back(timers_.At(end, [this, urb, byte, rate, end, last] {
      serialOut_.Add(TimedByte{end, byte, rate});
      ++writes_.at(urb).sent;
      if (serialDevice_ != nullptr) serialDevice_->OnSerialByte(byte, rate);
      if (last) {
        Done finished = std::move(writes_.at(urb).done);
        writes_.erase(urb);
        finished(usb::kUrbSuccess);
      }
    }));
  }
  lineFreeAt_ = CharacterEnd(start, length - 1, rate);
}

void SerialBridge::BulkIn(URB* urb, Done done) {
  reads_.push_back(Read{urb, std::move(done)});
  FillReads();
  if (!reads_.empty() && reads_.front().filled > 0) {
    if (timers_.simulation().Now() - lastByteAt_ >= kIdleCharacters * CharacterTime(lineCoding_.rate)) {
      CompleteRead();
    } else {
      ArmIdleTimer();
    }
  }
}

void SerialBridge::ReceiveSerial(std::uint8_t byte, std::uint32_t rate) {
  Simulation& simulation = timers_.simulation();
  std::uint8_t received = ReceivedByte(byte, rate, lineCoding_.rate);
  serialIn_.Add(TimedByte{simulation.Now(), received, lineCoding_.rate});
  lastByteAt_ = simulation.Now();
  if (fifo_.size() >= kReceiveFifoSize) {
    ++overruns_;
    SetSerialState(serialState_ | kSerialStateOverrun);
  } else {
    fifo_.push_back(received);
  }
  FillReads();
  if (!reads_.empty() && reads_.front().filled > 0) ArmIdleTimer();
}

// Moves buffered bytes into the posted reads, completing each one that is full.
void SerialBridge::FillReads() {
  while (!reads_.empty() && !fifo_.empty()) {
    Read& read = reads_.front();
    auto& transfer = read.urb->UrbBulkOrInterruptTransfer;
    auto* buffer = static_cast<std::uint8_t*>(transfer.TransferBuffer);
    while (read.filled < transfer.TransferBufferLength && !fifo_.empty()) {
      buffer[read.filled++] = fifo_.front();
      fifo_.pop_front();
    }
    if (read.filled < transfer.TransferBufferLength) return;
    CompleteRead();
  }
}

void SerialBridge::CompleteRead() {
  Read read = std::move(reads_.front());
  reads_.pop_front();
  auto& transfer = read.urb->UrbBulkOrInterruptTransfer;
  transfer.TransferBufferLength = read.filled;
  RecordTransfer(BridgeEvent::Type::kBulkIn, 0, transfer.TransferBuffer, read.filled);
  read.done(usb::kUrbSuccess);
}

void SerialBridge::ArmIdleTimer() {
  if (idleTimer_ != 0) timers_.Cancel(idleTimer_);
  VirtualTime due = lastByteAt_ + kIdleCharacters * CharacterTime(lineCoding_.rate);
  idleTimer_ = timers_.At(due, [this] {
    idleTimer_ = 0;
    if (!reads_.empty() && reads_.front().filled > 0) CompleteRead();
    FillReads();
    if (!reads_.empty() && reads_.front().filled > 0) ArmIdleTimer();
  });
}

void SerialBridge::SetSerialState(std::uint16_t bits) {
  std::uint16_t levels = bits & kSerialStateLevels;
  bool events = (bits & ~kSerialStateLevels) != 0;
  if (levels == serialState_ && !events) return;
  serialState_ = levels;
  SendNotification({0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                    static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8)});
}

void SerialBridge::SendNotification(std::vector<std::uint8_t> bytes) {
  notifications_.push_back(std::move(bytes));
  DeliverNotifications();
}

void SerialBridge::DeliverNotifications() {
  while (!interruptReads_.empty() && !notifications_.empty()) {
    Read read = std::move(interruptReads_.front());
    interruptReads_.pop_front();
    std::vector<std::uint8_t> bytes = std::move(notifications_.front());
    notifications_.pop_front();
    auto& transfer = read.urb->UrbBulkOrInterruptTransfer;
    ULONG length = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), transfer.TransferBufferLength));
    std::memcpy(transfer.TransferBuffer, bytes.data(), length);
    transfer.TransferBufferLength = length;
    bytes.resize(length);
    Record(BridgeEvent::Type::kNotification, 0, std::move(bytes));
    read.done(usb::kUrbSuccess);
  }
}

// Leaving the configuration disables the endpoints: what is in flight on them ends
// cancelled, as a host controller aborts the transfers of a disabled endpoint.
void SerialBridge::EndTransfers() {
  std::vector<Done> ended;
  for (auto& [urb, write] : writes_) {
    for (Simulation::TimerId id : write.timers) timers_.Cancel(id);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = write.sent;
    ended.push_back(std::move(write.done));
  }
  writes_.clear();
  for (auto* queue : {&reads_, &interruptReads_}) {
    for (Read& read : *queue) {
      read.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = read.filled;
      ended.push_back(std::move(read.done));
    }
    queue->clear();
  }
  for (Done& done : ended) done(usb::kUrbCancelled);
}

void SerialBridge::Abort(URB* urb) {
  if (auto write = writes_.find(urb); write != writes_.end()) {
    for (Simulation::TimerId id : write->second.timers) timers_.Cancel(id);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = write->second.sent;
    writes_.erase(write);
    if (writes_.empty()) lineFreeAt_ = timers_.simulation().Now();
    return;
  }
  for (auto* queue : {&reads_, &interruptReads_}) {
    auto found = std::find_if(queue->begin(), queue->end(),
                              [urb](const Read& read) { return read.urb == urb; });
    if (found == queue->end()) continue;
    // Bytes a cancelled read had gathered go back to the FIFO, so none is lost.
    auto* buffer = static_cast<std::uint8_t*>(urb->UrbBulkOrInterruptTransfer.TransferBuffer);
    fifo_.insert(fifo_.begin(), buffer, buffer + found->filled);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    queue->erase(found);
    return;
  }
}

}  // namespace host::devices
