// tessacom-regbench: times the host's loading of generated .reg texts, one with N values in
// one key and one with N subkeys of one key, for each N given (default 10000 100000 200000),
// and prints the wall-clock and processor time of each load. Build it with the host-release
// preset for figures worth quoting; on a busy machine the processor time is the steadier one.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/registry/registry.h"
#include "host/session/executive.h"

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00\n\n";
constexpr std::string_view kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench]\n";

std::string ManyValues(long count) {
  std::string text = std::string(kHeader) + std::string(kKey);
  for (long i = 0; i < count; ++i) text += "\"Value" + std::to_string(i) + "\"=dword:00000001\n";
  return text;
}

std::string ManySubkeys(long count) {
  std::string text(kHeader);
  for (long i = 0; i < count; ++i) text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Key" + std::to_string(i) + "]\n";
  return text;
}

void TimeLoad(const char* what, long count, const std::string& text) {
  host::registry::Reset();
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  host::registry::LoadRegText(text, "bench.reg");
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  std::printf("%8ld %-20s %9zu bytes  %7.3f s (processor %.3f s)\n", count, what, text.size(),
              wall.count(), cpu);
}

}  // namespace

constexpr const char* kUsage =
    "usage: tessacom-regbench [COUNT...]\n"
    "Times the host's loading of generated .reg texts: one with COUNT values in one key and one\n"
    "with COUNT subkeys of one key, for each COUNT (1 to 10000000; default 10000 100000 200000),\n"
    "and prints the wall-clock and processor time of each load.\n";

int main(int argc, char** argv) {
  std::vector<long> counts;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const long count = std::strtol(argv[i], nullptr, 10);
    if (count <= 0 || count > 10'000'000) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    counts.push_back(count);
  }
  if (counts.empty()) counts = {10'000, 100'000, 200'000};
  host::session::StartManual();
  for (long count : counts) {
    TimeLoad("values in one key", count, ManyValues(count));
    TimeLoad("subkeys of one key", count, ManySubkeys(count));
  }
  host::registry::Reset();
  host::session::Shutdown();
  return 0;
}
