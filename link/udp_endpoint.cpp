// Opening, publishing and retiring the link's UDP endpoint.
//
// The published address object (UdpAddressObject) is borrowed by the sender and the receivers
// for each request. A reopen publishes the new object, closes the old object's handle at once
// (its pending receives then end with an error and their threads borrow the new object), and
// drops the old object's reference when its last borrower returns it. Reopens are serialised
// by ReopenGate, and a thread whose request failed on an object that has already been replaced
// does not open yet another one: concurrent failures publish one address object.
//
// EndpointLock (a spin lock) guards the slot table, the published pair and EndpointClosed; it
// is a leaf lock. Opens and closes run outside it at PASSIVE_LEVEL.
#include "link/udp_endpoint.h"

namespace {

constexpr int ENDPOINT_SLOTS = 8;

struct EndpointSlot {
  PFILE_OBJECT Object;
  HANDLE Handle;  // null once closed
  LONG Borrowers;
  BOOLEAN Retired;
};

EndpointSlot Slots[ENDPOINT_SLOTS];
KSPIN_LOCK EndpointLock;
KEVENT ReopenGate;  // synchronization event used as a mutex; signalled = free
BOOLEAN EndpointClosed;

EndpointSlot* SlotOf(PFILE_OBJECT object) {
  for (EndpointSlot& slot : Slots) {
    if (slot.Object == object && object != NULL) return &slot;
  }
  return NULL;
}

EndpointSlot* FreeSlot() {
  for (EndpointSlot& slot : Slots) {
    if (slot.Object == NULL) return &slot;
  }
  return NULL;
}

VOID CloseAddress(HANDLE handle, PFILE_OBJECT object) {
  if (handle != NULL) ZwClose(handle);
  if (object != NULL) ObDereferenceObject(object);
}

// Opens a new address object and publishes it. Caller holds ReopenGate.
NTSTATUS OpenAndPublish() {
  auto attribute = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ENDPOINT_ATTRIBUTE_SIZE, POOL_TAG);
  if (attribute == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(attribute, ENDPOINT_ATTRIBUTE_SIZE);
  BuildEndpointAttribute(attribute, LINK_PORT, 0);
  HANDLE handle = NULL;
  PFILE_OBJECT object = NULL;
  NTSTATUS status = OpenTransportAddress(LinkTransportDevice, ENDPOINT_ATTRIBUTE_SIZE, attribute,
                                         &handle, &object);
  ExFreePool(attribute);
  if (!NT_SUCCESS(status)) return status;

  HANDLE retiredHandle = NULL;
  PFILE_OBJECT idleObject = NULL;
  KIRQL oldIrql = KfAcquireSpinLock(&EndpointLock);
  EndpointSlot* slot = EndpointClosed ? NULL : FreeSlot();
  if (slot == NULL) {
    KfReleaseSpinLock(&EndpointLock, oldIrql);
    CloseAddress(handle, object);
    return EndpointClosed ? STATUS_CANCELLED : STATUS_INSUFFICIENT_RESOURCES;
  }
  EndpointSlot* previous = SlotOf(UdpAddressObject);
  slot->Object = object;
  slot->Handle = handle;
  slot->Borrowers = 0;
  slot->Retired = FALSE;
  WriteShared(UdpAddressObject, object);
  UdpAddressHandle = handle;
  if (previous != NULL) {
    previous->Retired = TRUE;
    retiredHandle = previous->Handle;
    previous->Handle = NULL;
    if (previous->Borrowers == 0) {
      idleObject = previous->Object;
      previous->Object = NULL;
    }
  }
  KfReleaseSpinLock(&EndpointLock, oldIrql);
  CloseAddress(retiredHandle, idleObject);
  return STATUS_SUCCESS;
}

}  // namespace

PCWSTR LinkTransportDevice = TXT("\\device\\udp");

VOID BuildEndpointAttribute(PUCHAR buffer, USHORT port, ULONG address) {
  auto ea = (PFILE_FULL_EA_INFORMATION)buffer;
  ea->NextEntryOffset = 0;
  ea->Flags = 0;
  ea->EaNameLength = (UCHAR)TDI_TRANSPORT_ADDRESS_LENGTH;
  ea->EaValueLength = sizeof(TA_IP_ADDRESS);
  RtlCopyMemory(ea->EaName, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH + 1);
  auto value = (PTA_IP_ADDRESS)(buffer + 8 + TDI_TRANSPORT_ADDRESS_LENGTH + 1);
  value->TAAddressCount = 1;
  value->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
  value->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
  value->Address[0].Address[0].sin_port = NetworkShort(port);
  value->Address[0].Address[0].in_addr = NetworkLong(address);
}

