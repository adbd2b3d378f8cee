// Internal to the host: not for driver code, tests or tools.
// The processor region behind GS. x64 kernel code finds the current thread at gs:0x188 (the
// DDK's inline KeGetCurrentThread); the x64 image host gives every thread that runs image code
// a region of its own there. The other hosts run no x64 code: there it is nothing.
#pragma once

namespace host::ke::detail {

#if defined(TESSACOM_X64_IMAGE_HOST)
// Gives the calling thread its region, whose current-thread slot holds the thread's KTHREAD
// (KeGetCurrentThread's answer: a system thread's own, once its thread object is set). Called
// wherever a thread is about to run image code: system threads, deferred calls, dispatch,
// completion and cancel routines, the driver's entry and unload. Any thread, any IRQL; after
// the first call on a thread it costs a thread-local test.
void EnterProcessorRegion();
#else
inline void EnterProcessorRegion() {}
#endif

}  // namespace host::ke::detail
