#include "support/recording_serial_port.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "host/io/io_manager.h"
#include "host/ob/object_names.h"
#include "support/tiny_driver.h"

namespace testsupport {

namespace {

struct Answer {
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> output;
};

// The driver's state, shared by its dispatch routines; every field under `mutex`.
struct State {
  std::mutex mutex;
  NTSTATUS createStatus = STATUS_SUCCESS;
  std::map<ULONG, Answer> answers;
  std::vector<ULONG> heldCodes;
  std::vector<RecordedRequest> requests;
};

State* state = nullptr;
PDRIVER_OBJECT driver = nullptr;
std::string link;

constexpr char16_t kDeviceName[] = u"\\Device\\RecordingSerial0";

RecordedRequest Record(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RecordedRequest r;
  r.major = stack->MajorFunction;
  const auto* system = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  if (r.major == IRP_MJ_DEVICE_CONTROL) {
    r.code = stack->Parameters.DeviceIoControl.IoControlCode;
    r.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (system) r.input.assign(system, system + stack->Parameters.DeviceIoControl.InputBufferLength);
  } else if (r.major == IRP_MJ_WRITE && system) {
    r.input.assign(system, system + stack->Parameters.Write.Length);
  } else if (r.major == IRP_MJ_READ) {
    r.length = stack->Parameters.Read.Length;
  }
  return r;
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
  RecordedRequest r = Record(irp);
  const UCHAR major = r.major;
  const ULONG code = r.code;
  Answer answer;
  bool hold = major == IRP_MJ_READ;
  {
    std::lock_guard lock(state->mutex);
    if (major == IRP_MJ_CREATE) answer.status = state->createStatus;
    if (major == IRP_MJ_DEVICE_CONTROL) {
      if (auto found = state->answers.find(code); found != state->answers.end()) answer = found->second;
      hold = std::find(state->heldCodes.begin(), state->heldCodes.end(), code) != state->heldCodes.end();
    }
  }
  // A held request is recorded only once it is held, so that a test that sees it recorded can
  // release it.
  const NTSTATUS held = hold ? Hold(irp) : STATUS_SUCCESS;
  {
    std::lock_guard lock(state->mutex);
    state->requests.push_back(std::move(r));
  }
  if (hold) return held;
  if (major == IRP_MJ_CLEANUP) CancelAllHeld();
  if (major == IRP_MJ_WRITE) {
    return Complete(irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
  }
  return CompleteWith(irp, answer.status, answer.output);
}

}  // namespace

RecordingSerialPort::RecordingSerialPort(const std::string& comName) {
  state = new State;
  driver = host::io::CreateHostDriver(u"\\Driver\\RecordingSerial");
  for (auto& entry : driver->MajorFunction) entry = Dispatch;
  std::u16string name = kDeviceName;
  UNICODE_STRING counted = Counted(name);
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, 0, &counted, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
  device->Flags |= DO_BUFFERED_IO;
  link = "\\DosDevices\\" + comName;
  host::ob::CreateLink(link, "\\Device\\RecordingSerial0");
}

RecordingSerialPort::~RecordingSerialPort() {
  CancelAllHeld();
  host::ob::DeleteLink(link);
  while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
  host::io::DeleteHostDriver(driver);
  delete state;
  state = nullptr;
}

void RecordingSerialPort::AnswerCreate(NTSTATUS status) {
  std::lock_guard lock(state->mutex);
  state->createStatus = status;
}

void RecordingSerialPort::Answer(ULONG code, NTSTATUS status, std::vector<uint8_t> output) {
  std::lock_guard lock(state->mutex);
  state->answers[code] = {status, std::move(output)};
}

void RecordingSerialPort::Hold(ULONG code) {
  std::lock_guard lock(state->mutex);
  state->heldCodes.push_back(code);
}

bool RecordingSerialPort::ReleaseOldest(NTSTATUS status, const std::vector<uint8_t>& bytes) {
  return testsupport::ReleaseOldest(status, bytes);
}

size_t RecordingSerialPort::HeldCount() const { return testsupport::HeldCount(); }

std::vector<RecordedRequest> RecordingSerialPort::Requests() const {
  std::lock_guard lock(state->mutex);
  return state->requests;
}

std::vector<UCHAR> RecordingSerialPort::Majors() const {
  std::vector<UCHAR> majors;
  for (const RecordedRequest& r : Requests()) majors.push_back(r.major);
  return majors;
}

std::vector<ULONG> RecordingSerialPort::Codes() const {
  std::vector<ULONG> codes;
  for (const RecordedRequest& r : Requests()) {
    if (r.major == IRP_MJ_DEVICE_CONTROL) codes.push_back(r.code);
  }
  return codes;
}

void RecordingSerialPort::Clear() {
  std::lock_guard lock(state->mutex);
  state->requests.clear();
}

}  // namespace testsupport
