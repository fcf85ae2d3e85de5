// Debugger output and the WDM version query.
#include <cstdarg>
#include <cstdio>

#include "host/kernel/simulation.h"
#include "platform/kernel.h"

extern "C" {

ULONG DbgPrint(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char text[1024];
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  host::Simulation::Current().debugLog().Append(text);
  return STATUS_SUCCESS;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion) {
  return host::Simulation::Current().IsWdmVersionAvailable(majorVersion, minorVersion) ? TRUE
                                                                                       : FALSE;
}

}  // extern "C"
