// Base relocations: the image was linked for its preferred base and is mapped wherever the host
// finds room, so every absolute address in it moves by the difference. A PE32 image has
// HIGHLOW entries (32-bit addresses), a PE32+ image DIR64 entries (64-bit addresses), either
// with ABSOLUTE padding; anything else, or an entry that fixes or yields an address outside the
// image, means a corrupted table and the image is refused.
#include <cstring>

#include "host/ldr/image_steps.h"

namespace host::ldr {
namespace {

bool Fail(std::string* error, const std::string& why) {
  *error = "corrupted base relocation: " + why;
  return false;
}

// Applies one entry at `rva`: the address there, of the image's address size, moves with the
// image.
bool Relocate(uint8_t* base, const ImageFile& file, uint32_t rva, std::string* error) {
  const uint32_t size = file.optional.sizeOfImage;
  const uint32_t width = AddressSize(file);
  if (rva > size - width) return Fail(error, "the entry for RVA " + HexText(rva) + " lies outside the image");
  uint64_t address = 0;
  std::memcpy(&address, base + rva, width);
  const uint64_t imageBase = file.optional.imageBase;
  const uint64_t target = address - imageBase;
  if (address < imageBase || target >= size) {
    return Fail(error, "the address " + HexText(address) + " at RVA " + HexText(rva) +
                           " does not point into the image (based at " + HexText(imageBase) +
                           ", " + HexText(size) + " bytes)");
  }
  const uint64_t moved = reinterpret_cast<uintptr_t>(base) + target;
  std::memcpy(base + rva, &moved, width);
  return true;
}

bool ApplyBlock(uint8_t* base, const ImageFile& file, const pe::RelocationBlock& block,
                const uint8_t* entries, std::string* error) {
  const uint16_t expected = file.wide ? pe::kRelocationDir64 : pe::kRelocationHighLow;
  const uint32_t count = (block.sizeOfBlock - sizeof block) / 2;
  for (uint32_t i = 0; i < count; i++) {
    uint16_t entry = 0;
    std::memcpy(&entry, entries + 2 * i, 2);
    const uint16_t type = entry >> 12;
    const uint32_t rva = block.pageRva + (entry & 0x0FFF);
    if (type == pe::kRelocationAbsolute) continue;
    if (type != expected) {
      return Fail(error, "entry " + std::to_string(i) + " of the block for RVA " +
                             HexText(block.pageRva) + " has type " + std::to_string(type) +
                             ", not " + (file.wide ? "DIR64" : "HIGHLOW"));
    }
    if (!Relocate(base, file, rva, error)) return false;
  }
  return true;
}

}  // namespace

bool ApplyRelocations(uint8_t* base, const ImageFile& file, std::string* error) {
  const pe::DataDirectory directory = file.optional.dataDirectory[pe::kDirectoryBaseRelocation];
  uint32_t offset = 0;
  while (offset + sizeof(pe::RelocationBlock) <= directory.size) {
    pe::RelocationBlock block{};
    std::memcpy(&block, base + directory.virtualAddress + offset, sizeof block);
    if (block.sizeOfBlock < sizeof block || block.sizeOfBlock % 2 != 0 ||
        block.sizeOfBlock > directory.size - offset || block.pageRva >= file.optional.sizeOfImage) {
      return Fail(error, "the block at offset " + HexText(offset) + " (RVA " + HexText(block.pageRva) +
                             ", " + HexText(block.sizeOfBlock) + " bytes) does not fit the image");
    }
    const uint8_t* entries = base + directory.virtualAddress + offset + sizeof block;
    if (!ApplyBlock(base, file, block, entries, error)) return false;
    offset += block.sizeOfBlock;
  }
  return true;
}

}  // namespace host::ldr
