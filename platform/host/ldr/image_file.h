// A PE32 kernel image file as read from disk, with its headers checked: what the loader maps,
// relocates and binds. Private to the image loader.
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
  pe::OptionalHeader32 optional{};
  std::vector<pe::SectionHeader> sections;
};

// Reads the headers of `file.bytes` into `file` and checks that they describe a PE32 native
// image for i386 whose sections, directories and entry point lie within the image and the
// file. On failure returns false with *error naming the first fault.
bool ReadImageHeaders(ImageFile& file, std::string* error);

// "0x1f": numbers in the loader's messages.
std::string HexText(uint32_t value);
// A section's name (".text") for messages.
std::string SectionName(const pe::SectionHeader& section);
// The section holding `rva`, or null.
const pe::SectionHeader* SectionAt(const ImageFile& file, uint32_t rva);
// Bytes a section occupies in memory.
uint32_t SectionSpan(const pe::SectionHeader& section);

}  // namespace host::ldr
