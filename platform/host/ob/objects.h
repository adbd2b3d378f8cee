// The host's object manager: reference-counted objects that driver code reaches by handle
// (ZwClose, ObReferenceObjectByHandle, ZwWaitForSingleObject) and by body pointer
// (ObfDereferenceObject). Threads and file objects are kinds of it.
#pragma once

#include <atomic>
#include <memory>

#include "host/ddk/io.h"

namespace host::ob {

class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;
  // The pointer driver code sees: a PKTHREAD, a PFILE_OBJECT.
  virtual void* Body() = 0;
  // Called once when the last handle to the object is closed (a file object's cleanup).
  virtual void OnLastHandleClosed() {}
  // Called once when the last reference (handles included) goes (a file object's close).
  virtual void OnLastReference() {}
};

// Inserts an object into the handle table; the handle counts as one reference.
HANDLE InsertHandle(const std::shared_ptr<Object>& object);
// The object behind a handle, or null.
std::shared_ptr<Object> ObjectFromHandle(HANDLE handle);
// Adds one reference by body pointer (what ObReferenceObjectByHandle hands out).
void ReferenceBody(const std::shared_ptr<Object>& object);
// Open handles and body references outstanding (for the unload summary).
size_t OpenHandleCount();
// Failure injection: the nth ObReferenceObjectByHandle from now (1 = the next) fails with
// STATUS_ACCESS_DENIED, handing out nothing; 0 cancels a failure not yet reached.
void FailNthReferenceByHandle(size_t nth);

}  // namespace host::ob
