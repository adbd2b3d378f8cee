// Reading and checking the headers of a kernel image file, PE32 or PE32+.
#include "host/ldr/image_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace host::ldr {
namespace {

constexpr uint32_t kLargestImage = 64u << 20;

template <typename Record>
bool ReadRecord(const ImageFile& file, uint64_t offset, Record* record) {
  if (offset + sizeof(Record) > file.bytes.size()) return false;
  std::memcpy(record, file.bytes.data() + offset, sizeof(Record));
  return true;
}

// Reads the optional header at `offset`, PE32 or PE32+ as its magic says, into the loader's
// view of it. False when it is cut short.
template <typename Header>
bool ReadOptionalAs(ImageFile& file, uint64_t offset) {
  Header header{};
  if (file.header.sizeOfOptionalHeader < sizeof header || !ReadRecord(file, offset, &header)) return false;
  file.optional = pe::OptionalHeader{header.magic, header.addressOfEntryPoint, header.imageBase,
                                     header.sectionAlignment, header.sizeOfImage,
                                     header.sizeOfHeaders, header.subsystem,
                                     header.numberOfRvaAndSizes, {}};
  std::memcpy(file.optional.dataDirectory, header.dataDirectory, sizeof header.dataDirectory);
  return true;
}

bool ReadOptionalHeader(ImageFile& file, uint64_t offset) {
  uint16_t magic = 0;
  if (!ReadRecord(file, offset, &magic)) return false;
  file.wide = magic == pe::kOptionalMagicPe32Plus;
  return file.wide ? ReadOptionalAs<pe::OptionalHeader64>(file, offset)
                   : ReadOptionalAs<pe::OptionalHeader32>(file, offset);
}

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

// The image kind this host runs: the machine of its kernel and that kind's optional header.
struct HostKind {
  uint16_t machine;
  uint16_t magic;
  const char* name;
};
#if defined(__i386__)
constexpr HostKind kHostKind{pe::kMachineI386, pe::kOptionalMagicPe32, "i386 (PE32)"};
#elif defined(TESSACOM_X64_IMAGE_HOST)
constexpr HostKind kHostKind{pe::kMachineAmd64, pe::kOptionalMagicPe32Plus, "x64 (PE32+)"};
#else
constexpr HostKind kHostKind{0, 0, "none"};
#endif

std::string MachineName(uint16_t machine) {
  return machine == pe::kMachineI386    ? "i386"
         : machine == pe::kMachineAmd64 ? "x64"
                                        : "machine " + HexText(machine);
}

bool CheckKind(const ImageFile& file, std::string* error) {
  const pe::OptionalHeader& optional = file.optional;
  if (file.header.machine != kHostKind.machine) {
    const std::string runs = kHostKind.machine == 0 ? "its compiled-in driver, no kernel image"
                                                    : std::string(kHostKind.name) + " images";
    return Fail(error, "the image is for " + MachineName(file.header.machine) +
                           ", and this host runs " + runs +
                           " (i386 images: the host-i386 preset; x64: host-x64-image)");
  }
  if ((file.header.characteristics & pe::kCharacteristicExecutable) == 0) {
    return Fail(error, "the file is not marked executable (an object file, or a failed link)");
  }
  if (optional.magic != kHostKind.magic) {
    return Fail(error, "optional header magic " + HexText(optional.magic) + " is not " +
                           (kHostKind.magic == pe::kOptionalMagicPe32 ? "PE32" : "PE32+"));
  }
  if (optional.subsystem != pe::kSubsystemNative) {
    return Fail(error, "subsystem " + std::to_string(optional.subsystem) + " is not native");
  }
  const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
  if (optional.sectionAlignment == 0 || optional.sectionAlignment % page != 0) {
    return Fail(error, "section alignment " + HexText(optional.sectionAlignment) +
                           " is not a multiple of the page size");
  }
  if (optional.sizeOfImage == 0 || optional.sizeOfImage > kLargestImage ||
      optional.sizeOfHeaders > optional.sizeOfImage || optional.sizeOfHeaders > file.bytes.size()) {
    return Fail(error, "image size " + HexText(optional.sizeOfImage) + " or header size " +
                           HexText(optional.sizeOfHeaders) + " is out of range");
  }
  return true;
}

bool CheckSection(const ImageFile& file, const pe::SectionHeader& section, std::string* error) {
  const uint64_t end = uint64_t{section.virtualAddress} + SectionSpan(section);
  if (section.virtualAddress % file.optional.sectionAlignment != 0 ||
      section.virtualAddress < file.optional.sizeOfHeaders || end > file.optional.sizeOfImage) {
    return Fail(error, "section " + SectionName(section) + " (RVA " + HexText(section.virtualAddress) +
                           ", " + HexText(SectionSpan(section)) + " bytes) lies outside the image");
  }
  if (uint64_t{section.pointerToRawData} + section.sizeOfRawData > file.bytes.size()) {
    return Fail(error, "the data of section " + SectionName(section) + " lies outside the file");
  }
  return true;
}

bool CheckLayout(const ImageFile& file, std::string* error) {
  for (const pe::SectionHeader& section : file.sections) {
    if (!CheckSection(file, section, error)) return false;
  }
  for (int i = 0; i < pe::kDirectoryCount && i < static_cast<int>(file.optional.numberOfRvaAndSizes); i++) {
    const pe::DataDirectory& directory = file.optional.dataDirectory[i];
    if (uint64_t{directory.virtualAddress} + directory.size > file.optional.sizeOfImage) {
      return Fail(error, "data directory " + std::to_string(i) + " lies outside the image");
    }
  }
  const pe::SectionHeader* entry = SectionAt(file, file.optional.addressOfEntryPoint);
  if (entry == nullptr || (entry->characteristics & pe::kSectionExecute) == 0) {
    return Fail(error, "the entry point (RVA " + HexText(file.optional.addressOfEntryPoint) +
                           ") is not in an executable section");
  }
  return true;
}

}  // namespace

