// The records of a PE32 or PE32+ image file as the loader reads them: the MS-DOS stub header,
// the file and optional headers, section headers, data directories, base relocation blocks,
// import descriptors and COFF symbols. Little-endian, byte-exact. Private to the image loader.
#pragma once

#include <cstdint>

namespace host::ldr::pe {

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kOptionalMagicPe32Plus = 0x020B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kCharacteristicExecutable = 0x0002;

// Data directory indices.
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryBaseRelocation = 5;
constexpr int kDirectoryCount = 16;

// Section characteristics.
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Base relocation types: padding, a 32-bit image's address, a 64-bit image's address.
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationHighLow = 3;
constexpr uint16_t kRelocationDir64 = 10;

// The flag of an import by ordinal in a lookup entry of a PE32 and of a PE32+ image.
constexpr uint32_t kImportByOrdinal = 0x80000000u;
constexpr uint64_t kImportByOrdinal64 = 0x8000000000000000u;

#pragma pack(push, 1)
struct DosHeader {
  uint16_t magic;
  uint16_t unused[29];
  int32_t newHeaderOffset;  // e_lfanew: where the PE signature is
};

struct FileHeader {
  uint16_t machine;
  uint16_t numberOfSections;
  uint32_t timeDateStamp;
  uint32_t pointerToSymbolTable;
  uint32_t numberOfSymbols;
  uint16_t sizeOfOptionalHeader;
  uint16_t characteristics;
};

struct DataDirectory {
  uint32_t virtualAddress;
  uint32_t size;
};

struct OptionalHeader32 {
  uint16_t magic;
  uint8_t majorLinkerVersion;
  uint8_t minorLinkerVersion;
  uint32_t sizeOfCode;
  uint32_t sizeOfInitializedData;
  uint32_t sizeOfUninitializedData;
  uint32_t addressOfEntryPoint;
  uint32_t baseOfCode;
  uint32_t baseOfData;
  uint32_t imageBase;
  uint32_t sectionAlignment;
  uint32_t fileAlignment;
  uint16_t osVersion[2];
  uint16_t imageVersion[2];
  uint16_t subsystemVersion[2];
  uint32_t win32VersionValue;
  uint32_t sizeOfImage;
  uint32_t sizeOfHeaders;
  uint32_t checkSum;
  uint16_t subsystem;
  uint16_t dllCharacteristics;
  uint32_t stackAndHeapSizes[4];
  uint32_t loaderFlags;
  uint32_t numberOfRvaAndSizes;
  DataDirectory dataDirectory[kDirectoryCount];
};

struct OptionalHeader64 {
  uint16_t magic;
  uint8_t majorLinkerVersion;
  uint8_t minorLinkerVersion;
  uint32_t sizeOfCode;
  uint32_t sizeOfInitializedData;
  uint32_t sizeOfUninitializedData;
  uint32_t addressOfEntryPoint;
  uint32_t baseOfCode;
  uint64_t imageBase;
  uint32_t sectionAlignment;
  uint32_t fileAlignment;
  uint16_t osVersion[2];
  uint16_t imageVersion[2];
  uint16_t subsystemVersion[2];
  uint32_t win32VersionValue;
  uint32_t sizeOfImage;
  uint32_t sizeOfHeaders;
  uint32_t checkSum;
  uint16_t subsystem;
  uint16_t dllCharacteristics;
  uint64_t stackAndHeapSizes[4];
  uint32_t loaderFlags;
  uint32_t numberOfRvaAndSizes;
  DataDirectory dataDirectory[kDirectoryCount];
};

struct SectionHeader {
  char name[8];
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t sizeOfRawData;
  uint32_t pointerToRawData;
  uint32_t pointerToRelocations;
  uint32_t pointerToLinenumbers;
  uint16_t numberOfRelocations;
  uint16_t numberOfLinenumbers;
  uint32_t characteristics;
};

struct RelocationBlock {
  uint32_t pageRva;
  uint32_t sizeOfBlock;  // header included; followed by 16-bit entries: type << 12 | offset
};

struct ImportDescriptor {
  uint32_t lookupTableRva;  // OriginalFirstThunk; 0 in some images: the address table is read
  uint32_t timeDateStamp;
  uint32_t forwarderChain;
  uint32_t nameRva;
  uint32_t addressTableRva;  // FirstThunk: the slots the loader fills
};

struct CoffSymbol {
  union {
    char shortName[8];
    struct {
      uint32_t zeroes;  // 0 when the name is in the string table
      uint32_t stringOffset;
    } longName;
  } name;
  uint32_t value;  // offset within the section
  int16_t sectionNumber;  // from 1; 0 undefined, negative for absolute and debug symbols
  uint16_t type;
  uint8_t storageClass;
  uint8_t numberOfAuxSymbols;
};
#pragma pack(pop)

// What the loader takes from either optional header.
struct OptionalHeader {
  uint16_t magic;
  uint32_t addressOfEntryPoint;
  uint64_t imageBase;
  uint32_t sectionAlignment;
  uint32_t sizeOfImage;
  uint32_t sizeOfHeaders;
  uint16_t subsystem;
  uint32_t numberOfRvaAndSizes;
  DataDirectory dataDirectory[kDirectoryCount];
};

static_assert(sizeof(DosHeader) == 64);
static_assert(sizeof(FileHeader) == 20);
static_assert(sizeof(OptionalHeader32) == 224);
static_assert(sizeof(OptionalHeader64) == 240);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ImportDescriptor) == 20);
static_assert(sizeof(CoffSymbol) == 18);

constexpr uint8_t kSymbolClassExternal = 2;
constexpr uint8_t kSymbolClassStatic = 3;

}  // namespace host::ldr::pe
