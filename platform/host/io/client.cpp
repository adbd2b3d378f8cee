// The client API (io_client.h): requests built for an application's reads, writes, controls,
// information requests and flushes, with the transfer rules of the device's flags.
#include "host/io/client.h"

#include <cstring>

#include "host/io/submit.h"
#include "host/ke/irql_checks.h"
#include "host/ob/object_names.h"
#include "host/rtl/wide_text.h"
#include "kernel.h"

namespace host::io {

// What one request asks for: its class and parameters, and the caller's buffer.
struct RequestSetup {
  UCHAR major = 0;
  void* buffer = nullptr;  // the caller's buffer for transfers
  ULONG length = 0;
  bool output = false;     // the driver writes into the buffer
  FILE_INFORMATION_CLASS infoClass = FileBasicInformation;
  ULONG controlCode = 0;
  const void* controlInput = nullptr;
  ULONG controlInputLength = 0;
  NTSTATUS refusal = STATUS_SUCCESS;  // the call refuses the request before any IRP is built
};

namespace {

// The smallest buffer the platform's information calls accept for a class, before any request
// is built: the size of the class's structure; 0 for a class the call does not take.
ULONG MinimumInformationLength(FILE_INFORMATION_CLASS type, bool query) {
  struct Minimum {
    int type;
    ULONG query;
    ULONG set;
  };
  static constexpr Minimum kMinimums[] = {
      {4, 40, 40},   // FileBasicInformation
      {5, 24, 0},    // FileStandardInformation
      {6, 8, 0},     // FileInternalInformation
      {7, 4, 0},     // FileEaInformation
      {8, 4, 0},     // FileAccessInformation
      {9, 8, 0},     // FileNameInformation
      {13, 0, 1},    // FileDispositionInformation
      {14, 8, 8},    // FilePositionInformation
      {16, 4, 4},    // FileModeInformation
      {17, 4, 0},    // FileAlignmentInformation
      {18, 104, 0},  // FileAllInformation
      {19, 0, 8},    // FileAllocationInformation
      {20, 0, 8},    // FileEndOfFileInformation
      {21, 8, 0},    // FileAlternateNameInformation
      {28, 16, 0},   // FileCompressionInformation
      {34, 56, 0},   // FileNetworkOpenInformation
      {35, 8, 0},    // FileAttributeTagInformation
  };
  for (const Minimum& minimum : kMinimums) {
    if (minimum.type == static_cast<int>(type)) return query ? minimum.query : minimum.set;
  }
  return 0;
}

// The status the information call refuses a class or length with, or STATUS_SUCCESS.
NTSTATUS CheckInformationRequest(FILE_INFORMATION_CLASS type, ULONG length, bool query) {
  const ULONG minimum = MinimumInformationLength(type, query);
  if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
  return length < minimum ? STATUS_INFO_LENGTH_MISMATCH : STATUS_SUCCESS;
}

void RequirePassive(const char* routine) {
  ke::RequireIrqlAtMost(PASSIVE_LEVEL, "IO_CALL_AT_RAISED_IRQL", routine);
}

// The transfer buffer of a read, write or information request by the device's I/O method:
// buffered devices get a system buffer (input copied in, output copied out at completion),
// direct-I/O devices a locked MDL, others the caller's pointer.
bool SetUpTransfer(PIRP irp, detail::RequestRecord* record, PDEVICE_OBJECT device,
                   const RequestSetup& setup, bool alwaysBuffered) {
  if (setup.length == 0 || setup.buffer == nullptr) return true;
  if (alwaysBuffered || (device->Flags & DO_BUFFERED_IO)) {
    record->systemBuffer = detail::NewSystemBuffer(setup.length);
    irp->AssociatedIrp.SystemBuffer = record->systemBuffer;
    if (setup.output) {
      record->copyOutTo = setup.buffer;
      record->copyOutLimit = setup.length;
    } else {
      std::memcpy(record->systemBuffer, setup.buffer, setup.length);
    }
    irp->UserBuffer = setup.buffer;
    return true;
  }
  if (device->Flags & DO_DIRECT_IO) {
    PMDL mdl = IoAllocateMdl(setup.buffer, setup.length, FALSE, FALSE, irp);
    if (mdl == nullptr) return false;
    MmProbeAndLockPages(mdl, UserMode, setup.output ? IoWriteAccess : IoReadAccess);
    return true;
  }
  irp->UserBuffer = setup.buffer;
  return true;
}

Result ResultOf(const detail::ClientState& state) { return Result{state.status, state.information}; }

}  // namespace

// ---- AsyncRequest ----

AsyncRequest::AsyncRequest(AsyncRequest&& other) noexcept
    : state_(std::move(other.state_)), file_(std::move(other.file_)) {}

AsyncRequest& AsyncRequest::operator=(AsyncRequest&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
    file_ = std::move(other.file_);
  }
  return *this;
}

