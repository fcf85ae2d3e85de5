// The bridge's serial line set-up: line coding (rate and character format) and the RTS
// and DTR control lines, each sent as a class request to interface 0 and waited for
// (PASSIVE_LEVEL); and the status accessors that media-busy detection uses (any level).
#pragma once

#include "bridge/bridge_device.h"

NTSTATUS SetBaudRate(BridgeHandle bridge, ULONG rate);
NTSTATUS SetLineFormat(BridgeHandle bridge, UCHAR stopBits, UCHAR parity, UCHAR dataBits);

NTSTATUS SetControlLines(BridgeHandle bridge, BOOLEAN rts, BOOLEAN dtr);
NTSTATUS SetDtr(BridgeHandle bridge);
NTSTATUS ClearDtr(BridgeHandle bridge);
NTSTATUS SetRts(BridgeHandle bridge);
NTSTATUS ClearRts(BridgeHandle bridge);
// Sends the set-control-line-state request with this wValue. Callers have checked the
// handle; refuses only null.
NTSTATUS SendControlLineState(BridgeDevice* bridge, USHORT value);

// Copies the last serial-state word and the bulk completion counts.
NTSTATUS GetBridgeStatus(BridgeHandle bridge, PUSHORT lineStatus, PULONG inCompletions,
                         PULONG outCompletions);
// Zeroes them. Answers STATUS_SUCCESS for the failure sentinel, doing nothing.
NTSTATUS ClearBridgeStatus(BridgeHandle bridge);
