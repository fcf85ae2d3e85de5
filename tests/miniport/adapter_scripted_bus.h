// A bus in front of an adapter's serial bridge model that lets a test decide how bulk
// transfers end: bulk-in reads are held until the test completes them with a status and
// bytes of its choice, and the next reads or writes can be answered inside the submitting
// call. Everything else (descriptors, configuration, class requests, the status pipe,
// writes not scripted) goes on to the bridge model. Made after MiniportHost::AddAdapter
// and before Initialize, inside a simulation run; destroyed before the host.
//
// Not simulated: a read completed with bytes takes no serial time; the held reads never
// see the bytes that arrive on the bridge's serial side.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/ndis/miniport_host.h"
#include "host/usb/lower_device.h"

namespace sirtest {

// How one bulk transfer ends.
struct TransferOutcome {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<UCHAR> bytes;  // for a read: what it delivers
};

class ScriptedBus : public host::usb::UsbFunction {
 public:
  // Stands between the adapter and its dongle's bridge from now on.
  ScriptedBus(host::Simulation& simulation, host::ndis::Adapter& adapter)
      : bridge_(adapter.dongle->bridge), lower_(simulation, *this) {
    lower_.SetDelivery(host::usb::RequestKind::kBulkIn, host::usb::Delivery::kAtOnce);
    adapter.block.SetLowerDevice(lower_.device());
  }

  host::usb::LowerDevice& lower() { return lower_; }

  // The next reads submitted complete inside the submitting call, in this order.
  void AnswerReadsAtOnce(std::vector<TransferOutcome> outcomes) {
    for (auto& outcome : outcomes) readsAtOnce_.push_back(std::move(outcome));
  }
  // The next `count` writes complete with success inside the submitting call.
  void AnswerWritesAtOnce(int count) {
    lower_.SetDelivery(host::usb::RequestKind::kBulkOut, host::usb::Delivery::kAtOnce);
    writesAtOnce_ += count;
  }

  // Completes the oldest held read, at DISPATCH_LEVEL as a bus completion runs.
  void CompleteRead(const TransferOutcome& outcome) {
    ASSERT_FALSE(heldReads_.empty()) << "no read is outstanding";
    Held read = std::move(heldReads_.front());
    heldReads_.pop_front();
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    Finish(read.urb, read.done, outcome);
  }

  std::size_t heldReads() const { return heldReads_.size(); }
  std::size_t readsSubmitted() const { return readThreads_.size(); }
  // The thread each read was submitted on ("test", "completion", "WorkerThread#1", ...).
  const std::vector<std::string>& readThreads() const { return readThreads_; }

  // host::usb::UsbFunction
  std::optional<host::usb::TransferKind> PipeKind(USBD_PIPE_HANDLE pipe) const override {
    return bridge_.PipeKind(pipe);
  }
  void Submit(URB* urb, Done done) override {
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
        urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) {
      // Leaving the configuration ends the reads in flight, as the bridge does its own.
      host::IrqlScope dispatch(DISPATCH_LEVEL);
      while (!heldReads_.empty()) {
        Held read = std::move(heldReads_.front());
        heldReads_.pop_front();
        Finish(read.urb, read.done, {STATUS_CANCELLED, {}});
      }
    }
    std::optional<host::usb::TransferKind> kind;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      kind = bridge_.PipeKind(urb->UrbBulkOrInterruptTransfer.PipeHandle);
    }
    if (kind == host::usb::TransferKind::kBulkIn) {
      readThreads_.push_back(host::CurrentThreadName());
      if (!readsAtOnce_.empty()) {
        TransferOutcome outcome = std::move(readsAtOnce_.front());
        readsAtOnce_.pop_front();
        return Finish(urb, done, outcome);
      }
      heldReads_.push_back(Held{urb, std::move(done)});
      return;
    }
    if (kind == host::usb::TransferKind::kBulkOut && writesAtOnce_ > 0) {
      if (--writesAtOnce_ == 0) {
        lower_.SetDelivery(host::usb::RequestKind::kBulkOut, host::usb::Delivery::kLater);
      }
      return done(host::usb::kUrbSuccess);
    }
    bridge_.Submit(urb, std::move(done));
  }
  void Abort(URB* urb) override {
    for (auto it = heldReads_.begin(); it != heldReads_.end(); ++it) {
      if (it->urb == urb) {
        heldReads_.erase(it);
        return;
      }
    }
    bridge_.Abort(urb);
  }

 private:
  struct Held {
    URB* urb;
    Done done;
  };

  static void Finish(URB* urb, const Done& done, const TransferOutcome& outcome) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    ULONG count = static_cast<ULONG>(outcome.bytes.size());
    if (count > transfer.TransferBufferLength) count = transfer.TransferBufferLength;
    if (count > 0) std::memcpy(transfer.TransferBuffer, outcome.bytes.data(), count);
    transfer.TransferBufferLength = count;
    done(host::usb::UrbResult{outcome.status, NT_SUCCESS(outcome.status)
                                                  ? host::usb::USBD_STATUS_SUCCESS
                                                  : host::usb::USBD_STATUS_CANCELED});
  }

  host::devices::SerialBridge& bridge_;
  host::usb::LowerDevice lower_;
  std::deque<Held> heldReads_;
  std::deque<TransferOutcome> readsAtOnce_;
  int writesAtOnce_ = 0;
  std::vector<std::string> readThreads_;
};

}  // namespace sirtest
