#include "support/tiny_driver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "host/io/io_manager.h"

namespace testsupport {
namespace {

std::array<Handler, IRP_MJ_MAXIMUM_FUNCTION + 1> handlers;

struct Held {
  PIRP irp;
  bool cancellable;
};
std::mutex heldLock;  // guards what follows: requests come from any thread
std::vector<JournalEntry> journal;
std::deque<Held> held;

// Entered with the cancel lock held.
VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard lock(heldLock);
    std::erase_if(held, [irp](const Held& h) { return h.irp == irp; });
  }
  Complete(irp, STATUS_CANCELLED);
}

// Takes a held request back from its cancel routine; false when that routine is already on
// its way and will complete it.
bool Reclaim(const Held& h) { return !h.cancellable || IoSetCancelRoutine(h.irp, nullptr) != nullptr; }

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  {
    std::lock_guard lock(heldLock);
    journal.push_back({stack->MajorFunction, device, stack->FileObject});
  }
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

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, const std::vector<uint8_t>& bytes) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG room = stack->MajorFunction == IRP_MJ_READ
                         ? stack->Parameters.Read.Length
                         : stack->Parameters.DeviceIoControl.OutputBufferLength;
  const size_t count = NT_SUCCESS(status) ? std::min<size_t>(room, bytes.size()) : 0;
  if (count != 0) std::memcpy(irp->AssociatedIrp.SystemBuffer, bytes.data(), count);
  return Complete(irp, status, count);
}

NTSTATUS Hold(PIRP irp, bool cancellable) {
  IoMarkIrpPending(irp);
  bool cancelled = false;
  {
    std::lock_guard lock(heldLock);
    if (cancellable) {
      IoSetCancelRoutine(irp, CancelHeld);
      // Cancelled before the routine was set: ours to complete. Cancelled since: the routine's.
      cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    }
    if (!cancelled) held.push_back({irp, cancellable});
  }
  if (cancelled) Complete(irp, STATUS_CANCELLED);
  return STATUS_PENDING;
}

bool ReleaseOldest(NTSTATUS status, const std::vector<uint8_t>& bytes) {
  Held oldest{};
  {
    std::lock_guard lock(heldLock);
    if (held.empty()) return false;
    oldest = held.front();
    held.pop_front();
  }
  if (Reclaim(oldest)) CompleteWith(oldest.irp, status, bytes);
  return true;
}

size_t HeldCount() {
  std::lock_guard lock(heldLock);
  return held.size();
}

void CancelAllHeld() {
  std::deque<Held> taken;
  {
    std::lock_guard lock(heldLock);
    for (const Held& h : std::exchange(held, {})) (h.cancellable ? taken : held).push_back(h);
  }
  for (const Held& h : taken) {
    if (Reclaim(h)) Complete(h.irp, STATUS_CANCELLED);
  }
}

UNICODE_STRING Counted(std::u16string& text) {
  UNICODE_STRING counted;
  counted.Buffer = text.data();
  counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  counted.MaximumLength = counted.Length;
  return counted;
}

}  // namespace testsupport