AsyncRequest::~AsyncRequest() { Release(); }

void AsyncRequest::Release() {
  if (state_ && !Done()) {
    Cancel();
    detail::WaitDone(*state_);
  }
  state_.reset();
  if (file_) {
    auto file = std::move(file_);
    ObfDereferenceObject(file->Body());  // may be the last reference: the driver's close
  }
}

bool AsyncRequest::Done() const {
  if (!state_) return true;
  std::lock_guard lock(state_->lock);
  return state_->done;
}

Result AsyncRequest::Wait() {
  if (!state_) return Result{STATUS_INVALID_HANDLE, 0};
  detail::WaitDone(*state_);
  return Current();
}

std::optional<Result> AsyncRequest::WaitFor(std::chrono::nanoseconds realLimit) {
  if (!state_) return Result{STATUS_INVALID_HANDLE, 0};
  if (!detail::WaitDoneFor(*state_, realLimit)) return std::nullopt;
  return Current();
}

Result AsyncRequest::Current() const {
  if (!state_) return Result{STATUS_INVALID_HANDLE, 0};
  std::lock_guard lock(state_->lock);
  return ResultOf(*state_);
}

NTSTATUS AsyncRequest::DispatchStatus() const {
  if (!state_) return STATUS_INVALID_HANDLE;
  std::lock_guard lock(state_->lock);
  return state_->dispatched ? state_->dispatchStatus : STATUS_PENDING;
}

bool AsyncRequest::Cancel() { return state_ && detail::CancelInFlight(*state_); }

// ---- File ----

File::File(File&& other) noexcept : handle_(other.handle_), object_(std::move(other.object_)) {
  other.handle_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    object_ = std::move(other.object_);
    other.handle_ = nullptr;
  }
  return *this;
}

File::~File() { Close(); }

PFILE_OBJECT File::FileObject() const { return object_ ? object_->File() : nullptr; }

PDEVICE_OBJECT File::Device() const { return object_ ? object_->File()->DeviceObject : nullptr; }

NTSTATUS File::Close() {
  if (handle_ == nullptr) return STATUS_INVALID_HANDLE;
  RequirePassive("host::io::File::Close");
  HANDLE handle = handle_;
  handle_ = nullptr;
  NTSTATUS status = ZwClose(handle);
  object_.reset();
  return status;
}

AsyncRequest File::Start(const RequestSetup& setup) {
  RequirePassive("host::io::File");
  AsyncRequest request;
  if (!object_ || handle_ == nullptr || !NT_SUCCESS(setup.refusal)) {
    request.state_ = std::make_shared<detail::ClientState>();
    request.state_->done = true;
    request.state_->status = NT_SUCCESS(setup.refusal) ? STATUS_INVALID_HANDLE : setup.refusal;
    return request;
  }
  ob::ReferenceBody(object_);
  request.file_ = object_;
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(object_->File());
  request.state_ = detail::Submit(
      object_->File(), object_->Mode(), [&](PIRP irp, PIO_STACK_LOCATION stack, detail::RequestRecord* record) {
        stack->MajorFunction = setup.major;
        switch (setup.major) {
          case IRP_MJ_READ:
            stack->Parameters.Read.Length = setup.length;
            return SetUpTransfer(irp, record, device, setup, false);
          case IRP_MJ_WRITE:
            stack->Parameters.Write.Length = setup.length;
            return SetUpTransfer(irp, record, device, setup, false);
          case IRP_MJ_QUERY_INFORMATION:
            stack->Parameters.QueryFile.Length = setup.length;
            stack->Parameters.QueryFile.FileInformationClass = setup.infoClass;
            return SetUpTransfer(irp, record, device, setup, true);
          case IRP_MJ_SET_INFORMATION:
            stack->Parameters.SetFile.Length = setup.length;
            stack->Parameters.SetFile.FileInformationClass = setup.infoClass;
            return SetUpTransfer(irp, record, device, setup, true);
          case IRP_MJ_DEVICE_CONTROL:
            return detail::SetUpControlBuffers(irp, setup.controlCode,
                                               const_cast<void*>(setup.controlInput),
                                               setup.controlInputLength, setup.buffer, setup.length);
          default:
            return true;
        }
      });
  return request;
}

