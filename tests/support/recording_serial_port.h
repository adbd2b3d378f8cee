// A COM port whose driver records every request it gets (class, control code, input bytes,
// output or read length) and answers as the test tells it: the stand-in for the serial driver
// when what matters is which requests a caller sends, in which order, and what it does with
// the answers. Requests may come from any thread. One RecordingSerialPort exists at a time.
//
// Device controls and writes are answered at once (by default: success, no bytes; writes:
// every byte). Reads, and the device controls the test holds, stay pending until the test
// releases them or they are cancelled; cleanup cancels every request still held.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kernel.h"
#include "support/tiny_driver.h"

namespace testsupport {

// The bytes of a structure, as a request's buffer carries it.
template <typename T>
std::vector<uint8_t> BytesOf(const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(bytes, bytes + sizeof(T));
}

struct RecordedRequest {
  UCHAR major = 0;
  ULONG code = 0;               // device controls
  std::vector<uint8_t> input;   // a device control's input or a write's bytes
  ULONG length = 0;             // a device control's output length or a read's length
};

class RecordingSerialPort {
 public:
  // An exclusive, buffered device "\Device\RecordingSerial0" reached as `comName`.
  explicit RecordingSerialPort(const std::string& comName = "COM3");
  ~RecordingSerialPort();
  RecordingSerialPort(const RecordingSerialPort&) = delete;
  RecordingSerialPort& operator=(const RecordingSerialPort&) = delete;

  void AnswerCreate(NTSTATUS status) { std::lock_guard lock(mutex_); createStatus_ = status; }
  // The answer to every later request with this control code.
  void Answer(ULONG code, NTSTATUS status, std::vector<uint8_t> output = {});
  template <typename T>
  void AnswerWith(ULONG code, const T& value) {
    Answer(code, STATUS_SUCCESS, BytesOf(value));
  }
  // Requests with this control code stay pending like reads.
  void Hold(ULONG code) { std::lock_guard lock(mutex_); heldCodes_.push_back(code); }

  // Completes the oldest held request with `bytes` (cut to its length); false if none is held.
  bool ReleaseOldest(NTSTATUS status, const std::vector<uint8_t>& bytes = {}) {
    return testsupport::ReleaseOldest(status, bytes);
  }
  size_t HeldCount() const { return testsupport::HeldCount(); }

  std::vector<RecordedRequest> Requests() const { std::lock_guard lock(mutex_); return requests_; }
  // The majors of every request, and the control codes of the device controls, in order.
  std::vector<UCHAR> Majors() const;
  std::vector<ULONG> Codes() const;
  void Clear() { std::lock_guard lock(mutex_); requests_.clear(); }

 private:
  NTSTATUS Dispatch(PIRP irp);

  TinyDriver driver_{u"\\Driver\\RecordingSerial"};
  std::string link_;
  mutable std::mutex mutex_;  // guards what follows
  NTSTATUS createStatus_ = STATUS_SUCCESS;
  std::map<ULONG, std::pair<NTSTATUS, std::vector<uint8_t>>> answers_;
  std::vector<ULONG> heldCodes_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace testsupport
