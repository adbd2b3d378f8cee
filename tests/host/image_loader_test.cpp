// The image loader against the shipped tessacom.sys (the image the suites run: i386 in the
// 32-bit host, x64 in the x64 image host): mapped with its relocations applied, its imports
// bound by name and by ordinal, its pages protected and its routines named, also in the
// verifier's stops; and refused, with the cause named, when an import cannot be bound (the
// other kernel's routines included), a relocation is corrupted or the image is of the other
// kind.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "host/ldr/image.h"
#include "host/ldr/image_file.h"
#include "host/ldr/kernel_exports.h"
#include "host/session/unload_checks.h"
#include "support/driver_under_test.h"
#include "support/executive_session.h"
#include "support/live_link.h"

using host::ldr::ImageFile;
using host::ldr::LoadImage;

namespace {

// The shipped image's bytes, with what the tests need to patch them.
struct ShippedImage {
  ImageFile file;

  ShippedImage() {
    std::ifstream in(testsupport::ImageUnderTest(), std::ios::binary);
    file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string error;
    if (!host::ldr::ReadImageHeaders(file, &error)) throw std::runtime_error(error);
  }
  uint32_t Word(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, file.bytes.data() + offset, 4);
    return value;
  }
  // Writes an address-sized value (a lookup entry, an address to relocate).
  void SetAddress(size_t offset, uint64_t value) { std::memcpy(file.bytes.data() + offset, &value, host::ldr::AddressSize(file)); }
  // The first base relocation block's page and the file offset of its first entry's target.
  uint32_t FirstRelocatedPage() const { return Word(FileOffset(file.optional.dataDirectory[5].virtualAddress)); }
  size_t FirstRelocatedAddress() const {
    const size_t block = FileOffset(file.optional.dataDirectory[5].virtualAddress);
    return FileOffset(FirstRelocatedPage() + ((file.bytes[block + 8] | file.bytes[block + 9] << 8) & 0x0FFF));
  }
  size_t FileOffset(uint32_t rva) const {
    const auto* section = host::ldr::SectionAt(file, rva);
    return section->pointerToRawData + (rva - section->virtualAddress);
  }
  uint32_t Rva(size_t offset) const {
    for (const auto& s : file.sections) {
      if (offset >= s.pointerToRawData && offset < s.pointerToRawData + s.sizeOfRawData) {
        return static_cast<uint32_t>(s.virtualAddress + (offset - s.pointerToRawData));
      }
    }
    throw std::runtime_error("offset outside every section");
  }
  // The RVA of the hint/name entry of an imported routine.
  uint32_t ImportNameRva(const std::string& name) const {
    const std::string text = name + '\0';
    auto at = std::search(file.bytes.begin(), file.bytes.end(), text.begin(), text.end());
    if (at == file.bytes.end()) throw std::runtime_error(name + " is not imported");
    return Rva(at - file.bytes.begin()) - 2;
  }
  // Renames an imported routine in place; the new name may not be longer.
  void RenameImport(const std::string& from, const std::string& to) {
    std::memcpy(file.bytes.data() + FileOffset(ImportNameRva(from)) + 2, to.c_str(), to.size() + 1);
  }
  // File offsets of the two words naming an import (lookup table and address table).
  std::vector<size_t> ImportWords(const std::string& name) const {
    std::vector<size_t> words;
    const uint32_t rva = ImportNameRva(name);
    for (size_t at = 0; at + 4 <= file.bytes.size(); at += 4) {
      if (Word(at) == rva) words.push_back(at);
    }
    return words;
  }
  std::unique_ptr<host::ldr::Image> Load(std::string* error) const { return LoadImage(file.bytes, "tessacom.sys", error); }
};

class ImageLoaderManual : public testsupport::ManualExecutive {};

std::string Protection(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    uintptr_t begin = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%zx-%zx %4s", &begin, &end, perms) == 3 && at >= begin && at < end) {
      return perms;
    }
  }
  return "";
}

