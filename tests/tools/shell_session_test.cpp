// The request side of `tessacom shell` against a tiny driver: what reaches the driver, the
// answer lines, asynchronous requests with their done lines, ports chosen by name, and the end
// of a session.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "host/io/io_manager.h"
#include "kernel.h"
#include "shell/shell_command.h"
#include "shell/shell_session.h"
#include "support/executive_session.h"
#include "support/tiny_driver.h"

using namespace tessacom::shell;
using testsupport::Complete;
using testsupport::CompleteWith;
using testsupport::TinyDriver;
using testsupport::WaitUntil;

namespace {

using Answers = std::vector<std::string>;
using Majors = std::vector<UCHAR>;

// Completes the oldest read the driver holds with the bytes of `data`.
void CompleteHeld(std::string_view data) {
  ASSERT_TRUE(testsupport::ReleaseOldest(STATUS_SUCCESS, std::vector<uint8_t>(data.begin(), data.end())));
}

class ShellSessionTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    driver_ = std::make_unique<TinyDriver>();
    a_ = driver_->AddDevice(u"\\Device\\a", 0, false, DO_BUFFERED_IO);
    b_ = driver_->AddDevice(u"\\Device\\b", 0, false, DO_BUFFERED_IO);
    session_ = std::make_unique<Session>(writer_);
  }
  void TearDown() override {
    session_.reset();
    driver_.reset();
    ManualExecutive::TearDown();
  }

  // Runs the lines as standard input would bring them; returns the lines written meanwhile.
  Answers Script(const std::string& lines) {
    const size_t before = Lines().size();
    std::istringstream in(lines);
    RunCommands(in, *session_, writer_);
    const Answers all = Lines();
    return Answers(all.begin() + before, all.end());
  }
  // Every line written, split from the text the writer produced.
  Answers Lines() {
    std::lock_guard lock(outputLock_);
    Answers lines;
    std::istringstream text(output_.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  bool Written(const std::string& line) {
    return WaitUntil([&] { const Answers all = Lines(); return std::find(all.begin(), all.end(), line) != all.end(); });
  }
  Majors MajorsOn(PDEVICE_OBJECT device) {
    Majors majors;
    for (const auto& entry : driver_->Journal()) {
      if (entry.device == device) majors.push_back(entry.major);
    }
    return majors;
  }

  std::mutex outputLock_;
  std::ostringstream output_;
  // Writes a line in two pieces, as a stream does: only the writer's lock keeps lines whole.
  LineWriter writer_{[this](std::string_view line) {
    { std::lock_guard lock(outputLock_); output_ << line; }
    std::this_thread::yield();
    { std::lock_guard lock(outputLock_); output_ << '\n'; }
  }};
  std::unique_ptr<TinyDriver> driver_;
  PDEVICE_OBJECT a_ = nullptr;
  PDEVICE_OBJECT b_ = nullptr;
  std::unique_ptr<Session> session_;
};

// What reached the driver, a line a request: its class, its code or information class, and the
// bytes it carried (a query: its length).
Answers seen;
std::string Carried(PIRP irp, ULONG length) {
  return ToHex(static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer), length);
}

