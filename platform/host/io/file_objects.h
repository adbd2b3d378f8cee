// Private to platform/host/io.
// File objects: what an open of a device yields, as host objects reached by handle. The last
// handle closed sends IRP_MJ_CLEANUP to the device's driver, the last reference (requests in
// flight hold one) sends IRP_MJ_CLOSE. Opening is shared by ZwCreateFile and the client API.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host/ddk/io.h"
#include "host/ob/objects.h"

namespace host::io {

// What an open asks for, as ZwCreateFile takes it.
struct OpenOptions {
  ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
  ULONG fileAttributes = 0;
  ULONG shareAccess = 0;
  ULONG disposition = FILE_OPEN;
  ULONG createOptions = 0;
  const void* eaBuffer = nullptr;  // extended attributes, copied into the create request
  ULONG eaLength = 0;
  KPROCESSOR_MODE mode = UserMode;  // requestor mode of every request on the file
};

class FileObject final : public ob::Object {
 public:
  FileObject(PDEVICE_OBJECT device, std::u16string_view fileName, KPROCESSOR_MODE mode);
  ~FileObject() override;
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;

  void* Body() override { return &file_; }
  PFILE_OBJECT File() { return &file_; }
  KPROCESSOR_MODE Mode() const { return mode_; }
  void OnLastHandleClosed() override;
  void OnLastReference() override;

 private:
  friend NTSTATUS OpenFileObject(PDEVICE_OBJECT, std::u16string_view, const OpenOptions&,
                                 std::shared_ptr<FileObject>*);
  FILE_OBJECT file_{};
  std::u16string name_;
  KPROCESSOR_MODE mode_;
  // The driver accepted the create and is owed a close. Set by the open; read by the cleanup
  // and cleared by the close, which the object manager sends only after the cleanup ended.
  bool opened_ = false;
};

// Opens a file object on the device: an exclusive device with a file object already open
// refuses with STATUS_ACCESS_DENIED before its driver sees anything; otherwise the driver
// gets IRP_MJ_CREATE and its status is returned. The file object is not in the handle table.
NTSTATUS OpenFileObject(PDEVICE_OBJECT device, std::u16string_view fileName,
                        const OpenOptions& options, std::shared_ptr<FileObject>* opened);

}  // namespace host::io
