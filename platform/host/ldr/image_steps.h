// Private to platform/host/ldr.
// The steps of loading an image, in the order the loader takes them: map, relocate, bind the
// imports, protect; and the reading of its symbols. Each step that can fail returns false with
// *error naming what it refused. Private to the image loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ldr/image.h"
#include "host/ldr/image_file.h"

namespace host::ldr {

// Reserves the image's memory, zero-filled and writable, and copies in the headers and the
// data of each section. Null, with *error set, when the memory cannot be had.
uint8_t* MapImage(const ImageFile& file, std::string* error);
void UnmapImage(uint8_t* base, uint32_t size);

// Applies the base relocations for the image mapped at `base`. Every entry is checked before
// it is applied: its type must be one a 32-bit image uses, and the address it fixes must lie in
// the image both where it is and where it points.
bool ApplyRelocations(uint8_t* base, const ImageFile& file, std::string* error);

// Fills every import address slot with the host's routine of that module and name (or
// ordinal). Refuses an image with any import the host cannot bind, naming each one.
bool BindImports(uint8_t* base, const ImageFile& file, std::string* error);

// Makes the headers read-only and gives each section the access its characteristics ask for.
bool ProtectImage(uint8_t* base, const ImageFile& file, std::string* error);

// The named symbols of the image's COFF symbol table, by address, with their names as the
// source spells them.
std::vector<ImageSymbol> ReadImageSymbols(const ImageFile& file);

}  // namespace host::ldr
