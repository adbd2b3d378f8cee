// File objects and ZwCreateFile (file_objects.h). Opening, cleanup and close run at
// PASSIVE_LEVEL on the thread that opens or lets go of the file.
#include "host/io/file_objects.h"

#include <cstring>

#include "host/io/records.h"
#include "host/io/submit.h"
#include "host/ke/irql_checks.h"
#include "host/ob/object_names.h"
#include "host/rtl/wide_text.h"
#include "kernel.h"

namespace host::io {
namespace {

constexpr CSHORT kFileObjectType = 5;
constexpr ULONG_PTR kFileOpened = 1;  // IO_STATUS_BLOCK.Information of a successful open

// Sends a cleanup or close request and waits for it.
void SendAndWait(PFILE_OBJECT file, KPROCESSOR_MODE mode, UCHAR major) {
  auto state = detail::Submit(file, mode, [major](PIRP, PIO_STACK_LOCATION stack, detail::RequestRecord*) {
    stack->MajorFunction = major;
    return true;
  });
  detail::WaitDone(*state);
}

}  // namespace

FileObject::FileObject(PDEVICE_OBJECT device, std::u16string_view fileName, KPROCESSOR_MODE mode)
    : name_(fileName), mode_(mode) {
  file_.Type = kFileObjectType;
  file_.Size = sizeof(FILE_OBJECT);
  file_.DeviceObject = device;
  file_.FileName.Buffer = name_.data();
  file_.FileName.Length = static_cast<USHORT>(name_.size() * sizeof(WCHAR));
  file_.FileName.MaximumLength = file_.FileName.Length;
  file_.HostFile = this;
}

FileObject::~FileObject() = default;

void FileObject::OnLastHandleClosed() {
  if (opened_) SendAndWait(&file_, mode_, IRP_MJ_CLEANUP);
}

void FileObject::OnLastReference() {
  if (!opened_) return;
  opened_ = false;
  SendAndWait(&file_, mode_, IRP_MJ_CLOSE);
  detail::DereferenceAfterClose(file_.DeviceObject);
}

NTSTATUS OpenFileObject(PDEVICE_OBJECT device, std::u16string_view fileName,
                        const OpenOptions& options, std::shared_ptr<FileObject>* opened) {
  ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", "OpenFileObject");
  NTSTATUS status = detail::ReferenceForOpen(device);
  if (!NT_SUCCESS(status)) return status;
  auto file = std::make_shared<FileObject>(device, fileName, options.mode);
  auto state = detail::Submit(file->File(), options.mode,
                              [&](PIRP irp, PIO_STACK_LOCATION stack, detail::RequestRecord* record) {
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->Parameters.Create.Options = (options.disposition << 24) | (options.createOptions & 0x00FFFFFF);
    stack->Parameters.Create.FileAttributes = static_cast<USHORT>(options.fileAttributes);
    stack->Parameters.Create.ShareAccess = static_cast<USHORT>(options.shareAccess);
    stack->Parameters.Create.EaLength = options.eaBuffer != nullptr ? options.eaLength : 0;
    if (options.eaBuffer != nullptr && options.eaLength != 0) {
      record->systemBuffer = detail::NewSystemBuffer(options.eaLength);
      std::memcpy(record->systemBuffer, options.eaBuffer, options.eaLength);
      irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
    }
    return true;
  });
  detail::WaitDone(*state);
  if (!NT_SUCCESS(state->status)) {
    detail::DereferenceAfterClose(device);
    return state->status;
  }
  file->opened_ = true;
  *opened = std::move(file);
  return state->status;
}

}  // namespace host::io

extern "C" {

// Opens a device by name (following symbolic links) and returns a kernel handle to the new
// file object. The extended attributes reach the driver in the create request's system buffer.
NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                            PVOID EaBuffer, ULONG EaLength) {
  (void)AllocationSize;
  host::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", "ZwCreateFile");
  if (FileHandle == nullptr || ObjectAttributes == nullptr || IoStatusBlock == nullptr ||
      ObjectAttributes->ObjectName == nullptr || ObjectAttributes->RootDirectory != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  PDEVICE_OBJECT device = host::ob::ResolveDevice(host::rtl::View(ObjectAttributes->ObjectName));
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  std::shared_ptr<host::io::FileObject> file;
  if (device != nullptr) {
    host::io::OpenOptions options;
    options.access = DesiredAccess;
    options.fileAttributes = FileAttributes;
    options.shareAccess = ShareAccess;
    options.disposition = CreateDisposition;
    options.createOptions = CreateOptions;
    options.eaBuffer = EaBuffer;
    options.eaLength = EaLength;
    options.mode = KernelMode;
    status = host::io::OpenFileObject(device, u"", options, &file);
  }
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = NT_SUCCESS(status) ? host::io::kFileOpened : 0;
  if (NT_SUCCESS(status)) *FileHandle = host::ob::InsertHandle(file);
  return status;
}

}  // extern "C"
