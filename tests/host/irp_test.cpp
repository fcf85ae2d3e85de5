// The host's IRP calls: the built request's completion by the I/O manager, completion
// routines by their invoke flags, cancellation, and the verifier's IRP findings.
#include <gtest/gtest.h>

#include <functional>

#include "host/kernel/irp.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

// A lower driver that completes each request at once with `status`, or keeps it pending
// (with a cancel routine that completes it cancelled) when `pend` is set.
struct TestDriver {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  NTSTATUS status = STATUS_SUCCESS;
  bool pend = false;
  PIRP held = nullptr;

  TestDriver() {
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &Dispatch;
    device.DriverObject = &driver;
    device.DeviceExtension = this;
    device.StackSize = 1;
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<TestDriver*>(device->DeviceExtension);
    if (self->pend) {
      self->held = irp;
      host::SetIrpCancelRoutine(irp, [](PIRP cancelled) {
        cancelled->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(cancelled, IO_NO_INCREMENT);
      });
      return STATUS_PENDING;
    }
    irp->IoStatus.Status = self->status;
    irp->IoStatus.Information = 5;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return self->status;
  }
  void CompleteHeld(NTSTATUS with) {
    host::ClearIrpCancelRoutine(held);
    held->IoStatus.Status = with;
    IofCompleteRequest(held, IO_NO_INCREMENT);
    held = nullptr;
  }
};

PIRP Internal(PIRP irp) {
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  return irp;
}

class IrpTest : public SimTest {
 protected:
  TestDriver lower;
};

TEST_F(IrpTest, BuiltRequestFillsStatusBlockSetsEventAndIsFreed) {
  Run([&] {
    for (bool pend : {false, true}) {
      lower.pend = pend;
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK ioStatus{};
      PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0,
                                               TRUE, &event, &ioStatus);
      ASSERT_NE(irp, nullptr);
      EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
      EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode,
                0x220003u);
      lower.status = STATUS_DEVICE_DATA_ERROR;
      NTSTATUS returned = IofCallDriver(&lower.device, irp);
      if (pend) {
        EXPECT_EQ(returned, STATUS_PENDING);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        lower.CompleteHeld(STATUS_DEVICE_DATA_ERROR);
      }
      EXPECT_EQ(KeReadStateEvent(&event), 1);
      EXPECT_EQ(ioStatus.Status, STATUS_DEVICE_DATA_ERROR);
      EXPECT_FALSE(host::IsLiveIrp(irp));
    }
    EXPECT_EQ(host::CheckIrpLeaks("end"), 0u);
  });
}

struct RoutineCase {
  const char* name;
  NTSTATUS status;
  bool cancel;
  BOOLEAN onSuccess, onError, onCancel;
  bool invoked;
};

class CompletionRoutineTest : public IrpTest, public ::testing::WithParamInterface<RoutineCase> {};

