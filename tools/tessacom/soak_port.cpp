#include "soak_port.h"

#include <algorithm>
#include <chrono>

#include "host/ddk/ntddser.h"

namespace tessacom {

namespace {

using std::chrono::milliseconds;

constexpr size_t kLargestRequest = 2048;
constexpr size_t kLastWrite = 64;  // the undisturbed write that ends a port's stream
// A read takes bytes only when it starts, from a receive ring that holds at most this many.
constexpr size_t kRingHolds = 1023;
// The reader lets the line run at most this far ahead of what it took.
constexpr size_t kLineAhead = 6144;
// Real-time limits: a write that has not ended by then is a fault; a read waiting that long for
// data is cancelled (the line may have nothing more to send).
constexpr milliseconds kWriteLimit{60000};
constexpr milliseconds kReadLimit{1000};
constexpr size_t kErrorsKept = 20;
constexpr ULONG kNone = 0xFFFFFFFF;  // MAXULONG in a timeout: "none" or "at once"

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed) {
  std::vector<uint8_t> bytes(count);
  std::mt19937_64 random(seed);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random() >> 56);
  return bytes;
}

size_t Between(std::mt19937_64& random, size_t low, size_t high) {
  return low + random() % (high - low + 1);
}

// Read timeouts of every mode the port knows (milliseconds of the driver's clock), and write
// timeouts, which never end a write.
SERIAL_TIMEOUTS RandomTimeouts(std::mt19937_64& random) {
  SERIAL_TIMEOUTS t{};
  t.WriteTotalTimeoutMultiplier = static_cast<ULONG>(Between(random, 0, 20));
  t.WriteTotalTimeoutConstant = static_cast<ULONG>(Between(random, 0, 20000));
  const ULONG constant = static_cast<ULONG>(Between(random, 1, 300));
  const ULONG multiplier = static_cast<ULONG>(Between(random, 0, 5));
  switch (random() % 6) {
    case 0: t = {kNone, 0, 0, t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}; break;
    case 1: t.ReadIntervalTimeout = t.ReadTotalTimeoutMultiplier = kNone;
            t.ReadTotalTimeoutConstant = constant; break;
    case 2: t.ReadIntervalTimeout = kNone; t.ReadTotalTimeoutMultiplier = multiplier;
            t.ReadTotalTimeoutConstant = constant; break;
    case 3: t.ReadIntervalTimeout = constant / 3 + 1; break;
    case 4: t.ReadTotalTimeoutMultiplier = multiplier; t.ReadTotalTimeoutConstant = constant; break;
    default: break;  // all 0: a read waits for data to be announced
  }
  return t;
}

}  // namespace

SoakPort::SoakPort(std::string comName, devserver::DeviceServer& server, uint8_t channel,
                   size_t quota, uint64_t seed)
    : name_(std::move(comName)), server_(server), channel_(channel), seed_(seed),
      outbound_(RandomBytes(std::max(quota, kLastWrite), seed * 2 + 1)),
      inbound_(RandomBytes(quota, seed * 2 + 2)) {}

SoakPort::~SoakPort() { Stop(); }

bool SoakPort::Start() {
  for (int attempt = 0; attempt < 20 && !file_.IsOpen(); attempt++) {
    host::io::OpenResult opened = host::io::Open(name_);
    if (opened) file_ = std::move(opened.file);
  }
  if (!file_.IsOpen()) {
    Error("the port did not open in 20 attempts");
    writerDone_ = readerDone_ = true;
    return false;
  }
  writer_ = std::thread([this] { RunWriter(); });
  reader_ = std::thread([this] { RunReader(); });
  return true;
}

void SoakPort::Stop() {
  stop_ = true;
  if (writer_.joinable()) writer_.join();
  if (reader_.joinable()) reader_.join();
  file_.Close();
}

void SoakPort::Feed(std::mt19937_64& random) {
  const size_t injected = figures_.injected;
  if (injected >= inbound_.size() || injected >= consumedBound_ + kLineAhead) return;
  const size_t count = std::min(Between(random, 1, 1500), inbound_.size() - injected);
  figures_.injected += count;  // before the bytes can reach a read
  server_.InjectLineBytes(channel_, std::span(inbound_).subspan(injected, count));
}

void SoakPort::Error(const std::string& what) {
  figures_.errors++;
  std::lock_guard lock(errorsLock_);
  if (errors_.size() < kErrorsKept) errors_.push_back(name_ + ": " + what);
}

std::vector<std::string> SoakPort::Errors() const {
  std::lock_guard lock(errorsLock_);
  return errors_;
}

void SoakPort::Disturb(host::io::AsyncRequest& request, std::mt19937_64& random, ULONG purgeMask) {
  const unsigned roll = random() % 64;
  if (roll > 4) return;
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
  if (roll == 4 && !purgesRefused_) {
    const host::io::Result purged =
        file_.DeviceControl(IOCTL_SERIAL_PURGE, &purgeMask, sizeof purgeMask, nullptr, 0);
    if (purged.status == STATUS_SUCCESS) {
      figures_.purges++;
      return;
    }
    purgesRefused_ = true;  // a driver without device control: cancel instead
  }
  request.Cancel();
}

host::io::Result SoakPort::Await(host::io::AsyncRequest& request, const char* what) {
  std::optional<host::io::Result> result = request.WaitFor(kWriteLimit);
  if (result) return *result;
  Error(std::string(what) + " did not end within a minute; cancelled");
  request.Cancel();
  return request.Wait();
}

