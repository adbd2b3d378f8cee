// Installing and removing the UDP transport: its host driver object, the device
// "\Device\Udp" and its receiving thread. PASSIVE_LEVEL.
#include "host/net/udp_transport.h"

#include <mutex>

#include "host/io/io_manager.h"
#include "host/net/dispatch.h"
#include "kernel.h"

namespace host::net {

namespace {

struct Installation {
  std::mutex lock;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

Installation& TheInstallation() {
  static Installation* installation = new Installation;
  return *installation;
}

}  // namespace

NTSTATUS Install() {
  Installation& self = TheInstallation();
  std::lock_guard hold(self.lock);
  if (self.device != nullptr) return STATUS_SUCCESS;
  PDRIVER_OBJECT driver = host::io::CreateHostDriver(u"\\Driver\\Udp");
  driver->MajorFunction[IRP_MJ_CREATE] = detail::DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = detail::DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = detail::DispatchClose;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = detail::DispatchInternalDeviceControl;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Udp");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device);
  if (NT_SUCCESS(status)) {
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    status = detail::StartReceiving();
    if (!NT_SUCCESS(status)) IoDeleteDevice(device);
  }
  if (!NT_SUCCESS(status)) {
    host::io::DeleteHostDriver(driver);
    return status;
  }
  self.driver = driver;
  self.device = device;
  return STATUS_SUCCESS;
}

NTSTATUS Uninstall() {
  Installation& self = TheInstallation();
  std::lock_guard hold(self.lock);
  if (self.device == nullptr) return STATUS_SUCCESS;
  if (detail::AddressObjectsNotClosed() != 0) return STATUS_FILES_OPEN;
  detail::StopReceiving();
  IoDeleteDevice(self.device);
  host::io::DeleteHostDriver(self.driver);
  self.device = nullptr;
  self.driver = nullptr;
  return STATUS_SUCCESS;
}

bool Installed() {
  Installation& self = TheInstallation();
  std::lock_guard hold(self.lock);
  return self.device != nullptr;
}

}  // namespace host::net
