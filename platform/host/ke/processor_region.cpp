// The processor region of the x64 image host (processor_region.h): one zero-filled page per
// thread, its current-thread slot filled, made the thread's GS base with arch_prctl. The base
// is the thread's own and survives context switches and signals; the region goes, and GS with
// it, when the thread ends. Only the current-thread slot is modelled: the image check refuses
// an image that reads any other place behind GS.
#if defined(TESSACOM_X64_IMAGE_HOST)
#include "host/ke/processor_region.h"

#include <asm/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ke::detail {
namespace {

// Where x64 kernel code reads the current thread: KPCR.Prcb.CurrentThread.
constexpr size_t kCurrentThreadOffset = 0x188;
constexpr size_t kRegionSize = 0x1000;

struct Region {
  alignas(64) unsigned char bytes[kRegionSize] = {};
};

// The calling thread's region; GS is cleared before the region is freed.
struct ThreadRegion {
  std::unique_ptr<Region> region;
  ~ThreadRegion() {
    if (region) syscall(SYS_arch_prctl, ARCH_SET_GS, 0UL);
  }
};

thread_local ThreadRegion tRegion;

}  // namespace

void EnterProcessorRegion() {
  if (tRegion.region) return;
  auto region = std::make_unique<Region>();
  const PKTHREAD thread = KeGetCurrentThread();
  std::memcpy(region->bytes + kCurrentThreadOffset, &thread, sizeof thread);
  if (syscall(SYS_arch_prctl, ARCH_SET_GS, reinterpret_cast<unsigned long>(region.get())) != 0) {
    verifier::Stop("PROCESSOR_REGION_UNAVAILABLE", "EnterProcessorRegion",
                   "the system refuses the thread a GS base for its processor region");
  }
  tRegion.region = std::move(region);
}

}  // namespace host::ke::detail
#endif
