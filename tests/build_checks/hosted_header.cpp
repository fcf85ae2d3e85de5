// Compiled with the driver's flags, this must fail: the driver has no standard library.
#include <cstring>
