// The host's I/O manager: IRP allocation, the stack of locations, calling a driver,
// completion with its completion routines, cancellation, and the verifier's IRP checks.
// The calls run on any simulated thread; completion routines run on the thread that
// completes the IRP, at its IRQL.
//
// Every IRP is tracked from allocation to free. Freed IRPs stay in quarantine until the
// simulation ends, so that a late use of one is reported and never touches live memory.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "platform/kernel.h"

namespace host {

namespace rule {
inline constexpr std::string_view kIrpDoubleFree = "irp.double_free";
inline constexpr std::string_view kIrpCancelAfterFree = "irp.cancel_after_free";
inline constexpr std::string_view kIrpDoubleComplete = "irp.double_complete";
// Freed while a driver below still holds it: its owner let go of a request in flight.
inline constexpr std::string_view kIrpFreedOutstanding = "irp.freed_while_outstanding";
// A completion routine set for the request was passed over or ran more than once.
inline constexpr std::string_view kIrpCompletionRoutine = "irp.completion_routine_not_once";
inline constexpr std::string_view kIrpUnknown = "irp.unknown";
inline constexpr std::string_view kIrpNoStackLocation = "irp.no_stack_location";
inline constexpr std::string_view kIrpSentTwice = "irp.sent_while_outstanding";
inline constexpr std::string_view kIrpLeak = "irp.leak";
}  // namespace rule

// A driver that holds a pended IRP sets a cancel routine on it; IoCancelIrp takes the
// routine off the IRP and calls it once (a real IRP carries a pointer to one).
using IrpCancelRoutine = std::function<void(PIRP irp)>;
void SetIrpCancelRoutine(PIRP irp, IrpCancelRoutine routine);
// Takes the cancel routine off; false when there was none (IoCancelIrp may have taken it).
bool ClearIrpCancelRoutine(PIRP irp);

// Runs at the start of every IoCancelIrp, before the IRP is looked at: a test stands in
// for another processor that completes the same request at that very moment.
void SetBeforeCancelHook(std::function<void(PIRP irp)> hook);

// True while the IRP is allocated and not freed.
bool IsLiveIrp(const IRP* irp);
std::size_t LiveIrpCount();
// Reports every IRP still allocated as a leak (whether a driver still holds it or not);
// returns how many.
std::size_t CheckIrpLeaks(const char* checkpoint);

}  // namespace host
