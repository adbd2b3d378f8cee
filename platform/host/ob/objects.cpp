// The handle table and object references. Every object the driver can reach by handle or by
// body pointer has one entry here with its handle count and its reference count (handles
// included); the entry keeps the object alive. The last handle closed and the last reference
// gone are reported to the object outside the table's lock, since they may send requests.
#include <map>
#include <mutex>

#include "host/ke/thread_state.h"
#include "host/ob/objects.h"
#include "host/verifier/describe.h"
#include "host/verifier/failure_countdown.h"
#include "host/verifier/verifier.h"
#include "kernel.h"

namespace host::ob {

namespace {

struct Entry {
  std::shared_ptr<Object> object;
  size_t handles = 0;
  size_t references = 0;  // handles included
};

struct HandleTable {
  std::mutex mutex;
  std::map<HANDLE, Object*> handles;
  std::map<void*, Entry> byBody;
  uintptr_t nextHandle = 0x80;  // kernel handles are multiples of four; none is reused
};

verifier::FailureCountdown referenceFailures;

HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// Adds a reference to the object's entry, creating it; table lock held.
Entry& ReferenceLocked(HandleTable& table, const std::shared_ptr<Object>& object) {
  Entry& entry = table.byBody[object->Body()];
  if (!entry.object) entry.object = object;
  ++entry.references;
  return entry;
}

}  // namespace

HANDLE InsertHandle(const std::shared_ptr<Object>& object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  ++ReferenceLocked(table, object).handles;
  const HANDLE handle = reinterpret_cast<HANDLE>(table.nextHandle);
  table.nextHandle += 4;
  table.handles.emplace(handle, object.get());
  return handle;
}

std::shared_ptr<Object> ObjectFromHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  auto it = table.handles.find(handle);
  if (it == table.handles.end()) return nullptr;
  auto body = table.byBody.find(it->second->Body());
  return body != table.byBody.end() ? body->second.object : nullptr;
}

void ReferenceBody(const std::shared_ptr<Object>& object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  ReferenceLocked(table, object);
}

void FailNthReferenceByHandle(size_t nth) { referenceFailures.Arm(nth); }

size_t OpenHandleCount() {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  size_t count = 0;
  for (const auto& entry : table.byBody) count += entry.second.references;
  return count;
}

}  // namespace host::ob

extern "C" {

// Closes a handle. As in NT, the object hears of its last handle (a file object's cleanup)
// while the closing handle's reference still holds it, and only then is that reference
// dropped, so that the last reference (a file object's close) always comes after the cleanup,
// whichever thread lets go of it.
NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  using host::ob::Table;
  host::ke::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose", HOST_CALLER());
  auto& table = Table();
  std::shared_ptr<host::ob::Object> object;
  bool lastHandle = false;
  {
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.handles.find(Handle);
    if (it == table.handles.end()) return STATUS_INVALID_HANDLE;
    auto body = table.byBody.find(it->second->Body());
    table.handles.erase(it);
    object = body->second.object;
    lastHandle = --body->second.handles == 0;
  }
  if (lastHandle) object->OnLastHandleClosed();
  bool lastReference = false;
  {
    std::lock_guard<std::mutex> guard(table.mutex);
    auto body = table.byBody.find(object->Body());  // the handle's reference kept the entry
    lastReference = --body->second.references == 0;
    if (lastReference) table.byBody.erase(body);
  }
  if (lastReference) object->OnLastReference();
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  (void)ObjectType;
  (void)AccessMode;
  host::ke::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle", HOST_CALLER());
  std::shared_ptr<host::ob::Object> object = host::ob::ObjectFromHandle(Handle);
  if (!object) return STATUS_INVALID_HANDLE;
  if (host::ob::referenceFailures.Fails()) return STATUS_ACCESS_DENIED;
  host::ob::ReferenceBody(object);
  *Object = object->Body();
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  using host::ob::Table;
  const void* caller = HOST_CALLER();
  host::ke::detail::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject", caller);
  auto& table = Table();
  std::shared_ptr<host::ob::Object> object;
  size_t remaining = 0;
  {
    std::lock_guard<std::mutex> guard(table.mutex);
    auto body = table.byBody.find(Object);
    if (body == table.byBody.end() || body->second.references <= body->second.handles) {
      const bool known = body != table.byBody.end();
      // The table lock is not needed for the message; the stop never returns.
      host::verifier::Stop("OBJECT_REFERENCE_UNDERFLOW", "ObfDereferenceObject",
                           "%s %s%s", host::verifier::DescribeData(Object).c_str(),
                           known ? "has no reference besides its handles"
                                 : "is not a referenced object",
                           host::verifier::CalledFrom(caller).c_str());
    }
    remaining = --body->second.references;
    object = body->second.object;
    if (remaining == 0) table.byBody.erase(body);
  }
  if (remaining == 0) object->OnLastReference();
  return static_cast<LONG_PTR>(remaining);
}

// Waits on the object behind a handle (a thread: until it has ended), as KeWaitForSingleObject
// waits on its body. The handle's object stays alive for the wait. PASSIVE_LEVEL.
NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  host::ke::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject", HOST_CALLER());
  std::shared_ptr<host::ob::Object> object = host::ob::ObjectFromHandle(Handle);
  if (!object) return STATUS_INVALID_HANDLE;
  return KeWaitForSingleObject(object->Body(), Executive, KernelMode, Alertable, Timeout);
}

}  // extern "C"
