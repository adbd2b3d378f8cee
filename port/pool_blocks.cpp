#include "port/pool_blocks.h"

PVOID AllocateZeroed(POOL_TYPE pool, ULONG bytes) {
  PVOID block = ExAllocatePoolWithTag(pool, bytes, POOL_TAG);
  if (block != NULL) RtlZeroMemory(block, bytes);
  return block;
}

VOID FreeBlock(PVOID* block) {
  if (*block != NULL) ExFreePool(*block);
  *block = NULL;
}

BOOLEAN AllocateString(PUNICODE_STRING string, POOL_TYPE pool, USHORT capacity) {
  string->Buffer = (PWSTR)AllocateZeroed(pool, capacity);
  string->Length = 0;
  string->MaximumLength = (USHORT)(capacity - sizeof(WCHAR));
  return (BOOLEAN)(string->Buffer != NULL);
}

VOID FreeString(PUNICODE_STRING string) { FreeBlock((PVOID*)&string->Buffer); }
