// Internal to the host: not for driver code, tests or tools.
// The I/O manager's own records behind driver, device and request objects:
// which objects exist, what each request owes its originator at completion, and the state
// a client shares with its request in flight.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/ddk/io.h"

namespace host::io::detail {

// ---- drivers and devices (io_devices.cpp) ----

struct DriverRecord {
  DRIVER_OBJECT object{};
  std::u16string name;
  std::vector<std::u16string> deviceNames;  // every named device it ever created
};

struct DeviceRecord {
  DEVICE_OBJECT object{};
  std::u16string name;  // empty for an unnamed device
  void* extension = nullptr;
  size_t extensionSize = 0;
  bool deleted = false;  // deleted while file objects still refer to it
};

PDRIVER_OBJECT NewDriver(std::u16string_view name);
void FreeDriver(PDRIVER_OBJECT driver);
// Names of the devices the driver created (for the unload check of symbolic links).
std::vector<std::u16string> DeviceNamesOf(PDRIVER_OBJECT driver);
bool IsDriver(const void* object);
bool IsDevice(const void* object);
// The driver a device or driver object belongs to, or null for anything else.
PDRIVER_OBJECT OwningDriver(const void* object);

// A device that exists and is not deleted.
bool IsLiveDevice(PDEVICE_OBJECT device);
// Opening: the device must be live; an exclusive device must have no file object. On success
// the device's ReferenceCount counts the new file object.
NTSTATUS ReferenceForOpen(PDEVICE_OBJECT device);
// A file object of the device is gone (its create failed or it was closed); a deleted device
// is freed with its last file object.
void DereferenceAfterClose(PDEVICE_OBJECT device);

// ---- requests (io_requests.cpp, io_completion.cpp) ----

enum class Origin {
  Allocated,     // IoAllocateIrp: the caller frees it with IoFreeIrp
  BuiltControl,  // IoBuildDeviceIoControlRequest: released with its MDLs at completion
  Client,        // built by the I/O manager for an application's request
};

// What a client request shares with the client that waits for it.
struct ClientState {
  std::mutex lock;
  std::condition_variable changed;
  PIRP irp = nullptr;          // until the request is released
  bool done = false;           // completed; status and information are final
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  bool dispatched = false;     // the dispatch routine has returned
  NTSTATUS dispatchStatus = STATUS_SUCCESS;
  bool pendingMarked = false;  // the driver marked the request pending
  int pins = 0;                // callers inside IoCancelIrp on the request
  bool releaseDeferred = false;
};

struct RequestRecord {
  Origin origin = Origin::Allocated;
  void* systemBuffer = nullptr;  // buffered transfer: owned, released with the request
  void* copyOutTo = nullptr;     // where completion copies Information bytes of it
  ULONG copyOutLimit = 0;        // never more than the caller's output length
  CCHAR boost = -1;              // the priority boost of its last completion
  std::shared_ptr<ClientState> client;
};

inline RequestRecord* RecordOf(PIRP irp) { return static_cast<RequestRecord*>(irp->HostRequest); }

// A zeroed request with stackSize locations after it in one block; null when allocation
// failure injection says so (never for Client requests).
PIRP NewIrp(CCHAR stackSize, Origin origin);
// Releases the request and its record (system buffer included). The block is kept aside for
// a while so that a late second completion is reported rather than touching freed memory.
void ReleaseIrp(PIRP irp);
// Verifier checks on the request registry. routine names the caller in the stop.
void RequireLiveIrp(PIRP irp, const char* routine);
void MarkCompleting(PIRP irp);
void MarkReturnedToOwner(PIRP irp);
// Allocates a system buffer of the given size filled with the pool's fill pattern.
void* NewSystemBuffer(size_t bytes);
// Fills the next stack location's device-control parameters and the buffers of the code's
// transfer method (system buffer, output MDL or the caller's pointers); false when the MDL
// cannot be had.
bool SetUpControlBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength);
// Releases every MDL attached to the request (unlocking locked ones).
void ReleaseMdls(PIRP irp);

}  // namespace host::io::detail
