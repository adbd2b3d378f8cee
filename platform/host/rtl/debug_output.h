// The text the driver wrote with DbgPrint, kept by the host for tests and programs. Each call
// is also echoed to standard error when the environment variable TESSACOM_DBGPRINT is 1.
#pragma once

#include <string>

namespace host::rtl {

// Everything printed since the last ClearDebugOutput (the oldest text is dropped past 1 MiB).
std::string DebugOutput();
void ClearDebugOutput();

}  // namespace host::rtl
