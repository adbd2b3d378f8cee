// The fault handler of shared_user_page.h. It emulates one instruction form, the one the DDK's
// KeQuerySystemTime compiles to: "movabs 0xfffff78000000014, %rax" (REX.W A1 and the 64-bit
// address), whose fault names that address. RAX gets the host's system time (the manual clock
// in manual mode, the live one otherwise) and execution goes on after the instruction. The
// fault is synchronous: the image's thread is in its own code, holding no host lock, so the
// handler may read the clock. The image check lets no other read of a fixed kernel address
// through.
#include "host/ldr/shared_user_page.h"

#if defined(TESSACOM_X64_IMAGE_HOST)
#include <signal.h>
#include <ucontext.h>

#include <cstring>
#include <mutex>

#include "host/ke/clock_internal.h"

namespace host::ldr {
namespace {

struct sigaction previous;

// "movabs 0xfffff78000000014, %rax": REX.W, A1 (load RAX from a 64-bit absolute address).
constexpr unsigned char kReadSystemTime[] = {0x48, 0xA1, 0x14, 0x00, 0x00, 0x00,
                                             0x80, 0xF7, 0xFF, 0xFF};

// Hands the fault to the handler that was there before, as if this one never ran. A default
// or ignored action is put back, and the faulting instruction then faults again under it.
void PassOn(int signal, siginfo_t* info, void* context) {
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN) {
    sigaction(SIGSEGV, &previous, nullptr);
  } else {
    previous.sa_handler(signal);
  }
}

void OnFault(int signal, siginfo_t* info, void* context) {
  auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
  const auto* at = reinterpret_cast<const unsigned char*>(machine->gregs[REG_RIP]);
  if (reinterpret_cast<uint64_t>(info->si_addr) != kSharedSystemTime ||
      std::memcmp(at, kReadSystemTime, sizeof kReadSystemTime) != 0) {
    PassOn(signal, info, context);
    return;
  }
  machine->gregs[REG_RAX] = static_cast<greg_t>(ke::detail::Now());
  machine->gregs[REG_RIP] += sizeof kReadSystemTime;
}

}  // namespace

void AnswerSharedUserPageReads() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previous);
  });
}

}  // namespace host::ldr
#else
namespace host::ldr {
void AnswerSharedUserPageReads() {}
}  // namespace host::ldr
#endif
