// The host's I/O manager: buffered requests through a driver's dispatch entries, the copy
// back of Information bytes, pended requests, and its checks.
#include "host/io/io_manager.h"
#include "host/kernel/irp.h"
#include "tests/support/sim_test.h"

namespace sirtest {
namespace {

// What the test driver's dispatch routine does with the request it gets.
struct Behaviour {
  ULONG_PTR information = 0;
  bool pend = false;      // completes it later from the completion context
  bool complete = true;   // false: returns without completing it
  std::vector<UCHAR> seenInput;
  UCHAR seenMajor = 0xFF;
};
Behaviour* behaviour = nullptr;

NTSTATUS TestDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  behaviour->seenMajor = stack->MajorFunction;
  auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  behaviour->seenInput.assign(system, system + in);
  for (ULONG i = 0; i < out; ++i) system[i] = static_cast<UCHAR>(0xA0 + i);  // the reply
  irp->IoStatus.Information = behaviour->information;
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (!behaviour->complete) return STATUS_SUCCESS;
  if (behaviour->pend) {
    host::Simulation::Current().ScheduleAfter(host::kMillisecond, [irp] {
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class IoManager : public SimTest {};

TEST_F(IoManager, BufferedRequestsCopyBackInformationBytes) {
  struct Case {
    const char* name;
    std::vector<UCHAR> input;
    ULONG outputLength;
    ULONG_PTR information;
    bool pend;
    std::vector<UCHAR> output;
  };
  const std::vector<Case> cases = {
      {"reply shorter than the buffer", {1, 2, 3}, 4, 2, false, {0xA0, 0xA1, 0, 0}},
      {"input longer than the output", {1, 2, 3, 4, 5}, 2, 2, false, {0xA0, 0xA1}},
      {"no output buffer: nothing copied", {1}, 0, 0x20010110, false, {}},
      {"pended, completed later", {9}, 1, 1, true, {0xA0}},
  };
  Run([&] {
    host::io::Driver driver;
    driver.object()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDispatch;
    PDEVICE_OBJECT device = driver.CreateDevice();
    for (const Case& each : cases) {
      SCOPED_TRACE(each.name);
      Behaviour test;
      test.information = each.information;
      test.pend = each.pend;
      behaviour = &test;
      host::io::IoResult result = host::io::DeviceControl(device, 0x220008, each.input,
                                                          each.outputLength);
      EXPECT_EQ(test.seenMajor, IRP_MJ_DEVICE_CONTROL);
      EXPECT_EQ(test.seenInput, each.input);
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.information, each.information);
      EXPECT_EQ(result.output, each.output);
    }
    EXPECT_EQ(host::LiveIrpCount(), 0u);
  });
}

TEST_F(IoManager, ReportsAnInformationBeyondTheOutputBufferAndCopiesNoMore) {
  ExpectFinding(host::rule::kIoInformationOverrun);
  Run([&] {
    host::io::Driver driver;
    driver.object()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDispatch;
    Behaviour test;
    test.information = 8;
    behaviour = &test;
    host::io::IoResult result = host::io::DeviceControl(driver.CreateDevice(), 0x220008, {1}, 2);
    EXPECT_EQ(result.output, (std::vector<UCHAR>{0xA0, 0xA1}));
    EXPECT_EQ(sim().verifier().Count(host::rule::kIoInformationOverrun), 1u);
  });
}

TEST_F(IoManager, ReportsARequestLeftUncompleted) {
  ExpectFinding(host::rule::kIoNotCompleted);
  ExpectFinding(host::rule::kIrpLeak);
  Run([&] {
    host::io::Driver driver;
    driver.object()->MajorFunction[IRP_MJ_CREATE] = TestDispatch;
    Behaviour test;
    test.complete = false;
    behaviour = &test;
    host::io::Create(driver.CreateDevice());
    EXPECT_EQ(test.seenMajor, IRP_MJ_CREATE);
    EXPECT_EQ(sim().verifier().Count(host::rule::kIoNotCompleted), 1u);
  });
}

}  // namespace
}  // namespace sirtest
