// The compiled-in driver, bound by its symbols at link time. The image hosts' builds link no
// driver into their programs and suites, so that whatever reaches past the binding to a driver
// global fails to link there instead of silently reading the compiled-in copy.
#include <stdexcept>

#include "driver_binding.h"

namespace tessacom {

#if defined(TESSACOM_IMAGE_HOST)

const DriverBinding& CompiledInDriver() {
  throw std::runtime_error("this host runs kernel images only: name one with --image FILE");
}

#else

const DriverBinding& CompiledInDriver() {
#define TESSACOM_LINKED(name) name,
  static const DriverBinding compiledIn{
      DriverEntry, TESSACOM_BOUND_SYMBOLS(TESSACOM_LINKED, TESSACOM_LINKED, TESSACOM_LINKED) nullptr, 0};
#undef TESSACOM_LINKED
  return compiledIn;
}

#endif

}  // namespace tessacom
