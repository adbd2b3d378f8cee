// Names for the verifier's messages: the routine a code address belongs to and what a data
// address is (a global, a place in a pool block, the cancel spin lock). Host-private.
#pragma once

#include <string>

namespace host::verifier {

// "Routine+0x1c" from the dynamic symbol table, or "module+0x1234", or the bare address.
std::string DescribeCode(const void* address);
// The routine a code address belongs to without the offset ("Routine"), or the module name
// when the routine has no dynamic symbol.
std::string RoutineOf(const void* address);
// "the caller ..." suffix for messages: " (called from Routine+0x1c)", or "" without address.
std::string CalledFrom(const void* returnAddress);
// What a data address is: the cancel spin lock, "offset 0x10 in pool block 0x... (tag 'Ddk ',
// 40 bytes)", a global "Name+0x8", or the bare address.
std::string DescribeData(const void* address);

}  // namespace host::verifier

// The address a host entry point returns to: the driver code that called it.
#define HOST_CALLER() __builtin_extract_return_addr(__builtin_return_address(0))