AsyncRequest File::ReadAsync(void* buffer, ULONG length) {
  RequestSetup setup;
  setup.major = IRP_MJ_READ;
  setup.buffer = buffer;
  setup.length = length;
  setup.output = true;
  return Start(setup);
}

AsyncRequest File::WriteAsync(const void* data, ULONG length) {
  RequestSetup setup;
  setup.major = IRP_MJ_WRITE;
  setup.buffer = const_cast<void*>(data);
  setup.length = length;
  return Start(setup);
}

AsyncRequest File::DeviceControlAsync(ULONG code, const void* input, ULONG inputLength,
                                      void* output, ULONG outputLength) {
  RequestSetup setup;
  setup.major = IRP_MJ_DEVICE_CONTROL;
  setup.controlCode = code;
  setup.controlInput = input;
  setup.controlInputLength = inputLength;
  setup.buffer = output;
  setup.length = outputLength;
  setup.output = true;
  return Start(setup);
}

AsyncRequest File::QueryInformationAsync(FILE_INFORMATION_CLASS type, void* output, ULONG length) {
  RequestSetup setup;
  setup.major = IRP_MJ_QUERY_INFORMATION;
  setup.infoClass = type;
  setup.refusal = CheckInformationRequest(type, length, true);
  setup.buffer = output;
  setup.length = length;
  setup.output = true;
  return Start(setup);
}

AsyncRequest File::SetInformationAsync(FILE_INFORMATION_CLASS type, const void* input, ULONG length) {
  RequestSetup setup;
  setup.major = IRP_MJ_SET_INFORMATION;
  setup.infoClass = type;
  setup.refusal = CheckInformationRequest(type, length, false);
  setup.buffer = const_cast<void*>(input);
  setup.length = length;
  return Start(setup);
}

AsyncRequest File::FlushAsync() {
  RequestSetup setup;
  setup.major = IRP_MJ_FLUSH_BUFFERS;
  return Start(setup);
}

Result File::Read(void* buffer, ULONG length) { return ReadAsync(buffer, length).Wait(); }

Result File::Write(const void* data, ULONG length) { return WriteAsync(data, length).Wait(); }

Result File::DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength) {
  return DeviceControlAsync(code, input, inputLength, output, outputLength).Wait();
}

Result File::QueryInformation(FILE_INFORMATION_CLASS type, void* output, ULONG length) {
  return QueryInformationAsync(type, output, length).Wait();
}

Result File::SetInformation(FILE_INFORMATION_CLASS type, const void* input, ULONG length) {
  return SetInformationAsync(type, input, length).Wait();
}

Result File::Flush() { return FlushAsync().Wait(); }

OpenResult Open(std::string_view name, const OpenOptions& options) {
  RequirePassive("host::io::Open");
  OpenResult result;
  PDEVICE_OBJECT device = ob::ResolveDevice(rtl::FromUtf8(name));
  if (device == nullptr) {
    result.status = STATUS_OBJECT_NAME_NOT_FOUND;
    return result;
  }
  std::shared_ptr<io::FileObject> object;
  result.status = OpenFileObject(device, u"", options, &object);
  if (NT_SUCCESS(result.status)) {
    result.file.object_ = object;
    result.file.handle_ = ob::InsertHandle(object);
  }
  return result;
}

}  // namespace host::io
