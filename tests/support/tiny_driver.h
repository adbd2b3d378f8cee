// A tiny driver for I/O manager tests: one host driver object whose request handlers are
// lambdas set by the test, with a journal of every request its devices received. One
// TinyDriver exists at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel.h"

namespace testsupport {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

struct JournalEntry {
  UCHAR major;
  PDEVICE_OBJECT device;
  PFILE_OBJECT file;
};

class TinyDriver {
 public:
  explicit TinyDriver(std::u16string_view name = u"\\Driver\\Tiny");
  ~TinyDriver();  // deletes the devices still there and the driver object
  TinyDriver(const TinyDriver&) = delete;
  TinyDriver& operator=(const TinyDriver&) = delete;

  PDRIVER_OBJECT Driver() const { return driver_; }
  // A device with the given name (empty: unnamed), extension size, exclusivity and flags.
  PDEVICE_OBJECT AddDevice(std::u16string_view name, ULONG extensionSize = 0,
                           bool exclusive = false, ULONG flags = 0);
  // Every request class answers with success and no bytes until a handler is set.
  void On(UCHAR major, Handler handler);
  const std::vector<JournalEntry>& Journal() const;
  std::vector<UCHAR> Majors() const;

 private:
  PDRIVER_OBJECT driver_;
};

// Completes the request with the status and information and returns the status.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// Completes the request with `bytes` cut to a read's length or a device control's output
// length (none when `status` fails); returns the status.
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, const std::vector<uint8_t>& bytes);

// Requests a test driver holds pending, oldest first, from any thread: a cancellable one ends
// cancelled when cancelled, the other waits for its release whatever happens.
NTSTATUS Hold(PIRP irp, bool cancellable = true);
// Completes the oldest held request as CompleteWith does; false if none is held.
bool ReleaseOldest(NTSTATUS status, const std::vector<uint8_t>& bytes = {});
size_t HeldCount();
// Ends every cancellable request held as cancelled.
void CancelAllHeld();

// A counted string over a UTF-16 literal (kept alive by the caller).
UNICODE_STRING Counted(std::u16string& text);

}  // namespace testsupport
