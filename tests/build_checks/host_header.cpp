// Compiled with the driver's flags, this must fail: the driver cannot reach the host.
#include "host/kernel/simulation.h"
