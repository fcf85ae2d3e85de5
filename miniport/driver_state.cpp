// The driver-wide adapter state.
#include "miniport/ir_device.h"

LIST_ENTRY adapterList;
KSPIN_LOCK adapterListLock;
IrDevice* currentAdapter;
