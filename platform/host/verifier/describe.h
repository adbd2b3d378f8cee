// Internal to the host: not for driver code, tests or tools.
// Names for the verifier's messages: the routine a code address belongs to and what a data
// address is (a global, a place in a pool block, the cancel spin lock).
#pragma once

#include <cstdint>
#include <string>

namespace host::verifier {

// "Routine+0x1c" from a registered code describer or the dynamic symbol table, or
// "module+0x1234", or the bare address.
std::string DescribeCode(const void* address);
// The routine a code address belongs to without the offset ("Routine"), or the module name
// when the routine has no symbol.
std::string RoutineOf(const void* address);
// "the caller ..." suffix for messages: " (called from Routine+0x1c)", or "" without address.
std::string CalledFrom(const void* returnAddress);
// What a data address is: whatever a registered describer says of it ("the cancel spin lock",
// "offset 0x10 in pool block 0x... (tag 'Ddk ', 40 bytes)"), else a global "Name+0x8", else
// the bare address.
std::string DescribeData(const void* address);

// A subsystem's naming of the data addresses it owns: a description, or empty when the address
// is not its own. Subsystems register theirs once, at static initialisation; the describers
// are asked in turn and must be callable from any thread.
using DataDescriber = std::string (*)(const void* address);
bool RegisterDataDescriber(DataDescriber describer);

// A subsystem's naming of code the dynamic symbol table does not know (the routines of a loaded
// kernel image): the routine holding `address` and the distance from its start, or false when
// the address is not its own. Registered and asked like the data describers.
using CodeDescriber = bool (*)(const void* address, std::string* routine, uintptr_t* offset);
bool RegisterCodeDescriber(CodeDescriber describer);

}  // namespace host::verifier

// The address a host entry point returns to: the driver code that called it.
#define HOST_CALLER() __builtin_extract_return_addr(__builtin_return_address(0))
