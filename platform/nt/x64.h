// What the x64 kernel offers differently from the i386 one, where driver code spells the i386
// names. The x64 HAL exports no fastcall spin-lock routines: a spin lock is taken with
// KeAcquireSpinLockRaiseToDpc and given back with KeReleaseSpinLock, which have the same
// arguments, results and IRQL rules. (KeQuerySystemTime is the DDK's inline read of the shared
// user page there, and KfLowerIrql and KeGetCurrentIrql inline writes and reads of CR8, which
// the driver does not use.) Included only through platform/nt/ddk.h.
#pragma once

#define KfAcquireSpinLock KeAcquireSpinLockRaiseToDpc
#define KfReleaseSpinLock KeReleaseSpinLock
