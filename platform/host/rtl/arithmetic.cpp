// 64-bit arithmetic helpers of the run-time library.
#include "kernel.h"

extern "C" {

// Signed 64-by-32-bit multiply; the product wraps modulo 2^64 as the kernel's does.
LARGE_INTEGER NTAPI RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier) {
  LARGE_INTEGER product;
  product.QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(Multiplicand.QuadPart) *
                                           static_cast<ULONGLONG>(static_cast<LONGLONG>(Multiplier)));
  return product;
}

}  // extern "C"
