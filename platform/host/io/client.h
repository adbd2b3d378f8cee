// The client side of the I/O manager: what tests, tools and bridges use as an application
// uses a COM port. A File is an open handle to a device ("COM3", "\\.\COM3",
// "\DosDevices\COM3" or "\Device\x"); its requests go to the device's driver as IRPs built the
// way the platform builds them (buffered or direct transfer by the device's flags,
// RequestorMode UserMode, the caller's thread in the request). Every request has a
// synchronous form and an asynchronous one. Call from passive level (a test's thread).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

#include "host/ddk/io.h"
#include "host/io/file_objects.h"

namespace host::io {

namespace detail {
struct ClientState;
}

struct Result {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;  // bytes moved, as the driver reported it
};

// A request in flight. The caller's buffers must stay valid while it lives; destroying it
// before it is done cancels it and waits for it to finish. It holds a reference to its file
// object, so the driver's close comes only after every request object is gone.
class AsyncRequest {
 public:
  AsyncRequest() = default;
  AsyncRequest(AsyncRequest&& other) noexcept;
  AsyncRequest& operator=(AsyncRequest&& other) noexcept;
  AsyncRequest(const AsyncRequest&) = delete;
  AsyncRequest& operator=(const AsyncRequest&) = delete;
  ~AsyncRequest();

  bool Done() const;
  // Waits for completion without limit (the driver, a deferred call or a test's clock
  // advance on another thread completes it), or for at most a real-time limit.
  Result Wait();
  std::optional<Result> WaitFor(std::chrono::nanoseconds realLimit);
  // The result once done (status STATUS_PENDING while in flight).
  Result Current() const;
  // What the driver's dispatch routine returned.
  NTSTATUS DispatchStatus() const;
  // IoCancelIrp on the request: whether a cancel routine was called.
  bool Cancel();

 private:
  friend class File;
  void Release();
  std::shared_ptr<detail::ClientState> state_;
  std::shared_ptr<FileObject> file_;  // referenced while this object lives
};

class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool IsOpen() const { return handle_ != nullptr; }
  HANDLE Handle() const { return handle_; }
  PFILE_OBJECT FileObject() const;
  PDEVICE_OBJECT Device() const;

  Result Read(void* buffer, ULONG length);
  AsyncRequest ReadAsync(void* buffer, ULONG length);
  Result Write(const void* data, ULONG length);
  AsyncRequest WriteAsync(const void* data, ULONG length);
  // METHOD_BUFFERED codes: a system buffer of the larger length, the input copied in, the
  // reported information count (at most outputLength bytes) copied out.
  Result DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength);
  AsyncRequest DeviceControlAsync(ULONG code, const void* input, ULONG inputLength, void* output,
                                  ULONG outputLength);
  // As the platform's information calls do, a class they do not take is refused with
  // STATUS_INVALID_INFO_CLASS and a buffer smaller than the class's structure with
  // STATUS_INFO_LENGTH_MISMATCH, before the driver sees anything.
  Result QueryInformation(FILE_INFORMATION_CLASS type, void* output, ULONG length);
  AsyncRequest QueryInformationAsync(FILE_INFORMATION_CLASS type, void* output, ULONG length);
  Result SetInformation(FILE_INFORMATION_CLASS type, const void* input, ULONG length);
  AsyncRequest SetInformationAsync(FILE_INFORMATION_CLASS type, const void* input, ULONG length);
  Result Flush();
  AsyncRequest FlushAsync();

  // Closes the handle: the driver gets IRP_MJ_CLEANUP now and IRP_MJ_CLOSE once no request
  // object holds the file any more. Returns ZwClose's status (STATUS_INVALID_HANDLE if not open).
  NTSTATUS Close();

 private:
  friend struct OpenResult Open(std::string_view name, const OpenOptions& options);
  AsyncRequest Start(const struct RequestSetup& setup);
  HANDLE handle_ = nullptr;
  std::shared_ptr<io::FileObject> object_;
};

struct OpenResult {
  NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
  File file;
  explicit operator bool() const { return NT_SUCCESS(status); }
};

// Opens a device by name, following symbolic links. STATUS_OBJECT_NAME_NOT_FOUND for an
// unknown name, STATUS_ACCESS_DENIED for an exclusive device that is already open, the
// driver's status otherwise.
OpenResult Open(std::string_view name, const OpenOptions& options = {});

}  // namespace host::io