NTSTATUS OpenTransportAddress(PCWSTR deviceName, ULONG attributeLength, PVOID attribute,
                              PHANDLE handle, PFILE_OBJECT* fileObject) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, deviceName);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
  IO_STATUS_BLOCK statusBlock;
  NTSTATUS status = ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE, &attributes, &statusBlock,
                                 NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_IF, 0, attribute, attributeLength);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(*handle, GENERIC_READ | GENERIC_WRITE, NULL, KernelMode,
                                     (PVOID*)fileObject, NULL);
  if (!NT_SUCCESS(status)) {
    ZwClose(*handle);
    *handle = NULL;
    *fileObject = NULL;
  }
  return status;
}

VOID InitializeUdpEndpoint() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KeInitializeSpinLock(&EndpointLock);
  KeInitializeEvent(&ReopenGate, SynchronizationEvent, TRUE);
  for (EndpointSlot& slot : Slots) {
    slot.Object = NULL;
    slot.Handle = NULL;
    slot.Borrowers = 0;
    slot.Retired = FALSE;
  }
  EndpointClosed = FALSE;
  UdpAddressObject = NULL;
  UdpAddressHandle = NULL;
}

NTSTATUS OpenUdpEndpoint() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KeWaitForSingleObject(&ReopenGate, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = OpenAndPublish();
  KeSetEvent(&ReopenGate, 0, FALSE);
  return status;
}

NTSTATUS ReopenUdpEndpoint(PFILE_OBJECT failed) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  if (ReadShared(Unloading)) return STATUS_CANCELLED;
  KeWaitForSingleObject(&ReopenGate, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = STATUS_SUCCESS;
  PFILE_OBJECT published = ReadShared(UdpAddressObject);
  if (!ReadShared(Unloading) && (published == failed || published == NULL)) {
    status = OpenAndPublish();
  }
  KeSetEvent(&ReopenGate, 0, FALSE);
  return status;
}

BOOLEAN IsRetiredUdpAddress(PFILE_OBJECT object) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL oldIrql = KfAcquireSpinLock(&EndpointLock);
  EndpointSlot* slot = SlotOf(object);
  BOOLEAN retired = (BOOLEAN)(slot != NULL && slot->Retired);
  KfReleaseSpinLock(&EndpointLock, oldIrql);
  return retired;
}

PFILE_OBJECT AcquireUdpAddress() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL oldIrql = KfAcquireSpinLock(&EndpointLock);
  PFILE_OBJECT object = UdpAddressObject;
  EndpointSlot* slot = SlotOf(object);
  if (slot != NULL) slot->Borrowers++;
  KfReleaseSpinLock(&EndpointLock, oldIrql);
  return slot != NULL ? object : NULL;
}

VOID ReleaseUdpAddress(PFILE_OBJECT fileObject) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  if (fileObject == NULL) return;
  PFILE_OBJECT idleObject = NULL;
  KIRQL oldIrql = KfAcquireSpinLock(&EndpointLock);
  EndpointSlot* slot = SlotOf(fileObject);
  if (slot != NULL && --slot->Borrowers == 0 && slot->Retired) {
    idleObject = slot->Object;
    slot->Object = NULL;
  }
  KfReleaseSpinLock(&EndpointLock, oldIrql);
  CloseAddress(NULL, idleObject);
}

VOID ShutdownUdpEndpoint() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL oldIrql = KfAcquireSpinLock(&EndpointLock);
  EndpointClosed = TRUE;
  EndpointSlot* current = SlotOf(UdpAddressObject);
  HANDLE handle = NULL;
  if (current != NULL) {
    handle = current->Handle;
    current->Handle = NULL;
  }
  KfReleaseSpinLock(&EndpointLock, oldIrql);
  if (handle != NULL) ZwClose(handle);
}

VOID ReleaseUdpEndpoint() {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  for (EndpointSlot& slot : Slots) {
    CloseAddress(slot.Handle, slot.Object);
    slot.Handle = NULL;
    slot.Object = NULL;
    slot.Borrowers = 0;
  }
  UdpAddressObject = NULL;
  UdpAddressHandle = NULL;
}
