// Compiled with the driver's flags: the platform headers stand on their own.
#include "platform/access_once.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "platform/usb.h"
