// The image's COFF symbol table: every routine and global the linker kept, with the name the
// source gives it. i386 decorations are undone ("_PortTable", "_DriverEntry@8",
// "@Name@8", "__Z12SenderThreadPv@4" become "PortTable", "DriverEntry", "Name" and, demangled,
// "SenderThread(void*)"); an x64 image's names are undecorated and only demangled
// ("_Z12SenderThreadPv"), so that the verifier names a routine inside the image as it names
// the same routine compiled into the host.
#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/ldr/image_steps.h"

namespace host::ldr {
namespace {

std::string Demangled(const std::string& name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string result = plain;
  std::free(plain);
  return result;
}

// Undoes the i386 decorations: the leading underscore or fastcall '@', the trailing "@bytes".
std::string Undecorated(std::string name) {
  if (!name.empty() && (name[0] == '_' || name[0] == '@')) name.erase(0, 1);
  const size_t at = name.rfind('@');
  if (at != std::string::npos && at + 1 < name.size() &&
      name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
    name.erase(at);
  }
  return name;
}

std::string SourceName(const ImageFile& file, const std::string& raw) {
  const std::string name = file.wide ? raw : Undecorated(raw);
  return name.rfind("_Z", 0) == 0 ? Demangled(name) : name;
}

// The symbol's name: inline when it fits in eight bytes, else in the string table.
bool RawName(const ImageFile& file, const pe::CoffSymbol& symbol, uint64_t strings,
             std::string* name) {
  if (symbol.name.longName.zeroes != 0) {
    *name = std::string(symbol.name.shortName, strnlen(symbol.name.shortName, 8));
    return true;
  }
  const uint64_t at = strings + symbol.name.longName.stringOffset;
  if (at >= file.bytes.size()) return false;
  const char* text = reinterpret_cast<const char*>(file.bytes.data() + at);
  *name = std::string(text, strnlen(text, file.bytes.size() - at));
  return true;
}

// The linker's own markers of where sections begin and end ("__bss_start__", "__data_end__"):
// they share their places with the source's globals and name nothing of the source.
bool LinkerMarker(const std::string& name) {
  const size_t at = name.find("__");
  return at <= 1 && name.size() > at + 4 && name.compare(name.size() - 2, 2, "__") == 0;
}

bool Named(const pe::CoffSymbol& symbol, const std::string& name, size_t sections) {
  return symbol.sectionNumber >= 1 && static_cast<size_t>(symbol.sectionNumber) <= sections &&
         (symbol.storageClass == pe::kSymbolClassExternal ||
          symbol.storageClass == pe::kSymbolClassStatic) &&
         !name.empty() && name[0] != '.' && !LinkerMarker(name);
}

}  // namespace

std::vector<ImageSymbol> ReadImageSymbols(const ImageFile& file) {
  std::vector<ImageSymbol> symbols;
  const uint64_t table = file.header.pointerToSymbolTable;
  const uint64_t count = file.header.numberOfSymbols;
  const uint64_t strings = table + count * sizeof(pe::CoffSymbol);
  if (table == 0 || strings > file.bytes.size()) return symbols;
  for (uint64_t i = 0; i < count; i++) {
    pe::CoffSymbol symbol{};
    std::memcpy(&symbol, file.bytes.data() + table + i * sizeof symbol, sizeof symbol);
    std::string name;
    if (RawName(file, symbol, strings, &name) && Named(symbol, name, file.sections.size())) {
      const pe::SectionHeader& section = file.sections[symbol.sectionNumber - 1];
      symbols.push_back(ImageSymbol{SourceName(file, name), section.virtualAddress + symbol.value,
                                    (section.characteristics & pe::kSectionExecute) != 0});
    }
    i += symbol.numberOfAuxSymbols;
  }
  std::stable_sort(symbols.begin(), symbols.end(),
                   [](const ImageSymbol& a, const ImageSymbol& b) { return a.rva < b.rva; });
  return symbols;
}

}  // namespace host::ldr