std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string SectionName(const pe::SectionHeader& section) {
  return std::string(section.name, strnlen(section.name, sizeof section.name));
}

uint32_t SectionSpan(const pe::SectionHeader& section) {
  return section.virtualSize != 0 ? section.virtualSize : section.sizeOfRawData;
}

const pe::SectionHeader* SectionAt(const ImageFile& file, uint32_t rva) {
  for (const pe::SectionHeader& section : file.sections) {
    if (rva >= section.virtualAddress && rva - section.virtualAddress < SectionSpan(section)) {
      return &section;
    }
  }
  return nullptr;
}

bool ReadImageHeaders(ImageFile& file, std::string* error) {
  pe::DosHeader dos{};
  uint32_t signature = 0;
  if (!ReadRecord(file, 0, &dos) || dos.magic != pe::kDosMagic) {
    return Fail(error, "not a PE image: no MZ header");
  }
  const uint64_t at = static_cast<uint32_t>(dos.newHeaderOffset);
  if (!ReadRecord(file, at, &signature) || signature != pe::kPeSignature) {
    return Fail(error, "not a PE image: no PE signature at " + HexText(static_cast<uint32_t>(at)));
  }
  if (!ReadRecord(file, at + 4, &file.header) ||
      !ReadOptionalHeader(file, at + 4 + sizeof(pe::FileHeader))) {
    return Fail(error, "the PE headers are cut short");
  }
  if (!CheckKind(file, error)) return false;
  const uint64_t sections = at + 4 + sizeof(pe::FileHeader) + file.header.sizeOfOptionalHeader;
  file.sections.resize(file.header.numberOfSections);
  for (uint16_t i = 0; i < file.header.numberOfSections; i++) {
    if (!ReadRecord(file, sections + i * sizeof(pe::SectionHeader), &file.sections[i])) {
      return Fail(error, "the section table is cut short");
    }
  }
  return CheckLayout(file, error);
}

}  // namespace host::ldr
