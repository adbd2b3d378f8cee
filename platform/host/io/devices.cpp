// Driver and device objects: IoCreateDevice, IoDeleteDevice, IoGetRelatedDeviceObject, the
// host's driver objects, and the open count of exclusive devices. PASSIVE_LEVEL for creation
// and deletion. One mutex guards the driver and device registries, every driver's device
// list and every device's ReferenceCount; no driver code runs while it is held.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "host/io/io_manager.h"
#include "host/io/records.h"
#include "host/ke/irql_checks.h"
#include "host/ke/released_memory.h"
#include "host/ob/object_names.h"
#include "host/rtl/wide_text.h"
#include "host/verifier/failure_countdown.h"
#include "kernel.h"

namespace host::io {
namespace detail {
namespace {

constexpr CSHORT kDeviceObjectType = 3;
constexpr CSHORT kDriverObjectType = 4;

std::mutex registryLock;
std::unordered_map<const void*, std::unique_ptr<DriverRecord>>& Drivers() {
  static std::unordered_map<const void*, std::unique_ptr<DriverRecord>> drivers;
  return drivers;
}
std::unordered_map<const void*, DeviceRecord*>& Devices() {
  static std::unordered_map<const void*, DeviceRecord*> devices;
  return devices;
}

verifier::FailureCountdown deviceFailures;

DeviceRecord* DeviceRecordLocked(const void* device) {
  auto it = Devices().find(device);
  return it == Devices().end() ? nullptr : it->second;
}

void FreeDeviceLocked(DeviceRecord* record) {
  Devices().erase(&record->object);
  std::free(record->extension);
  delete record;
}

}  // namespace

PDRIVER_OBJECT NewDriver(std::u16string_view name) {
  auto record = std::make_unique<DriverRecord>();
  record->name = std::u16string(name);
  DRIVER_OBJECT& driver = record->object;
  driver.Type = kDriverObjectType;
  driver.Size = sizeof(DRIVER_OBJECT);
  driver.DriverName.Buffer = record->name.data();
  driver.DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
  driver.DriverName.MaximumLength = driver.DriverName.Length;
  for (auto& handler : driver.MajorFunction) handler = DefaultDispatch;
  PDRIVER_OBJECT result = &driver;
  std::lock_guard lock(registryLock);
  Drivers().emplace(result, std::move(record));
  return result;
}

void FreeDriver(PDRIVER_OBJECT driver) {
  std::lock_guard lock(registryLock);
  Drivers().erase(driver);
}

std::vector<std::u16string> DeviceNamesOf(PDRIVER_OBJECT driver) {
  std::lock_guard lock(registryLock);
  auto it = Drivers().find(driver);
  return it == Drivers().end() ? std::vector<std::u16string>{} : it->second->deviceNames;
}

bool IsDriver(const void* object) {
  std::lock_guard lock(registryLock);
  return Drivers().count(object) != 0;
}

bool IsDevice(const void* object) {
  std::lock_guard lock(registryLock);
  return Devices().count(object) != 0;
}

PDRIVER_OBJECT OwningDriver(const void* object) {
  std::lock_guard lock(registryLock);
  if (auto it = Drivers().find(object); it != Drivers().end()) return &it->second->object;
  if (DeviceRecord* device = DeviceRecordLocked(object)) return device->object.DriverObject;
  return nullptr;
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(registryLock);
  DeviceRecord* record = DeviceRecordLocked(device);
  return record != nullptr && !record->deleted;
}

NTSTATUS ReferenceForOpen(PDEVICE_OBJECT device) {
  std::lock_guard lock(registryLock);
  DeviceRecord* record = DeviceRecordLocked(device);
  if (record == nullptr || record->deleted) return STATUS_NO_SUCH_DEVICE;
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
  ++device->ReferenceCount;
  return STATUS_SUCCESS;
}

void DereferenceAfterClose(PDEVICE_OBJECT device) {
  std::lock_guard lock(registryLock);
  DeviceRecord* record = DeviceRecordLocked(device);
  if (record == nullptr) return;
  if (--device->ReferenceCount == 0 && record->deleted) FreeDeviceLocked(record);
}

}  // namespace detail

PDRIVER_OBJECT CreateHostDriver(std::u16string_view name) { return detail::NewDriver(name); }

void DeleteHostDriver(PDRIVER_OBJECT driver) {
  if (driver->DeviceObject != nullptr) {
    verifier::Stop("DEVICE_ALIVE_AT_UNLOAD", "DeleteHostDriver",
                   "driver %s still has device objects",
                   rtl::ToUtf8(rtl::View(&driver->DriverName)).c_str());
  }
  detail::FreeDriver(driver);
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void FailNthDeviceCreation(size_t nth) { detail::deviceFailures.Arm(nth); }

void ClearFailures() {
  FailNthDeviceCreation(0);
  FailNthIrpAllocation(0);
  FailNthMdlAllocation(0);
}

size_t DeviceCount(PDRIVER_OBJECT driver) {
  std::lock_guard lock(detail::registryLock);
  size_t count = 0;
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
    ++count;
  }
  return count;
}

}  // namespace host::io