// Here KeInitializeEvent is imported by ordinal in place of its name.
TEST(ImageLoader, TheShippedImageIsMappedProtectedItsRoutinesNamedAndImportsBoundByOrdinalAsByName) {
  ShippedImage shipped;
  uint32_t ordinal = 1;
  while (host::ldr::FindKernelExportByOrdinal("ntoskrnl.exe", ordinal)->name != "KeInitializeEvent") ordinal++;
  const std::vector<size_t> words = shipped.ImportWords("KeInitializeEvent");
  ASSERT_EQ(words.size(), 2u);  // its lookup entry and its address slot
  for (size_t at : words) shipped.SetAddress(at, (shipped.file.wide ? 1ULL << 63 : 1ULL << 31) | ordinal);
  std::string error;
  auto image = shipped.Load(&error);
  ASSERT_NE(image, nullptr) << error;
  void* slot = nullptr;
  std::memcpy(&slot, image->Base() + shipped.Rva(words[1]), sizeof slot);
  EXPECT_EQ(slot, reinterpret_cast<void*>(&KeInitializeEvent));

  EXPECT_EQ(reinterpret_cast<void*>(image->Entry()), image->Find("DriverEntry"));
  void* portTable = image->Find("PortTable");
  ASSERT_TRUE(image->Contains(portTable));
  EXPECT_EQ(image->Describe(static_cast<uint8_t*>(portTable) + 0x10), "PortTable+0x10");
  auto* sender = static_cast<uint8_t*>(image->Find("SenderThread"));
  EXPECT_EQ(image->Describe(sender + 3), "SenderThread(void*)+0x3");
  EXPECT_EQ(Protection(sender), "r-xp");
  EXPECT_EQ(Protection(portTable), "rw-p");
  EXPECT_EQ(Protection(image->Base()), "r--p");
  // Not at its preferred base: every absolute address in it was relocated.
  EXPECT_NE(reinterpret_cast<uintptr_t>(image->Base()), shipped.file.optional.imageBase);
}

TEST(ImageLoader, ABrokenImageIsRefusedWithItsCauseNamed) {
  struct Case {
    const char* what;
    std::function<void(ShippedImage&)> spoil;
    std::string message;
  };
  const ShippedImage shipped;
  const bool wide = shipped.file.wide;
  const std::string page = host::ldr::HexText(shipped.FirstRelocatedPage());
  const uint64_t outside = shipped.file.optional.imageBase + shipped.file.optional.sizeOfImage;
  const uint32_t outsideRva = shipped.Rva(shipped.FirstRelocatedAddress());
  const Case cases[] = {
      {"imports the host lacks and a data import",
       [](ShippedImage& s) {
         s.RenameImport("KeSetEvent", "KeBugCheck");
         s.RenameImport("KeSetBasePriorityThread", "KeTickCount");
       },
       "tessacom.sys: 2 import(s) the host cannot bind: ntoskrnl.exe!KeTickCount (a data import: "
       "the host exports routines only); ntoskrnl.exe!KeBugCheck (the host has no such routine)"},
      {"a routine only the other kernel exports",
       [wide](ShippedImage& s) {
         if (wide) s.RenameImport("KeAcquireSpinLockRaiseToDpc", "KfAcquireSpinLock");
         if (!wide) s.RenameImport("KfAcquireSpinLock", "KeReleaseSpinLock");
       },
       std::string("tessacom.sys: 1 import(s) the host cannot bind: ") +
           (wide ? "ntoskrnl.exe!KfAcquireSpinLock" : "HAL.dll!KeReleaseSpinLock") +
           " (the host has no such routine)"},
      {"a relocation of the other kind's type",
       [wide](ShippedImage& s) {
         const size_t block = s.FileOffset(s.file.optional.dataDirectory[5].virtualAddress);
         s.file.bytes[block + 9] = static_cast<uint8_t>((s.file.bytes[block + 9] & 0x0F) | (wide ? 0x30 : 0xA0));
       },
       "tessacom.sys: corrupted base relocation: entry 0 of the block for RVA " + page +
           (wide ? " has type 3, not DIR64" : " has type 10, not HIGHLOW")},
      {"a relocated address outside the image",
       [outside](ShippedImage& s) { s.SetAddress(s.FirstRelocatedAddress(), outside); },
       "tessacom.sys: corrupted base relocation: the address " + host::ldr::HexText(outside) +
           " at RVA " + host::ldr::HexText(outsideRva) + " does not point into the image (based at " +
           host::ldr::HexText(shipped.file.optional.imageBase) + ", " +
           host::ldr::HexText(shipped.file.optional.sizeOfImage) + " bytes)"},
      {"an image of the other kind",
       [wide](ShippedImage& s) {
         const uint16_t machine = wide ? 0x014C : 0x8664;
         std::memcpy(s.file.bytes.data() + s.Word(0x3C) + 4, &machine, 2);
       },
       std::string("tessacom.sys: the image is for ") + (wide ? "i386, and this host runs x64 (PE32+)"
                                                              : "x64, and this host runs i386 (PE32)") +
           " images (i386 images: the host-i386 preset; x64: host-x64-image)"},
      {"not an image at all", [](ShippedImage& s) { s.file.bytes.assign(64, 0); },
       "tessacom.sys: not a PE image: no MZ header"},
  };
  for (const Case& c : cases) {
    ShippedImage shipped;
    c.spoil(shipped);
    std::string error;
    EXPECT_EQ(shipped.Load(&error), nullptr) << c.what;
    EXPECT_EQ(error, c.message) << c.what;
  }
}

