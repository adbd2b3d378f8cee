// The driver loader (driver_loader.h). Entry and unload routines run on a thread of their own
// at PASSIVE_LEVEL, as the platform runs them in a system worker thread.
#include "host/session/driver_loader.h"

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host/io/records.h"
#include "host/io/system_error_log.h"
#include "host/ke/processor_region.h"
#include "host/ob/object_names.h"
#include "host/rtl/wide_text.h"
#include "host/session/unload_checks.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::session {
namespace {

struct Loaded {
  PDRIVER_OBJECT driver = nullptr;
  bool failed = false;
  std::u16string registryPath;
  UNICODE_STRING registryPathString{};
};

std::mutex loaderLock;
Loaded loaded;

void RunOnSystemThread(const std::function<void()>& work) {
  std::thread thread([&work] {
    ke::detail::EnterProcessorRegion();
    work();
  });
  thread.join();
}

// The checks after the driver let go of everything, then the release of its object.
void CheckAndRelease(const char* routine) {
  PDRIVER_OBJECT driver = loaded.driver;
  session::CheckDriverUnloaded();
  std::string name = rtl::ToUtf8(rtl::View(&driver->DriverName));
  if (driver->DeviceObject != nullptr) {
    size_t count = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
      ++count;
    }
    verifier::Stop("DEVICE_ALIVE_AT_UNLOAD", routine, "driver %s left %zu device object(s)",
                   name.c_str(), count);
  }
  auto links = ob::LinksTo(io::detail::DeviceNamesOf(driver));
  if (!links.empty()) {
    verifier::Stop("SYMBOLIC_LINK_ALIVE_AT_UNLOAD", routine,
                   "driver %s left %zu symbolic link(s) to its devices, the first %s", name.c_str(),
                   links.size(), rtl::ToUtf8(links.front()).c_str());
  }
  io::ReleaseUnwrittenOf(driver);
  io::detail::FreeDriver(driver);
  loaded = Loaded{};
}

}  // namespace

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::string_view registryPath, DriverImageExtent image) {
  std::lock_guard lock(loaderLock);
  if (loaded.driver != nullptr) {
    if (!loaded.failed) {
      verifier::Stop("DRIVER_ALREADY_LOADED", "LoadDriver", "a driver is loaded; unload it first");
    }
    CheckAndRelease("LoadDriver");
  }
  loaded.registryPath = rtl::FromUtf8(registryPath);
  std::u16string_view path = loaded.registryPath;
  size_t slash = path.find_last_of(u'\\');
  std::u16string service(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
  loaded.driver = io::detail::NewDriver(u"\\Driver\\" + service);
  loaded.driver->DriverInit = entry;
  loaded.driver->DriverStart = image.start;
  loaded.driver->DriverSize = image.size;
  loaded.registryPathString.Buffer = loaded.registryPath.data();
  loaded.registryPathString.Length = static_cast<USHORT>(loaded.registryPath.size() * sizeof(WCHAR));
  loaded.registryPathString.MaximumLength = loaded.registryPathString.Length;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunOnSystemThread([&] { status = entry(loaded.driver, &loaded.registryPathString); });
  loaded.failed = !NT_SUCCESS(status);
  return status;
}

PDRIVER_OBJECT LoadedDriver() {
  std::lock_guard lock(loaderLock);
  return loaded.driver;
}

void UnloadDriver() {
  std::lock_guard lock(loaderLock);
  if (loaded.driver == nullptr || loaded.failed) {
    verifier::Stop("DRIVER_NOT_LOADED", "UnloadDriver", "no driver is loaded");
  }
  PDRIVER_OBJECT driver = loaded.driver;
  if (driver->DriverUnload != nullptr) {
    RunOnSystemThread([driver] { driver->DriverUnload(driver); });
  }
  CheckAndRelease("UnloadDriver");
}

void ReleaseFailedDriver() {
  std::lock_guard lock(loaderLock);
  if (loaded.driver == nullptr || !loaded.failed) {
    verifier::Stop("DRIVER_NOT_LOADED", "ReleaseFailedDriver", "no failed load to release");
  }
  CheckAndRelease("ReleaseFailedDriver");
}

}  // namespace host::session
