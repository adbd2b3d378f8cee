// Read throughput: the remote offers line data without end, keeping no more unacknowledged than
// the ring holds (two packets of 508 bytes, the largest the driver takes) and refilling the
// moment a receive acknowledgement opens its window; one application reads it, in one of two
// ways:
// - as most programs do, a read of 4 KiB with a total timeout of a second, one after another:
//   the pending read takes each packet as it comes and acknowledges what it took;
// - as one that wants every byte of throughput would, waiting until the status answer shows the
//   remote's whole window in the ring and then taking it with a read that returns at once, so
//   that each acknowledgement covers the window.
#include <atomic>
#include <thread>

#include "bench/bench_cost.h"
#include "bench/bench_phases.h"
#include "host/ddk/ntddser.h"
#include "wire.h"

namespace tessacom::bench {

namespace {

constexpr unsigned kWindowPackets = 2;
constexpr size_t kPacketBytes = devserver::kMaxPayload;
static_assert(kWindowPackets * kPacketBytes <= kRingBytes, "the window overflows the ring");
constexpr ULONG kReadBytes = 4096;
constexpr auto kReadLimit = std::chrono::seconds(1);
constexpr ULONG kWindowBytes = kWindowPackets * kPacketBytes;

// Waits until the ring holds the remote's whole window; false when a second passes without it
// (an offering remote never leaves the window open that long) or the status is refused.
bool WaitForWindow(host::io::File& file) {
  const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
  SERIAL_STATUS status{};
  while (std::chrono::steady_clock::now() < deadline) {
    host::io::Result answer = file.DeviceControl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    if (!NT_SUCCESS(answer.status)) return false;
    if (status.AmountInInQueue >= kWindowBytes) return true;
    std::this_thread::yield();
  }
  return false;
}

struct Offered {
  double packets = 0;  // sequenced data packets sent, first sendings and resendings
  double receiveAcks = 0;
};

Offered CountOffered(Rig& rig) {
  const devserver::ChannelSnapshot channel = rig.ServerOf(0).Channel(rig.Channel(0));
  return {static_cast<double>(channel.seqDataSent + channel.seqDataResent),
          static_cast<double>(channel.rxAcks)};
}

// A read of 4 KiB with a total timeout, as most programs read: what it took, or nothing when it
// was refused or ended otherwise.
std::optional<ULONG_PTR> ReadAsProgramsDo(host::io::File& file, uint8_t* buffer) {
  host::io::AsyncRequest read = file.ReadAsync(buffer, kReadBytes);
  if (!read.WaitFor(2 * kReadLimit)) {
    read.Cancel();
    read.Wait();
    return std::nullopt;
  }
  const host::io::Result done = read.Wait();
  if (done.status != STATUS_SUCCESS && done.status != STATUS_TIMEOUT) return std::nullopt;
  return done.information;
}

std::optional<ULONG_PTR> ReadTheWindow(host::io::File& file, uint8_t* buffer) {
  if (!WaitForWindow(file)) return std::nullopt;
  return ReadWithin(file, buffer, kReadBytes, kReadLimit);
}

}  // namespace

Throughput MeasureReads(const Plan& plan, const Reference& reference, ReadStyle style,
                        Progress& progress, std::vector<std::string>& problems) {
  const bool window = style == ReadStyle::WholeWindow;
  Throughput figures;
  figures.label = window ? "read 1 port, whole windows" : "read 1 port, as programs read";
  figures.ports = figures.servers = 1;
  RigLayout layout;
  layout.protocol.offerLineData = true;
  layout.protocol.window = kWindowPackets;
  layout.protocol.maxPayload = kPacketBytes;
  Rig rig(plan.image, reference.addresses, layout);
  if (!rig.Load() || !rig.OpenAll(1)) {
    problems.push_back(figures.label + ": " + rig.Problem());
    return figures;
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> intact{true};
  std::atomic<bool> readFailed{false};  // a read refused, or no window or byte within its limit
  std::atomic<uint64_t> received{0};
  const SERIAL_TIMEOUTS returnAtOnce{MAXULONG, 0, 0, 0, 0};
  const SERIAL_TIMEOUTS totalSecond{0, 0, 1000, 0, 0};
  const SERIAL_TIMEOUTS& timeouts = window ? returnAtOnce : totalSecond;
  rig.File(0).DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
  std::thread reader([&] {
    std::vector<uint8_t> buffer(kReadBytes);
    uint8_t expected = 0;  // the remote's stream counts from 0 at the open
    while (!stop.load(std::memory_order_relaxed)) {
      const std::optional<ULONG_PTR> read = window ? ReadTheWindow(rig.File(0), buffer.data())
                                                   : ReadAsProgramsDo(rig.File(0), buffer.data());
      if (!read) {
        readFailed = true;
        return;
      }
      for (size_t i = 0; i < *read; i++) {
        if (buffer[i] != expected++) intact = false;
      }
      received.fetch_add(*read, std::memory_order_relaxed);
    }
  });
  // What the remote sends before the first open has attached the ring is dropped, and comes
  // again only on its resend timer: the warm-up starts once the first bytes are in.
  for (int tenth = 0; tenth < 50 && received.load() == 0 && !readFailed; tenth++) progress.Wait(0.1);
  progress.Wait(plan.warmUpSeconds);
  const double bytesBefore = static_cast<double>(received.load());
  const Offered before = CountOffered(rig);
  const CpuSample cpuBefore = SampleCpu(rig);
  const auto start = std::chrono::steady_clock::now();
  progress.Wait(plan.stretchSeconds);
  const double bytes = static_cast<double>(received.load()) - bytesBefore;
  const Offered after = CountOffered(rig);
  const double packets = after.packets - before.packets;
  const double receiveAcks = after.receiveAcks - before.receiveAcks;
  const CpuSample cpuAfter = SampleCpu(rig);
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  reader.join();

  figures.intact = intact && !readFailed;
  if (!intact) problems.push_back(figures.label + ": the bytes read are not the remote's stream");
  if (readFailed) {
    problems.push_back(figures.label + (window ? ": the whole window was not in the ring within a second"
                                               : ": a read was refused or did not end within two seconds"));
  }
  figures.bytesPerSecond = bytes / figures.seconds;
  figures.packetsPerSecond = packets / figures.seconds;
  figures.meanPayload = packets > 0 ? bytes / packets : 0;
  figures.bytesPerReceiveAck = receiveAcks > 0 ? bytes / receiveAcks : 0;
  figures.bound = kRingBytes / (kControlPauseSeconds + reference.ackSeconds);
  figures.ratio = figures.bytesPerSecond / figures.bound;
  figures.cost = CostOf(cpuBefore, cpuAfter, bytes);
  return figures;
}

}  // namespace tessacom::bench
