// Private to platform/host/ldr.
// The shared user page as x64 kernel code reads it: the DDK's inline KeQuerySystemTime reads
// the system time at 0xFFFFF78000000014, an address user mode cannot reach. The x64 image host
// answers that read from the host clock in a fault handler; any other fault goes on untouched
// to the handler that was there before (the sanitizers', or the default one).
#pragma once

#include <cstdint>

namespace host::ldr {

// The system time's place in the shared user page (KUSER_SHARED_DATA.SystemTime).
constexpr uint64_t kSharedSystemTime = 0xFFFFF78000000014ULL;

// Installs the fault handler, once per process; the x64 image host calls it before it runs an
// image. Elsewhere it does nothing.
void AnswerSharedUserPageReads();

}  // namespace host::ldr
