// The image's memory: reserved anonymous pages, filled from the file, protected per section.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/ldr/image_steps.h"

namespace host::ldr {
namespace {

uint32_t PageRound(uint32_t bytes) {
  const uint32_t page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

int Protection(uint32_t characteristics) {
  int protection = PROT_NONE;
  if (characteristics & pe::kSectionRead) protection |= PROT_READ;
  if (characteristics & pe::kSectionWrite) protection |= PROT_WRITE;
  if (characteristics & pe::kSectionExecute) protection |= PROT_EXEC | PROT_READ;
  return protection;
}

}  // namespace

uint8_t* MapImage(const ImageFile& file, std::string* error) {
  void* memory = mmap(nullptr, file.optional.sizeOfImage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    *error = std::string("cannot map the image: ") + std::strerror(errno);
    return nullptr;
  }
  auto* base = static_cast<uint8_t*>(memory);
  std::memcpy(base, file.bytes.data(), file.optional.sizeOfHeaders);
  for (const pe::SectionHeader& section : file.sections) {
    const uint32_t bytes = std::min(section.sizeOfRawData, SectionSpan(section));
    std::memcpy(base + section.virtualAddress, file.bytes.data() + section.pointerToRawData, bytes);
  }
  return base;
}

void UnmapImage(uint8_t* base, uint32_t size) {
  if (base != nullptr) munmap(base, size);
}

bool ProtectImage(uint8_t* base, const ImageFile& file, std::string* error) {
  bool ok = mprotect(base, PageRound(file.optional.sizeOfHeaders), PROT_READ) == 0;
  for (const pe::SectionHeader& section : file.sections) {
    if (!ok) break;
    ok = mprotect(base + section.virtualAddress, PageRound(SectionSpan(section)),
                  Protection(section.characteristics)) == 0;
  }
  if (!ok) *error = std::string("cannot protect the image's pages: ") + std::strerror(errno);
  return ok;
}

}  // namespace host::ldr