// What x64 image code reads that user mode cannot reach, run as the image runs it: the system
// time from the shared user page is the host clock's, the current thread behind GS is the
// system thread's own, and any other fault there reaches the sanitizer untouched.
#if defined(TESSACOM_X64_IMAGE_HOST)
using ImageCode = ULONG_PTR(NTAPI*)();

ImageCode Code(std::initializer_list<uint8_t> bytes) {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(page));
  mprotect(page, 4096, PROT_READ | PROT_EXEC);
  return reinterpret_cast<ImageCode>(page);
}

struct ThreadRead {
  ImageCode code;
  ULONG_PTR seen;
  PKTHREAD self;
};

VOID NTAPI ReadOnSystemThread(PVOID context) {
  auto* read = static_cast<ThreadRead*>(context);
  read->seen = read->code();
  read->self = KeGetCurrentThread();
}

TEST_F(ImageLoaderManual, WhatUserModeCannotReachIsAnsweredAsTheKernelDoes) {
  std::string error;
  ASSERT_NE(ShippedImage().Load(&error), nullptr) << error;  // the loader answers from now on
  const ImageCode systemTime = Code({0x48, 0xA1, 0x14, 0x00, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0xC3});
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(systemTime(), static_cast<ULONG_PTR>(now.QuadPart));

  ThreadRead read{Code({0x65, 0x48, 0x8B, 0x04, 0x25, 0x88, 0x01, 0x00, 0x00, 0xC3}), 0, nullptr};
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, ReadOnSystemThread, &read),
            STATUS_SUCCESS);
  ASSERT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS);
  ZwClose(thread);
  EXPECT_NE(read.self, nullptr);
  EXPECT_EQ(read.seen, reinterpret_cast<ULONG_PTR>(read.self));

  const ImageCode tickCount = Code({0x48, 0xA1, 0x20, 0x03, 0x00, 0x00, 0x80, 0xF7, 0xFF, 0xFF, 0xC3});
  EXPECT_DEATH(tickCount(), "AddressSanitizer: SEGV on unknown address 0xfffff78000000320");
}
#endif

// Threads of the image still running when the driver is checked for unload: the stop names
// the image's routine as it names the compiled-in one.
TEST(ImageLoader, AVerifierStopNamesTheRoutineInsideTheImage) {
  EXPECT_DEATH({ testsupport::LiveLink link(1); link.Start(); host::session::CheckDriverUnloaded(); },
               "THREAD_ALIVE_AT_UNLOAD in DriverUnload: 1 system thread\\(s\\) still running: "
               "SenderThread\\(void\\*\\)");
}

}  // namespace
