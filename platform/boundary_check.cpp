// The kernel-services boundary, checked at compile time in both homes. Every routine the host
// provides has the signature driver code relies on (kernel_routines.h), and every structure that
// crosses the wire, the transport interface or the serial interface has its size and layout
// fixed. A host declaration that drifts from the DDK (or a DDK quirk that changes) fails the
// build of whichever home disagrees.
#include "kernel.h"

namespace boundary {

template <typename A, typename B>
struct Same {
  static constexpr bool value = false;
};
template <typename A>
struct Same<A, A> {
  static constexpr bool value = true;
};

// Every kernel routine both homes provide, with the DDK's signature. The host provides the
// routines of both kernels; the kernel build checks those of its own.
#define KERNEL_ROUTINE(module, name, type) \
  static_assert(Same<decltype(&name), type>::value, #name " does not have the DDK's signature");
#define KERNEL_ROUTINE_LARGE_RESULT KERNEL_ROUTINE
#if defined(TESSACOM_HOME_NT) && !defined(_M_IX86)
#define KERNEL_ROUTINE_I386(module, name, type)
#else
#define KERNEL_ROUTINE_I386 KERNEL_ROUTINE
#endif
#if defined(TESSACOM_HOME_NT) && !defined(_M_AMD64)
#define KERNEL_ROUTINE_X64(module, name, type)
#else
#define KERNEL_ROUTINE_X64 KERNEL_ROUTINE
#endif
#include "kernel_routines.h"
#undef KERNEL_ROUTINE_X64
#undef KERNEL_ROUTINE_I386
#undef KERNEL_ROUTINE_LARGE_RESULT
#undef KERNEL_ROUTINE

// Widths of the base types, the same in both homes.
static_assert(sizeof(CHAR) == 1 && sizeof(UCHAR) == 1 && sizeof(BOOLEAN) == 1, "byte types");
static_assert(sizeof(USHORT) == 2 && sizeof(WCHAR) == 2, "16-bit types");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(NTSTATUS) == 4, "32-bit types");
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(LONGLONG) == 8, "64-bit types");
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID) && sizeof(SIZE_T) == sizeof(PVOID),
              "pointer-sized types");
static_assert(sizeof(KIRQL) == 1, "KIRQL");
static_assert(sizeof(TXT("ab")) == 6, "UTF-16 literals");

// Transport addresses and the open attribute: byte layouts of the transport interface.
static_assert(sizeof(TDI_ADDRESS_IP) == 14, "TDI_ADDRESS_IP");
static_assert(sizeof(TA_IP_ADDRESS) == 22, "TA_IP_ADDRESS");
static_assert(__builtin_offsetof(TA_IP_ADDRESS, Address[0].AddressLength) == 4, "AddressLength");
static_assert(__builtin_offsetof(TA_IP_ADDRESS, Address[0].AddressType) == 6, "AddressType");
static_assert(__builtin_offsetof(TA_IP_ADDRESS, Address[0].Address[0].sin_port) == 8, "sin_port");
static_assert(__builtin_offsetof(TA_IP_ADDRESS, Address[0].Address[0].in_addr) == 10, "in_addr");
static_assert(__builtin_offsetof(FILE_FULL_EA_INFORMATION, EaNameLength) == 5, "EaNameLength");
static_assert(__builtin_offsetof(FILE_FULL_EA_INFORMATION, EaValueLength) == 6, "EaValueLength");
static_assert(__builtin_offsetof(FILE_FULL_EA_INFORMATION, EaName) == 8, "EaName");
static_assert(sizeof(TDI_CONNECTION_INFORMATION) == 3 * sizeof(LONG_PTR) + 3 * sizeof(PVOID),
              "TDI_CONNECTION_INFORMATION (24 bytes in the kernel)");
static_assert(TDI_SEND_DATAGRAM == 9 && TDI_RECEIVE_DATAGRAM == 10 && TDI_RECEIVE_NORMAL == 0x20,
              "TDI request codes");
static_assert(TDI_ADDRESS_TYPE_IP == 2, "TDI_ADDRESS_TYPE_IP");

// The error-log packet header the driver writes (48 bytes in both homes).
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "IO_ERROR_LOG_PACKET");
static_assert(__builtin_offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12, "ErrorCode");
static_assert(__builtin_offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40, "DumpData");

// The serial interface: buffers applications pass with IOCTL_SERIAL_* requests.
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP");
static_assert(__builtin_offsetof(SERIAL_COMMPROP, SettableData) == 40, "SettableData");
static_assert(__builtin_offsetof(SERIAL_COMMPROP, ProvChar) == 60, "ProvChar");

