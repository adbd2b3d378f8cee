// The real kernel's interface: the DDK headers shipped with mingw-w64, included in C linkage.
// The two interlocked bit-test intrinsics are defined away on the command line (wdm.h and
// intrin.h collide on them in C++). Included only through platform/kernel.h.
#pragma once

extern "C" {
#include <ntddk.h>
#include <ntddser.h>
#include <tdikrnl.h>
}

// Exported by the kernel but declared only by ntifs.h, which does not combine with ntddk.h.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                        PLARGE_INTEGER Timeout);

// The calling convention of the kernel's variadic routines (DbgPrint), named alike in both homes.
#define KERNEL_CDECL __cdecl

#if defined(_M_AMD64)
#include "nt/x64.h"
#endif