TEST_P(CompletionRoutineTest, RunsWhenItsFlagsSaySo) {
  const RoutineCase& c = GetParam();
  if (!c.invoked) ExpectFinding(host::rule::kIrpCompletionRoutine);
  Run([&] {
    lower.pend = true;
    PIRP irp = Internal(IoAllocateIrp(1, FALSE));
    int calls = 0;
    PDEVICE_OBJECT seen = &lower.device;
    struct Seen {
      int* calls;
      PDEVICE_OBJECT* device;
    } context{&calls, &seen};
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP, PVOID raw) -> NTSTATUS {
          auto* s = static_cast<Seen*>(raw);
          ++*s->calls;
          *s->device = device;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &context, c.onSuccess, c.onError, c.onCancel);
    EXPECT_EQ(IofCallDriver(&lower.device, irp), STATUS_PENDING);
    if (c.cancel) {
      EXPECT_TRUE(IoCancelIrp(irp));
    } else {
      lower.CompleteHeld(c.status);
    }
    EXPECT_EQ(calls, c.invoked ? 1 : 0);
    if (c.invoked) {
      EXPECT_EQ(seen, nullptr);  // the top of the stack has no device
    }
    EXPECT_EQ(sim().verifier().Count(host::rule::kIrpCompletionRoutine), c.invoked ? 0u : 1u);
    IoFreeIrp(irp);
    EXPECT_EQ(host::CheckIrpLeaks("end"), 0u);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CompletionRoutineTest,
    ::testing::Values(
        RoutineCase{"Success", STATUS_SUCCESS, false, TRUE, TRUE, TRUE, true},
        RoutineCase{"Error", STATUS_UNSUCCESSFUL, false, TRUE, TRUE, TRUE, true},
        RoutineCase{"Cancel", STATUS_CANCELLED, true, TRUE, TRUE, TRUE, true},
        RoutineCase{"CancelOnlyByCancelFlag", STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        RoutineCase{"ErrorWithoutErrorFlag", STATUS_UNSUCCESSFUL, false, TRUE, FALSE, TRUE, false},
        RoutineCase{"SuccessWithoutSuccessFlag", STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false}),
    [](const auto& test) { return std::string(test.param.name); });

struct MisuseCase {
  const char* name;
  std::string_view rule;
  std::function<void(TestDriver&)> misuse;
};

class IrpMisuseTest : public IrpTest, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(IrpMisuseTest, IsReported) {
  ExpectFinding(GetParam().rule);
  Run([&] {
    GetParam().misuse(lower);
    EXPECT_EQ(sim().verifier().Count(GetParam().rule), 1u);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Misuses, IrpMisuseTest,
    ::testing::Values(
        MisuseCase{"FreedTwice", host::rule::kIrpDoubleFree,
                   [](TestDriver&) {
                     PIRP irp = IoAllocateIrp(1, FALSE);
                     IoFreeIrp(irp);
                     IoFreeIrp(irp);
                   }},
        MisuseCase{"CancelledAfterFree", host::rule::kIrpCancelAfterFree,
                   [](TestDriver&) {
                     PIRP irp = IoAllocateIrp(1, FALSE);
                     IoFreeIrp(irp);
                     EXPECT_FALSE(IoCancelIrp(irp));
                   }},
        MisuseCase{"CompletedTwice", host::rule::kIrpDoubleComplete,
                   [](TestDriver& lower) {
                     PIRP irp = Internal(IoAllocateIrp(1, FALSE));
                     IofCallDriver(&lower.device, irp);
                     IofCompleteRequest(irp, IO_NO_INCREMENT);
                     IoFreeIrp(irp);
                   }},
        MisuseCase{"FreedWhileOutstanding", host::rule::kIrpFreedOutstanding,
                   [](TestDriver& lower) {
                     lower.pend = true;
                     PIRP irp = Internal(IoAllocateIrp(1, FALSE));
                     IofCallDriver(&lower.device, irp);
                     IoFreeIrp(irp);                   // refused: the driver below has it
                     lower.CompleteHeld(STATUS_SUCCESS);
                     IoFreeIrp(irp);
                   }},
        MisuseCase{"NoStackLocationLeft", host::rule::kIrpNoStackLocation,
                   [](TestDriver& lower) {
                     lower.pend = true;
                     PIRP irp = Internal(IoAllocateIrp(1, FALSE));
                     IofCallDriver(&lower.device, irp);  // takes the only location
                     // Passed further down from there, it has none left.
                     EXPECT_EQ(IofCallDriver(&lower.device, irp), STATUS_INVALID_PARAMETER);
                     lower.CompleteHeld(STATUS_SUCCESS);
                     IoFreeIrp(irp);
                   }},
        MisuseCase{"NeverFreed", host::rule::kIrpLeak,
                   [](TestDriver&) {
                     IoAllocateIrp(1, FALSE);
                     EXPECT_EQ(host::CheckIrpLeaks("end"), 1u);
                   }}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(IrpTest, AllocationsAskFaultInjectionFirst) {
  Run([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    sim().faults().FailNth(sim().faults().allocations() + 1);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    sim().faults().FailNth(sim().faults().allocations() + 1);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0, TRUE,
                                            &event, &ioStatus),
              nullptr);
    EXPECT_EQ(host::LiveIrpCount(), 0u);
  });
}

TEST_F(IrpTest, CancelWithoutCancelRoutineOnlyMarksTheIrp) {
  Run([&] {
    PIRP irp = Internal(IoAllocateIrp(1, FALSE));
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
  });
}

}  // namespace
}  // namespace sirtest