// Request codes and constants whose values travel between applications, the platform and the
// driver.
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004, "IOCTL_SERIAL_SET_BAUD_RATE");
static_assert(IOCTL_SERIAL_SET_QUEUE_SIZE == 0x1B0008, "IOCTL_SERIAL_SET_QUEUE_SIZE");
static_assert(IOCTL_SERIAL_SET_LINE_CONTROL == 0x1B000C, "IOCTL_SERIAL_SET_LINE_CONTROL");
static_assert(IOCTL_SERIAL_SET_BREAK_ON == 0x1B0010, "IOCTL_SERIAL_SET_BREAK_ON");
static_assert(IOCTL_SERIAL_SET_BREAK_OFF == 0x1B0014, "IOCTL_SERIAL_SET_BREAK_OFF");
static_assert(IOCTL_SERIAL_IMMEDIATE_CHAR == 0x1B0018, "IOCTL_SERIAL_IMMEDIATE_CHAR");
static_assert(IOCTL_SERIAL_SET_TIMEOUTS == 0x1B001C, "IOCTL_SERIAL_SET_TIMEOUTS");
static_assert(IOCTL_SERIAL_GET_TIMEOUTS == 0x1B0020, "IOCTL_SERIAL_GET_TIMEOUTS");
static_assert(IOCTL_SERIAL_SET_WAIT_MASK == 0x1B0044, "IOCTL_SERIAL_SET_WAIT_MASK");
static_assert(IOCTL_SERIAL_GET_WAIT_MASK == 0x1B0040, "IOCTL_SERIAL_GET_WAIT_MASK");
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048, "IOCTL_SERIAL_WAIT_ON_MASK");
static_assert(IOCTL_SERIAL_PURGE == 0x1B004C, "IOCTL_SERIAL_PURGE");
static_assert(IOCTL_SERIAL_GET_BAUD_RATE == 0x1B0050, "IOCTL_SERIAL_GET_BAUD_RATE");
static_assert(IOCTL_SERIAL_GET_LINE_CONTROL == 0x1B0054, "IOCTL_SERIAL_GET_LINE_CONTROL");
static_assert(IOCTL_SERIAL_GET_CHARS == 0x1B0058, "IOCTL_SERIAL_GET_CHARS");
static_assert(IOCTL_SERIAL_SET_CHARS == 0x1B005C, "IOCTL_SERIAL_SET_CHARS");
static_assert(IOCTL_SERIAL_GET_HANDFLOW == 0x1B0060, "IOCTL_SERIAL_GET_HANDFLOW");
static_assert(IOCTL_SERIAL_SET_HANDFLOW == 0x1B0064, "IOCTL_SERIAL_SET_HANDFLOW");
static_assert(IOCTL_SERIAL_GET_MODEMSTATUS == 0x1B0068, "IOCTL_SERIAL_GET_MODEMSTATUS");
static_assert(IOCTL_SERIAL_GET_COMMSTATUS == 0x1B006C, "IOCTL_SERIAL_GET_COMMSTATUS");
static_assert(IOCTL_SERIAL_GET_PROPERTIES == 0x1B0074, "IOCTL_SERIAL_GET_PROPERTIES");
static_assert(SERIAL_EV_RXCHAR == 0x0001 && SERIAL_EV_RXFLAG == 0x0002 && SERIAL_EV_TXEMPTY == 0x0004,
              "wait-mask events");
static_assert(SERIAL_PURGE_TXABORT == 1 && SERIAL_PURGE_RXABORT == 2 && SERIAL_PURGE_TXCLEAR == 4 &&
                  SERIAL_PURGE_RXCLEAR == 8,
              "purge flags");
static_assert(IRP_MJ_CREATE == 0x00 && IRP_MJ_CLOSE == 0x02 && IRP_MJ_READ == 0x03 &&
                  IRP_MJ_WRITE == 0x04 && IRP_MJ_QUERY_INFORMATION == 0x05 &&
                  IRP_MJ_SET_INFORMATION == 0x06 && IRP_MJ_FLUSH_BUFFERS == 0x09 &&
                  IRP_MJ_DEVICE_CONTROL == 0x0E && IRP_MJ_INTERNAL_DEVICE_CONTROL == 0x0F &&
                  IRP_MJ_CLEANUP == 0x12,
              "major function codes");
static_assert(FILE_DEVICE_SERIAL_PORT == 0x1B && DO_BUFFERED_IO == 4 && DO_EXCLUSIVE == 8,
              "device type and flags");
static_assert(IO_NO_INCREMENT == 0 && IO_SERIAL_INCREMENT == 2, "priority boosts");
static_assert(DISPATCH_LEVEL == 2 && PASSIVE_LEVEL == 0, "levels");
static_assert(STATUS_SERIAL_NO_DEVICE_INITED == (NTSTATUS)0xC0000150L &&
                  STATUS_CANCELLED == (NTSTATUS)0xC0000120L &&
                  STATUS_INSUFFICIENT_RESOURCES == (NTSTATUS)0xC000009AL &&
                  STATUS_INVALID_PARAMETER == (NTSTATUS)0xC000000DL &&
                  STATUS_BUFFER_TOO_SMALL == (NTSTATUS)0xC0000023L &&
                  STATUS_NOT_A_DIRECTORY == (NTSTATUS)0xC0000103L &&
                  STATUS_FILES_OPEN == (NTSTATUS)0xC0000107L && STATUS_PENDING == 0x103 &&
                  STATUS_TIMEOUT == 0x102,
              "status codes");
static_assert(RTL_REGISTRY_ABSOLUTE == 0 && RTL_REGISTRY_DEVICEMAP == 4 &&
                  RTL_QUERY_REGISTRY_SUBKEY == 1 && RTL_QUERY_REGISTRY_DIRECT == 0x20 &&
                  REG_SZ == 1 && REG_DWORD == 4,
              "registry constants");
static_assert(OBJ_CASE_INSENSITIVE == 0x40 && FILE_OPEN_IF == 3 && FILE_ATTRIBUTE_NORMAL == 0x80 &&
                  (FILE_SHARE_READ | FILE_SHARE_WRITE) == 3 &&
                  (ULONG)(GENERIC_READ | GENERIC_WRITE) == 0xC0000000u,
              "open constants");
static_assert(SynchronizationEvent == 1 && NotificationEvent == 0, "event kinds");
static_assert(NonPagedPool == 0 && PagedPool == 1, "pool types");

}  // namespace boundary
