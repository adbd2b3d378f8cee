// The one header driver code includes. It selects the home: the real NT kernel (the DDK
// headers) when TESSACOM_HOME_NT is defined by the kernel build, the user-mode host otherwise.
// Both homes offer the same routines, types and constants under the DDK's names, the DDK's
// annotations of routine contracts, and the entry checks behind them (entry_checks.h).
#pragma once

#if defined(TESSACOM_HOME_NT)
#include "nt/ddk.h"
// UTF-16 literal: WCHAR is wchar_t (16 bits) in the kernel.
#define TXT(s) L##s
#else
#include "host/ddk.h"
// UTF-16 literal: WCHAR is char16_t in the host, where wchar_t is 32 bits.
#define TXT(s) u##s
#endif

#include "entry_checks.h"
