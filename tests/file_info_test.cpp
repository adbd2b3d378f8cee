// File requests: the information classes a port answers, with the answer inside the caller's
// buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/executive_session.h"
#include "support/serial_bench.h"

using testsupport::Request;
using testsupport::SerialBench;

namespace {

class FileInfoTest : public testsupport::ManualExecutive {
 protected:
  // A query or change of `infoClass` with a system buffer of `length` bytes filled with 0xA5.
  static Request& Information(SerialBench& bench, UCHAR major, FILE_INFORMATION_CLASS infoClass,
                              ULONG length) {
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

TEST_F(FileInfoTest, StandardAndPositionAreZeroAnsweredOthersRefused) {
  struct Query {
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
    ULONG information;
  };
  const Query queries[] = {
      {FileStandardInformation, 24, STATUS_SUCCESS, 24},
      {FileStandardInformation, 40, STATUS_SUCCESS, 24},
      {FilePositionInformation, 8, STATUS_SUCCESS, 8},
      {FileBasicInformation, 40, STATUS_INVALID_PARAMETER, 0},
      {FileStandardInformation, 23, STATUS_BUFFER_TOO_SMALL, 0},
      {FilePositionInformation, 0, STATUS_BUFFER_TOO_SMALL, 0},
  };
  SerialBench bench;
  for (const Query& query : queries) {
    SCOPED_TRACE(testing::Message() << query.infoClass << " in " << query.length);
    Request& request = Information(bench, IRP_MJ_QUERY_INFORMATION, query.infoClass, query.length);
    EXPECT_EQ(request.status, query.status);
    EXPECT_EQ(request.information, query.information);
    EXPECT_EQ(request.boost, IO_NO_INCREMENT);
    auto answerEnd = request.buffer.begin() + query.information;
    EXPECT_TRUE(std::all_of(request.buffer.begin(), answerEnd, [](UCHAR b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(answerEnd, request.buffer.end(), [](UCHAR b) { return b == 0xA5; }));
  }
}

TEST_F(FileInfoTest, EndOfFileAndAllocationChangesSucceedAndChangeNothing) {
  SerialBench bench;
  for (auto [infoClass, status] : {std::pair{FileEndOfFileInformation, STATUS_SUCCESS},
                                   std::pair{FileAllocationInformation, STATUS_SUCCESS},
                                   std::pair{FileBasicInformation, STATUS_INVALID_PARAMETER},
                                   std::pair{FilePositionInformation, STATUS_INVALID_PARAMETER}}) {
    Request& request = Information(bench, IRP_MJ_SET_INFORMATION, infoClass, 8);
    EXPECT_EQ(request.status, status);
    EXPECT_EQ(request.information, 0u);
    EXPECT_TRUE(std::all_of(request.buffer.begin(), request.buffer.end(),
                            [](UCHAR b) { return b == 0xA5; }));
  }
}

}  // namespace
