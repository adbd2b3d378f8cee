// The host's image loader: maps a kernel image (tessacom.sys as the cross compiler built it:
// PE32 in the 32-bit host, PE32+ in the x64 image host), applies its base relocations, binds
// its imports to the host's routines, protects its pages and reads its symbols, so that the
// host runs the driver exactly as it ships. The driver loader (LoadDriver) then runs its entry point like a compiled-in one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel.h"

namespace host::ldr {

struct ImageSymbol {
  std::string name;  // as the source spells it: "PortTable", "SenderThread(void*)"
  uint32_t rva;      // offset from the image's base
  bool code;         // in an executable section
};

// A mapped image; unmapped when the object goes. The driver it holds must be unloaded first.
// While mapped, the verifier names the image's routines and globals in its messages.
class Image {
 public:
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::string& Name() const { return name_; }
  uint8_t* Base() const { return base_; }
  uint32_t Size() const { return size_; }
  bool Contains(const void* address) const;
  PDRIVER_INITIALIZE Entry() const;
  const std::vector<ImageSymbol>& Symbols() const { return symbols_; }
  // The routine or global the source calls `name`, named without parameters ("PortTable",
  // "StartLink"); null when the image has no such symbol, or more than one.
  void* Find(std::string_view name) const;
  // The symbol at or before `address` (the first of several at one place) and the distance
  // from it; null when the address is outside the image or before its first symbol.
  const ImageSymbol* SymbolAt(const void* address, uint32_t* offset) const;
  // "SenderThread(void*)+0x1c", or empty where SymbolAt finds nothing.
  std::string Describe(const void* address) const;

 private:
  friend std::unique_ptr<Image> LoadImage(std::vector<uint8_t>, const std::string&, std::string*);
  Image(std::string name, uint8_t* base, uint32_t size, uint32_t entry, std::vector<ImageSymbol> symbols);

  std::string name_;
  uint8_t* base_;
  uint32_t size_;
  uint32_t entry_;
  std::vector<ImageSymbol> symbols_;
};

// Loads the image in `file` (the bytes of a .sys file; `name` names it in messages). On
// failure returns null with *error saying why, naming each import that cannot be bound.
// Only the 32-bit host runs PE32 images and only the x64 image host PE32+ images; the host with
// the compiled-in driver refuses both.
std::unique_ptr<Image> LoadImage(std::vector<uint8_t> file, const std::string& name, std::string* error);
// The same for the file at `path`.
std::unique_ptr<Image> LoadImageFile(const std::string& path, std::string* error);

}  // namespace host::ldr
