// A kernel image file (PE32 for i386, PE32+ for x64) as read from disk, with its headers
// checked: what the loader maps, relocates and binds. Private to the image loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ldr/pe_format.h"

namespace host::ldr {

struct ImageFile {
  std::string name;  // for messages: the file name without its directory
  std::vector<uint8_t> bytes;
  pe::FileHeader header{};
  pe::OptionalHeader optional{};
  bool wide = false;  // PE32+: 64-bit addresses in relocations and import entries
  std::vector<pe::SectionHeader> sections;
};

// Reads the headers of `file.bytes` into `file` and checks that they describe a native image
// of the kind this host runs (PE32 for i386 in the 32-bit host, PE32+ for x64 in the x64 image
// host) whose sections, directories and entry point lie within the image and the file. On
// failure returns false with *error naming the first fault.
bool ReadImageHeaders(ImageFile& file, std::string* error);

// "0x1f": numbers in the loader's messages.
std::string HexText(uint64_t value);
// The size of an address in the image: 8 bytes in a PE32+ image, 4 in a PE32 one.
inline uint32_t AddressSize(const ImageFile& file) { return file.wide ? 8 : 4; }
// A section's name (".text") for messages.
std::string SectionName(const pe::SectionHeader& section);
// The section holding `rva`, or null.
const pe::SectionHeader* SectionAt(const ImageFile& file, uint32_t rva);
// Bytes a section occupies in memory.
uint32_t SectionSpan(const pe::SectionHeader& section);

}  // namespace host::ldr
