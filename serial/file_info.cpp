// File requests of a port opened as a file: information queries and changes, answered at once
// as for a device without size or position, and flushes, which wait in the write queue behind
// the writes sent before them.
#include "serial/serial_requests.h"

namespace {

// A class the port answers and the size of its answer, all of whose fields are zero: no
// allocation, end of file, links or position; not being deleted, not a directory.
struct InformationAnswer {
  FILE_INFORMATION_CLASS Class;
  ULONG Size;
};

static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION is 24 bytes");
static_assert(sizeof(FILE_POSITION_INFORMATION) == 8, "FILE_POSITION_INFORMATION is 8 bytes");

const InformationAnswer INFORMATION_ANSWERS[] = {
    {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION)},
    {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION)},
};

}  // namespace

// The I/O manager passes these classes only with a buffer that holds the answer; a shorter one
// is refused all the same rather than written past.
NTSTATUS NTAPI DispatchQueryInformation(PDEVICE_OBJECT, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = StackOf(irp);
  for (const InformationAnswer& answer : INFORMATION_ANSWERS) {
    if (answer.Class != stack->Parameters.QueryFile.FileInformationClass) continue;
    if (stack->Parameters.QueryFile.Length < answer.Size) {
      return CompleteAtOnce(irp, STATUS_BUFFER_TOO_SMALL);
    }
    RtlZeroMemory(SystemBuffer(irp), answer.Size);
    irp->IoStatus.Information = answer.Size;
    return CompleteAtOnce(irp, STATUS_SUCCESS);
  }
  return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
}

// End of file and allocation changes are accepted and change nothing.
NTSTATUS NTAPI DispatchSetInformation(PDEVICE_OBJECT, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  irp->IoStatus.Information = 0;
  FILE_INFORMATION_CLASS requested = StackOf(irp)->Parameters.SetFile.FileInformationClass;
  BOOLEAN accepted = requested == FileEndOfFileInformation || requested == FileAllocationInformation;
  return CompleteAtOnce(irp, accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
}

// A flush joins the write queue and counts no characters; StartFlush completes it at once on
// an idle write class, GetNextWrite once the writes before it have ended.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  irp->IoStatus.Information = 0;
  return StartOrQueue(PortOf(device), irp, &WriteClass, StartFlush);
}
