// The image loader against the shipped tessacom.sys (the image the suites run): mapped
// with its relocations applied, its imports bound by name and by ordinal, its pages protected
// and its routines named, also in the verifier's stops; and refused, with the cause named,
// when an import cannot be bound or a relocation is corrupted.
#include <gtest/gtest.h>

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
  void SetWord(size_t offset, uint32_t value) { std::memcpy(file.bytes.data() + offset, &value, 4); }
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
  std::unique_ptr<host::ldr::Image> Load(std::string* error) const {
    return LoadImage(file.bytes, "tessacom.sys", error);
  }
};

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

TEST(ImageLoader, TheShippedImageIsMappedProtectedAndItsRoutinesNamed) {
  ShippedImage shipped;
  std::string error;
  auto image = shipped.Load(&error);
  ASSERT_NE(image, nullptr) << error;
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

TEST(ImageLoader, ImportsAreBoundByOrdinalAsByName) {
  ShippedImage shipped;
  uint32_t ordinal = 1;
  while (host::ldr::FindKernelExportByOrdinal("ntoskrnl.exe", ordinal)->name != "KeInitializeEvent") {
    ordinal++;
  }
  const std::vector<size_t> words = shipped.ImportWords("KeInitializeEvent");
  ASSERT_EQ(words.size(), 2u);  // its lookup entry and its address slot
  for (size_t at : words) shipped.SetWord(at, 0x80000000u | ordinal);
  std::string error;
  auto image = shipped.Load(&error);
  ASSERT_NE(image, nullptr) << error;
  void* slot = nullptr;
  std::memcpy(&slot, image->Base() + shipped.Rva(words[1]), sizeof slot);
  EXPECT_EQ(slot, reinterpret_cast<void*>(&KeInitializeEvent));
}

TEST(ImageLoader, ABrokenImageIsRefusedWithItsCauseNamed) {
  struct Case {
    const char* what;
    std::function<void(ShippedImage&)> spoil;
    std::string message;
  };
  const Case cases[] = {
      {"imports the host lacks and a data import",
       [](ShippedImage& s) {
         s.RenameImport("KeSetEvent", "KeBugCheck");
         s.RenameImport("KeSetBasePriorityThread", "KeTickCount");
       },
       "tessacom.sys: 2 import(s) the host cannot bind: ntoskrnl.exe!KeTickCount (a data import: "
       "the host exports routines only); ntoskrnl.exe!KeBugCheck (the host has no such routine)"},
      {"a relocation of a type no 32-bit image has",
       [](ShippedImage& s) {
         const size_t block = s.FileOffset(s.file.optional.dataDirectory[5].virtualAddress);
         s.file.bytes[block + 9] = static_cast<uint8_t>((s.file.bytes[block + 9] & 0x0F) | 0xA0);
       },
       "tessacom.sys: corrupted base relocation: entry 0 of the block for RVA 0x1000 has type 10, "
       "not HIGHLOW"},
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

// Threads of the image still running when the driver is checked for unload: the stop names
// the image's routine as it names the compiled-in one.
TEST(ImageLoader, AVerifierStopNamesTheRoutineInsideTheImage) {
  EXPECT_DEATH(
      {
        testsupport::LiveLink link(1);
        link.Start();
        host::verifier::CheckDriverUnloaded();
      },
      "THREAD_ALIVE_AT_UNLOAD in DriverUnload: 1 system thread\\(s\\) still running: "
      "SenderThread\\(void\\*\\)");
}

}  // namespace
