// File requests: the information classes a port answers, with the answer inside the caller's
// buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/executive_session.h"
#include "support/serial_bench.h"

using namespace testsupport;

namespace {

class FileInfoTest : public ManualExecutive {
 protected:
  // A query or change of `infoClass` with a system buffer of `length` bytes filled with 0xA5.
  static Request& Information(SerialBench& bench, UCHAR major, FILE_INFORMATION_CLASS infoClass, ULONG length) {
    Request& request = bench.Transfer(major, length);  // the length sits where Read's does
    std::fill(request.buffer.begin(), request.buffer.end(), 0xA5);
    IoGetNextIrpStackLocation(request.irp)->Parameters.QueryFile.FileInformationClass = infoClass;
    bench.Send(request, [major](PortRecord* port, PIRP irp) {
      return major == IRP_MJ_QUERY_INFORMATION ? DispatchQueryInformation(port->DeviceObject, irp)
                                               : DispatchSetInformation(port->DeviceObject, irp);
    });
    return request;
  }
};

// Standard and position queries are answered with zeros; end-of-file and allocation changes
// succeed and change nothing; every other class is refused. Nothing is written past the answer.
TEST_F(FileInfoTest, EachClassIsAnsweredOrRefusedInsideTheCallersBuffer) {
  constexpr UCHAR Q = IRP_MJ_QUERY_INFORMATION, S = IRP_MJ_SET_INFORMATION;
  using Row = std::tuple<UCHAR, FILE_INFORMATION_CLASS, ULONG, NTSTATUS, ULONG>;  // the request, buffer; answer
  const Row rows[] = {
      {Q, FileStandardInformation, 24, STATUS_SUCCESS, 24},
      {Q, FileStandardInformation, 40, STATUS_SUCCESS, 24},
      {Q, FilePositionInformation, 8, STATUS_SUCCESS, 8},
      {Q, FileBasicInformation, 40, STATUS_INVALID_PARAMETER, 0},
      {Q, FileStandardInformation, 23, STATUS_BUFFER_TOO_SMALL, 0},
      {Q, FilePositionInformation, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {S, FileEndOfFileInformation, 8, STATUS_SUCCESS, 0},
      {S, FileAllocationInformation, 8, STATUS_SUCCESS, 0},
      {S, FileBasicInformation, 8, STATUS_INVALID_PARAMETER, 0},
      {S, FilePositionInformation, 8, STATUS_INVALID_PARAMETER, 0},
  };
  SerialBench bench;
  for (auto [major, infoClass, length, status, information] : rows) {
    SCOPED_TRACE(testing::Message() << (major == Q ? "query " : "set ") << infoClass << " in " << length);
    Request& request = Information(bench, major, infoClass, length);
    EXPECT_EQ(std::tuple(request.status, request.information, request.boost),
              std::tuple(status, ULONG_PTR{information}, CCHAR(IO_NO_INCREMENT)));
    auto answerEnd = request.buffer.begin() + information;
    EXPECT_TRUE(std::all_of(request.buffer.begin(), answerEnd, [](UCHAR b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(answerEnd, request.buffer.end(), [](UCHAR b) { return b == 0xA5; }));
  }
}

}  // namespace
