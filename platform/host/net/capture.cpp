// The transport's capture: an observer that writes every datagram its sockets send or take,
// as it was on the wire, into a pcap file. One capture at a time.
#include <memory>
#include <mutex>

#include "host/net/udp_transport.h"

namespace host::net {

namespace {

class Capture final : public DatagramObserver {
 public:
  explicit Capture(std::function<void(const std::string&)> onNote) : onNote_(std::move(onNote)) {}
  PcapFile& File() { return file_; }

  // Called under the observers' lock, which serialises the file's records.
  void OnWire(const WireDatagram& datagram) override {
    const WireEndpoint& from = datagram.sent ? datagram.local : datagram.remote;
    const WireEndpoint& to = datagram.sent ? datagram.remote : datagram.local;
    if (file_.Append(datagram.time, from, to, datagram.bytes) || !file_.FirstRefused()) return;
    if (onNote_) onNote_(file_.LimitNote());
  }

 private:
  PcapFile file_;
  std::function<void(const std::string&)> onNote_;
};

struct CaptureSlot {
  std::mutex lock;
  std::unique_ptr<Capture> capture;
};

CaptureSlot& TheSlot() {
  static CaptureSlot* slot = new CaptureSlot;
  return *slot;
}

}  // namespace

bool StartCapture(const std::string& path, uint64_t limitBytes,
                  std::function<void(const std::string&)> onNote, std::string* error) {
  CaptureSlot& slot = TheSlot();
  std::lock_guard hold(slot.lock);
  if (slot.capture) {
    if (error != nullptr) *error = "a capture is already on, to " + slot.capture->File().Path();
    return false;
  }
  auto capture = std::make_unique<Capture>(std::move(onNote));
  if (!capture->File().Open(path, limitBytes, error)) return false;
  slot.capture = std::move(capture);
  AddObserver(slot.capture.get());
  return true;
}

std::optional<CaptureSummary> StopCapture() {
  CaptureSlot& slot = TheSlot();
  std::lock_guard hold(slot.lock);
  if (!slot.capture) return std::nullopt;
  RemoveObserver(slot.capture.get());
  const PcapFile& file = slot.capture->File();
  CaptureSummary summary{file.Path(), file.Written(), file.Refused(), file.Bytes(), file.LimitBytes()};
  slot.capture.reset();
  return summary;
}

}  // namespace host::net
