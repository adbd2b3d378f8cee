#include "support/tiny_driver.h"

#include <array>

#include "host/io/io_manager.h"

namespace testsupport {
namespace {

std::array<Handler, IRP_MJ_MAXIMUM_FUNCTION + 1> handlers;
std::vector<JournalEntry> journal;

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  journal.push_back({stack->MajorFunction, device, stack->FileObject});
  if (handlers[stack->MajorFunction]) return handlers[stack->MajorFunction](device, irp);
  return Complete(irp, STATUS_SUCCESS);
}

}  // namespace

TinyDriver::TinyDriver(std::u16string_view name) : driver_(host::io::CreateHostDriver(name)) {
  journal.clear();
  for (auto& handler : handlers) handler = nullptr;
  for (auto& entry : driver_->MajorFunction) entry = Dispatch;
}

TinyDriver::~TinyDriver() {
  while (driver_->DeviceObject != nullptr) IoDeleteDevice(driver_->DeviceObject);
  host::io::DeleteHostDriver(driver_);
  for (auto& handler : handlers) handler = nullptr;
}

PDEVICE_OBJECT TinyDriver::AddDevice(std::u16string_view name, ULONG extensionSize,
                                     bool exclusive, ULONG flags) {
  std::u16string text(name);
  UNICODE_STRING counted = Counted(text);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver_, extensionSize, text.empty() ? nullptr : &counted,
                                   FILE_DEVICE_SERIAL_PORT, 0, exclusive, &device);
  if (!NT_SUCCESS(status)) return nullptr;
  device->Flags |= flags;
  return device;
}

void TinyDriver::On(UCHAR major, Handler handler) { handlers[major] = std::move(handler); }

const std::vector<JournalEntry>& TinyDriver::Journal() const { return journal; }

std::vector<UCHAR> TinyDriver::Majors() const {
  std::vector<UCHAR> majors;
  for (const auto& entry : journal) majors.push_back(entry.major);
  return majors;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

UNICODE_STRING Counted(std::u16string& text) {
  UNICODE_STRING counted;
  counted.Buffer = text.data();
  counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  counted.MaximumLength = counted.Length;
  return counted;
}

}  // namespace testsupport