using host::io::detail::DeviceRecord;

extern "C" {

// Creates a device object for the driver with a zero-filled extension of the given size,
// newest first in the driver's device list. A named device enters the object namespace.
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoCreateDevice");
  if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  if (host::io::detail::deviceFailures.Fails()) return STATUS_INSUFFICIENT_RESOURCES;
  auto* record = new DeviceRecord;
  record->name = std::u16string(host::rtl::View(DeviceName));
  record->extensionSize = DeviceExtensionSize;
  record->extension = std::calloc(1, DeviceExtensionSize == 0 ? 1 : DeviceExtensionSize);
  DEVICE_OBJECT& device = record->object;
  device.Type = host::io::detail::kDeviceObjectType;
  device.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device.DriverObject = DriverObject;
  device.Flags = Exclusive ? DO_EXCLUSIVE : 0;
  device.Characteristics = DeviceCharacteristics;
  device.DeviceExtension = DeviceExtensionSize == 0 ? nullptr : record->extension;
  device.DeviceType = DeviceType;
  device.StackSize = 1;
  device.HostDevice = record;
  if (!record->name.empty()) {
    NTSTATUS status = host::ob::InsertDevice(record->name, &device);
    if (!NT_SUCCESS(status)) {
      std::free(record->extension);
      delete record;
      return status;
    }
  }
  {
    std::lock_guard lock(host::io::detail::registryLock);
    host::io::detail::Devices().emplace(&device, record);
    device.NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = &device;
    auto it = host::io::detail::Drivers().find(DriverObject);
    if (it != host::io::detail::Drivers().end() && !record->name.empty()) {
      it->second->deviceNames.push_back(record->name);
    }
  }
  *DeviceObject = &device;
  return STATUS_SUCCESS;
}

// Unlinks the device from its driver and the namespace and frees it with its extension (once
// its last file object is gone). An armed timer or queued deferred call inside the extension
// is a fault: it would fire into freed memory.
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", "IoDeleteDevice");
  DeviceRecord* record;
  {
    std::lock_guard lock(host::io::detail::registryLock);
    record = host::io::detail::DeviceRecordLocked(DeviceObject);
    if (record == nullptr || record->deleted) {
      host::verifier::Stop("DEVICE_DELETED_TWICE", "IoDeleteDevice",
                           "device object %p is not a live device", static_cast<void*>(DeviceObject));
    }
  }
  std::string name = host::rtl::ToUtf8(record->name);
  if (host::ke::AnyArmedTimerIn(record->extension, record->extensionSize)) {
    host::verifier::Stop("TIMER_ALIVE_AT_DEVICE_DELETE", "IoDeleteDevice",
                         "device %s: a timer in its extension is still armed", name.c_str());
  }
  if (host::ke::AnyQueuedDpcIn(record->extension, record->extensionSize)) {
    host::verifier::Stop("DPC_ALIVE_AT_DEVICE_DELETE", "IoDeleteDevice",
                         "device %s: a deferred call in its extension is queued or running",
                         name.c_str());
  }
  host::ke::ForgetLocksIn(record->extension, record->extensionSize);
  if (!record->name.empty()) host::ob::RemoveDevice(record->name);
  std::lock_guard lock(host::io::detail::registryLock);
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  DeviceObject->NextDevice = nullptr;
  if (DeviceObject->ReferenceCount == 0) {
    host::io::detail::FreeDeviceLocked(record);
  } else {
    record->deleted = true;
  }
}

// The device requests for a file object go to: the top of the device's attachment chain.
PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  PDEVICE_OBJECT device = FileObject->DeviceObject;
  while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

}  // extern "C"
