// Pool blocks and counted strings the driver allocates, all with the driver's pool tag.
#pragma once

#include "port/port_record.h"

// A zeroed block, or null.
PVOID AllocateZeroed(POOL_TYPE pool, ULONG bytes);
// Frees the block (if any) and clears the pointer.
VOID FreeBlock(PVOID* block);

// An empty counted string of the given capacity in bytes, zeroed, with room for a terminating
// zero past its MaximumLength; FALSE (and no buffer) when the pool has none.
BOOLEAN AllocateString(PUNICODE_STRING string, POOL_TYPE pool, USHORT capacity);
VOID FreeString(PUNICODE_STRING string);