void SoakPort::RunWriter() {
  std::mt19937_64 random(seed_ * 4 + 1);
  const size_t body = outbound_.size() - kLastWrite;
  for (size_t offset = 0; offset < outbound_.size() && !stop_;) {
    const bool last = offset >= body;
    const size_t length = last ? kLastWrite : std::min(Between(random, 1, kLargestRequest), body - offset);
    auto request = file_.WriteAsync(outbound_.data() + offset, static_cast<ULONG>(length));
    if (!last) Disturb(request, random, SERIAL_PURGE_TXABORT | (random() % 2 ? SERIAL_PURGE_RXABORT : 0));
    const host::io::Result result = Await(request, "a write");
    const bool whole = result.status == STATUS_SUCCESS && result.information == length;
    if (!whole && !(result.status == STATUS_CANCELLED && result.information == 0)) {
      Error("a write of " + std::to_string(length) + " bytes ended with status " +
            std::to_string(result.status) + " and " + std::to_string(result.information) + " bytes");
    }
    (whole ? figures_.writesDone : figures_.writesCancelled)++;
    if (whole) figures_.written += length;
    writes_.push_back({offset, length, whole});
    offset += length;
  }
  writerDone_ = true;
}

// Sets new timeouts now and then; at the end, timeouts that return at once, so that a read
// finds the ring empty. False when the driver refuses them (it then keeps its defaults).
bool SoakPort::ChooseTimeouts(std::mt19937_64& random, bool atOnce) {
  if (timeoutsRefused_) return false;
  if (!atOnce && random() % 8 != 0) return true;
  SERIAL_TIMEOUTS timeouts = RandomTimeouts(random);
  if (atOnce) timeouts = {kNone, 0, 0, 0, 0};
  const host::io::Result set =
      file_.DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
  if (set.status != STATUS_SUCCESS) timeoutsRefused_ = true;
  figures_.timeoutChanges += set.status == STATUS_SUCCESS;
  return set.status == STATUS_SUCCESS;
}

void SoakPort::CheckRead(const host::io::Result& result, const uint8_t* buffer, ULONG length) {
  const size_t available = figures_.injected;
  if (result.status == STATUS_CANCELLED && result.information == 0) {
    figures_.readsCancelled++;
    readCursor_.SkipUpTo(std::min<size_t>(length, kRingHolds), available);
    consumedBound_ = readCursor_.Furthest();
    return;
  }
  if ((result.status != STATUS_SUCCESS && result.status != STATUS_TIMEOUT) ||
      result.information > length) {
    Error("a read of " + std::to_string(length) + " bytes ended with status " +
          std::to_string(result.status) + " and " + std::to_string(result.information) + " bytes");
    return;
  }
  (result.status == STATUS_SUCCESS ? figures_.readsDone : figures_.readsTimedOut)++;
  figures_.read += result.information;
  const bool lostBefore = readCursor_.Lost();
  if (!lostBefore && !readCursor_.Follow(std::span(inbound_).first(available),
                                         std::span(buffer, result.information))) {
    Error("a read's " + std::to_string(result.information) + " bytes are not what the line sent " +
          "after byte " + std::to_string(consumedBound_) + " (lost, repeated, reordered or changed)");
  }
  consumedBound_ = readCursor_.Furthest();
}

// The line has sent everything, the remote had it all acknowledged, the reads can have taken
// all of it, and the last read found nothing more.
bool SoakPort::ReaderAtEnd(bool drained) {
  if (!drained || figures_.injected < inbound_.size()) return false;
  if (!readCursor_.Lost() && !readCursor_.Possible(inbound_.size())) return false;
  return server_.WaitForChannel(channel_, [](const devserver::ChannelSnapshot& c) {
    return c.lineBytesWaiting == 0 && c.seqDataInFlight == 0;
  }, milliseconds(0));
}

void SoakPort::RunReader() {
  std::mt19937_64 random(seed_ * 4 + 3);
  std::vector<uint8_t> buffer(kLargestRequest);
  bool drained = false;
  while (!stop_ && !ReaderAtEnd(drained)) {
    const bool ending = figures_.injected >= inbound_.size();
    const bool atOnce = ChooseTimeouts(random, ending) && ending;
    const auto length = static_cast<ULONG>(Between(random, 1, kLargestRequest));
    auto request = file_.ReadAsync(buffer.data(), length);
    if (!ending) Disturb(request, random, SERIAL_PURGE_RXABORT);
    std::optional<host::io::Result> result = request.WaitFor(kReadLimit);
    const bool waitedOut = !result;
    if (waitedOut) {
      request.Cancel();
      result = request.Wait();
    }
    CheckRead(*result, buffer.data(), length);
    drained = result->information == 0 && (atOnce || waitedOut);
  }
  if (!stop_ && readCursor_.Lost()) Error("the read stream was lost earlier; see above");
  readerDone_ = true;
}

void SoakPort::CheckWrites() {
  const std::vector<uint8_t> line = server_.Written(channel_);
  figures_.written = line.size();
  StreamCursor cursor;
  for (size_t i = 0; i < writes_.size(); i++) {
    const WriteOutcome& w = writes_[i];
    const auto bytes = std::span(outbound_).subspan(w.offset, w.length);
    if (w.whole ? cursor.Follow(line, bytes) : cursor.FollowAnyPart(line, bytes)) continue;
    Error("the line's bytes part from the writes at write " + std::to_string(i) + " (" +
          (w.whole ? "completed" : "cancelled") + ", " + std::to_string(w.length) +
          " bytes from stream offset " + std::to_string(w.offset) + ")");
    return;
  }
  if (!cursor.Possible(line.size())) {
    Error("the line got " + std::to_string(line.size()) + " bytes, more than the writes allow (" +
          std::to_string(cursor.Furthest()) + " at most)");
  }
}

}  // namespace tessacom
