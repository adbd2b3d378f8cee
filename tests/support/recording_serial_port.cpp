#include "support/recording_serial_port.h"

#include <algorithm>

#include "host/ob/object_names.h"

namespace testsupport {

static RecordedRequest Record(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto* system = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  RecordedRequest r{.major = stack->MajorFunction};
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

RecordingSerialPort::RecordingSerialPort(const std::string& comName) : link_("\\DosDevices\\" + comName) {
  driver_.AddDevice(u"\\Device\\RecordingSerial0", 0, true, DO_BUFFERED_IO);
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    driver_.On(major, [this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); });
  }
  host::ob::CreateLink(link_, "\\Device\\RecordingSerial0");
}

RecordingSerialPort::~RecordingSerialPort() {
  CancelAllHeld();
  host::ob::DeleteLink(link_);
}

NTSTATUS RecordingSerialPort::Dispatch(PIRP irp) {
  RecordedRequest r = Record(irp);
  const UCHAR major = r.major;
  std::pair<NTSTATUS, std::vector<uint8_t>> answer{STATUS_SUCCESS, {}};
  bool hold = major == IRP_MJ_READ;
  {
    std::lock_guard lock(mutex_);
    if (major == IRP_MJ_CREATE) answer.first = createStatus_;
    if (major == IRP_MJ_DEVICE_CONTROL) {
      if (auto found = answers_.find(r.code); found != answers_.end()) answer = found->second;
      hold = std::find(heldCodes_.begin(), heldCodes_.end(), r.code) != heldCodes_.end();
    }
  }
  // A held request is recorded only once it is held, so that a test that sees it recorded can
  // release it.
  const NTSTATUS held = hold ? testsupport::Hold(irp) : STATUS_SUCCESS;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(r));
  }
  if (hold) return held;
  if (major == IRP_MJ_CLEANUP) CancelAllHeld();
  if (major == IRP_MJ_WRITE) {
    return Complete(irp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
  }
  return CompleteWith(irp, answer.first, answer.second);
}

void RecordingSerialPort::Answer(ULONG code, NTSTATUS status, std::vector<uint8_t> output) {
  std::lock_guard lock(mutex_);
  answers_[code] = {status, std::move(output)};
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

}  // namespace testsupport