TEST_F(ShellSessionTest, RequestsReachTheDriverAndAnswersShowStatusCountAndReturnedBytes) {
  seen.clear();
  driver_->On(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    seen.push_back("ioctl " + std::to_string(p.IoControlCode) + " " + Carried(irp, p.InputBufferLength));
    if (p.IoControlCode == IOCTL_SERIAL_GET_PROPERTIES) return CompleteWith(irp, STATUS_SUCCESS, {1, 2, 3, 4});
    return Complete(irp, p.IoControlCode == 0x1B0006 ? static_cast<NTSTATUS>(0xC00000AB) : STATUS_INVALID_PARAMETER, 2);
  });
  driver_->On(IRP_MJ_QUERY_INFORMATION, [](PDEVICE_OBJECT, PIRP irp) {
    auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryFile;
    seen.push_back("query " + std::to_string(p.FileInformationClass) + " " + std::to_string(p.Length));
    if (p.FileInformationClass != FilePositionInformation) return Complete(irp, STATUS_INVALID_PARAMETER);
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x11, 8);
    return Complete(irp, STATUS_SUCCESS, 8);
  });
  driver_->On(IRP_MJ_SET_INFORMATION, [](PDEVICE_OBJECT, PIRP irp) {
    auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.SetFile;
    seen.push_back("set " + std::to_string(p.FileInformationClass) + " " + Carried(irp, p.Length));
    return Complete(irp, STATUS_SUCCESS);
  });

  EXPECT_EQ(Script("open \\Device\\a\nioctl GET_PROPERTIES out=4\nioctl IOCTL_SERIAL_SET_BAUD_RATE in=00c20100\n"
                   "ioctl 0x1B0006 out=8\nquery FilePositionInformation out=8\nquery FileBasicInformation\nquery 77\n"
                   "set FileEndOfFileInformation in=0102030405060708\nset FileEndOfFileInformation in=0102\nclose\n"),
            (Answers{"STATUS_SUCCESS 0", "STATUS_SUCCESS 4 01020304", "STATUS_INVALID_PARAMETER 2", "0xC00000AB 2",
                     "STATUS_SUCCESS 8 1111111111111111", "STATUS_INVALID_PARAMETER 0", "STATUS_INVALID_INFO_CLASS 0",
                     "STATUS_SUCCESS 0", "STATUS_INFO_LENGTH_MISMATCH 0", "STATUS_SUCCESS 0"}));
  EXPECT_EQ(seen, (Answers{"ioctl " + std::to_string(IOCTL_SERIAL_GET_PROPERTIES) + " ",
                           "ioctl " + std::to_string(IOCTL_SERIAL_SET_BAUD_RATE) + " 00c20100",
                           "ioctl " + std::to_string(0x1B0006) + " ", "query 14 8",
                           "query 4 " + std::to_string(kDefaultQueryLength), "set 20 0102030405060708"}));
  EXPECT_EQ(MajorsOn(a_), (Majors{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL,
                                 IRP_MJ_QUERY_INFORMATION, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION,
                                 IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

// Lines that cannot run are errors and send nothing; `@NAME` runs a line on another open port
// and leaves the current one.
TEST_F(ShellSessionTest, LinesThatCannotRunAreErrorsAndAtNameRunsOnAnotherOpenPort) {
  EXPECT_EQ(Script("read 4\nclose\nbogus\nopen \\Device\\a\n@\\Device\\b read 1\nopen \\device\\A\ncancel 9\n"
                   "await 9\nwrite 0\n"),
            (Answers{"error no current port: open one first", "error no current port: open one first",
                     "error unknown command 'bogus'", "STATUS_SUCCESS 0", "error '\\Device\\b' is not open",
                     "error '\\device\\A' is already open", "error no request 9", "error no request 9",
                     "error odd number of hex digits in '0'"}));
  EXPECT_EQ(driver_->Majors(), Majors{IRP_MJ_CREATE});

  Script("open \\Device\\b\n@\\Device\\a write 01\nwrite 02\n");
  EXPECT_EQ(MajorsOn(a_), (Majors{IRP_MJ_CREATE, IRP_MJ_WRITE}));
  EXPECT_EQ(MajorsOn(b_), (Majors{IRP_MJ_CREATE, IRP_MJ_WRITE}));
  EXPECT_EQ(Script("@\\device\\A close\nwrite 03\n@\\Device\\a write 04\nclose\nwrite 05\n"),
            (Answers{"STATUS_SUCCESS 0", "STATUS_SUCCESS 0", "error '\\Device\\a' is not open", "STATUS_SUCCESS 0",
                     "error no current port: open one first"}));
  EXPECT_EQ(MajorsOn(a_).back(), IRP_MJ_CLOSE);
  EXPECT_EQ(MajorsOn(b_), (Majors{IRP_MJ_CREATE, IRP_MJ_WRITE, IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}))
      << "b stayed the current port";
}

// Asynchronous requests answer `pending` and report their completion on a line of their own;
// the end of the session cancels what is in flight, closes every handle and names what was left.
TEST_F(ShellSessionTest, AsynchronousRequestsReportTheirCompletionAndTheEndCancelsWhatIsLeft) {
  driver_->On(IRP_MJ_READ, [this](PDEVICE_OBJECT device, PIRP irp) { return testsupport::Hold(irp, device == a_); });
  EXPECT_EQ(Script("open \\Device\\a\n&read 4\n&read 2\nawait 1 0\n"),
            (Answers{"STATUS_SUCCESS 0", "pending 1", "pending 2", "pending 1"}));
  CompleteHeld("hi");
  ASSERT_TRUE(Written("done 1 STATUS_SUCCESS 2 6869"));
  EXPECT_EQ(Script("await 1\n"), Answers{"STATUS_SUCCESS 2 6869"});
  const Answers cancel = Script("cancel 2\n");  // the done line may come first
  EXPECT_NE(std::find(cancel.begin(), cancel.end(), "cancel 2 TRUE"), cancel.end());
  ASSERT_TRUE(Written("done 2 STATUS_CANCELLED 0"));
  // A done line means the answer is final; a finished request is not cancelled.
  EXPECT_EQ(Script("await 2 0\ncancel 1\n&help\n"),
            (Answers{"STATUS_CANCELLED 0", "cancel 1 FALSE", "error '&' before help, which is not a request"}));

  // Reads 3 and 5 on a, 4 on b: b's read has no cancel routine and b's cleanup ends nothing.
  Script("&read 4\nopen \\Device\\b\n&read 4\n@\\Device\\a &read 1\n");
  FinishReport report = session_->Finish(std::chrono::milliseconds(50));
  EXPECT_EQ(std::tuple(report.cancelled, report.closed, report.unfinished),
            std::tuple(3u, 2u, Answers{"request 4 (read on \\Device\\b)"}));
  EXPECT_TRUE(Written("done 3 STATUS_CANCELLED 0") && Written("done 5 STATUS_CANCELLED 0"));
  EXPECT_EQ(MajorsOn(a_), (Majors{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_CLEANUP,
                                 IRP_MJ_CLOSE}));
  EXPECT_EQ(MajorsOn(b_), (Majors{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}))
      << "the close waits for the request that holds the file";
  CompleteHeld("");
  EXPECT_TRUE(Written("done 4 STATUS_SUCCESS 0"));
  session_.reset();
  EXPECT_EQ(MajorsOn(b_).back(), IRP_MJ_CLOSE);
}

TEST_F(ShellSessionTest, DoneLinesFromOtherThreadsNeverSplitAnswerLines) {
  constexpr int kReads = 16;
  constexpr int kCommands = 100;
  driver_->On(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) { return testsupport::Hold(irp); });
  std::string reads = "open \\Device\\a\n";
  for (int i = 0; i < kReads; i++) reads += "&read 3\n";
  Script(reads);
  std::thread completer([] {
    for (int i = 0; i < kReads; i++) CompleteHeld("xyz");
  });
  for (int i = 0; i < kCommands; i++) Script("write 0102\n");
  completer.join();
  Script("sleep 0\n");
  ASSERT_TRUE(WaitUntil([&] { return Lines().size() == 1u + 2 * kReads + kCommands + 1; }));
  const std::regex line("STATUS_SUCCESS 0|STATUS_SUCCESS 2|pending [0-9]+|done [0-9]+ STATUS_SUCCESS 3 78797a|ok");
  for (const std::string& text : Lines()) EXPECT_TRUE(std::regex_match(text, line)) << text;
}

}  // namespace
