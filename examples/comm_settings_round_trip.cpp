// A settings round trip on COM3: 9600 bauds, 7 data bits, even parity, one stop bit, RTS/CTS
// handshake and a timeout set, read back, and what the remote received shown.
#include "example_bench.h"

namespace {

using namespace comm;

bool Same(const DCB& a, const DCB& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && a.fOutxCtsFlow == b.fOutxCtsFlow && a.fRtsControl == b.fRtsControl;
}

int RoundTrip(Port& port, devserver::DeviceServer& server) {
  DCB wanted{};
  if (!GetCommState(port, wanted)) return examples::Failed("GetCommState");
  wanted.BaudRate = CBR_9600;
  wanted.ByteSize = 7;
  wanted.Parity = EVENPARITY;
  wanted.StopBits = ONESTOPBIT;
  wanted.fOutxCtsFlow = 1;
  wanted.fRtsControl = RTS_CONTROL_HANDSHAKE;
  if (!SetCommState(port, wanted)) return examples::Failed("SetCommState");
  DCB seen{};
  if (!GetCommState(port, seen)) return examples::Failed("GetCommState after SetCommState");
  const COMMTIMEOUTS timeouts{50, 0, 500, 0, 0};
  COMMTIMEOUTS back{};
  if (!SetCommTimeouts(port, timeouts)) return examples::Failed("SetCommTimeouts");
  if (!GetCommTimeouts(port, back)) return examples::Failed("GetCommTimeouts");
  std::printf("asked 9600 7E1 RTS/CTS, read back %u %u%c%s %s\n", seen.BaudRate, seen.ByteSize,
              "NOEMS"[seen.Parity % 5], seen.StopBits == ONESTOPBIT ? "1" : "2",
              seen.fRtsControl == RTS_CONTROL_HANDSHAKE ? "RTS/CTS" : "no RTS/CTS");
  const devserver::ChannelSnapshot channel = server.Channel(0);
  std::printf("the remote's settings: %s\n",
              channel.settings ? channel.settings->Describe().c_str() : "none received");
  const bool same = Same(wanted, seen) && back.ReadIntervalTimeout == 50 && back.ReadTotalTimeoutConstant == 500;
  std::printf(same ? "the settings came back as set\n" : "the settings did not come back as set\n");
  return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return examples::UseCom3(argc, argv, RoundTrip); }
