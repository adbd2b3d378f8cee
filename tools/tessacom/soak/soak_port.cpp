#include "soak/soak_port.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "host/ddk/ntddser.h"
#include "host/session/executive.h"

namespace tessacom {

namespace {

using std::chrono::milliseconds;

constexpr size_t kLargestRequest = 2048;
constexpr size_t kLastWrite = 64;  // the undisturbed write that ends a port's stream
// The reader lets the line run at most this far ahead of what it took.
constexpr size_t kLineAhead = 6144;
// Real-time limits: a request that has not ended by then is a fault; a read waiting that long
// for data is cancelled (the line may have nothing more to send); a reopen that cannot get the
// handle back from the threads in that long is a fault.
constexpr milliseconds kWriteLimit{60000};
constexpr milliseconds kReadLimit{1000};
constexpr milliseconds kReopenLimit{10000};
constexpr milliseconds kDownLimit{200};  // for the remote's link-down to reach the port
constexpr int kOpenAttempts = 20;
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

SoakClock::rep Now() { return SoakClock::now().time_since_epoch().count(); }

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

// A thread's request, registered where Reopen and Abandon can cancel it while it lives.
class SoakPort::Hold {
 public:
  Hold(InFlight& slot, host::io::AsyncRequest& request) : slot_(slot) {
    std::lock_guard guard(slot_.lock);
    slot_.request = &request;
  }
  ~Hold() {
    std::lock_guard guard(slot_.lock);
    slot_.request = nullptr;
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  InFlight& slot_;
};

SoakPort::SoakPort(const SoakPortPlace& place, const DriverBinding& driver, size_t quota,
                   uint64_t seed)
    : place_(place), driver_(driver), seed_(seed),
      outbound_(RandomBytes(std::max(quota, kLastWrite), seed * 2 + 1)),
      inbound_(RandomBytes(quota, seed * 2 + 2)), lastWrite_(Now()), lastRead_(Now()) {}

SoakPort::~SoakPort() { Stop(); }

std::chrono::microseconds SoakPort::SoakTime(double seconds) const {
  return std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6 / place_.speed));
}

// Opens the port, trying again when the faulty link lost the handshake. A reply that came
// after an attempt gave up leaves the link open with no application (every open is then refused
// until the remote closes the link or reports it down): the remote is asked to report it down,
// as a person would reset the remote's port.
bool SoakPort::OpenHandle() {
  for (int attempt = 0; attempt < kOpenAttempts && !file_.IsOpen() && !stop_; attempt++) {
    host::io::OpenResult opened = host::io::Open(place_.comName);
    if (opened) {
      file_ = std::move(opened.file);
    } else if (LinkHeldOpenByALateReply()) {
      figures_.lateReplies++;
      place_.server->SendDown(place_.channel);  // lost on the faulty link: asked again
      for (const auto until = SoakClock::now() + kDownLimit; LinkHeldOpenByALateReply() &&
                                                             SoakClock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  return file_.IsOpen();
}

bool SoakPort::LinkHeldOpenByALateReply() const {
  const PortRecord* record = driver_.PortTable[place_.portIndex].PortRecord;
  return record != nullptr && (ReadShared(record->LinkFlags) & (LINK_OPEN | LINK_PORT_HELD)) == LINK_OPEN;
}

bool SoakPort::Start() {
  if (!OpenHandle()) {
    Error("the port did not open in " + std::to_string(kOpenAttempts) + " attempts");
    writerDone_ = readerDone_ = true;
    return false;
  }
  lastWrite_ = lastRead_ = Now();
  writer_ = std::thread([this] { RunWriter(); });
  reader_ = std::thread([this] { RunReader(); });
  return true;
}

void SoakPort::CancelInFlight() {
  for (InFlight* slot : {&writing_, &reading_}) {
    std::lock_guard guard(slot->lock);
    if (slot->request != nullptr) slot->request->Cancel();
  }
}

void SoakPort::RequestStop() {
  {
    std::lock_guard pause(pauseLock_);
    stop_ = true;
  }
  resumed_.notify_all();
  CancelInFlight();
}

void SoakPort::Stop() {
  RequestStop();
  if (writer_.joinable()) writer_.join();
  if (reader_.joinable()) reader_.join();
  file_.Close();
  ForgetUnacknowledgedImmediates(Reach::kAllOrLineEnd);
}

void SoakPort::Reopen() {
  if (Finished()) return;
  {
    std::lock_guard pause(pauseLock_);
    reopening_ = true;
  }
  std::unique_lock alone(fileLock_, std::defer_lock);
  for (const auto until = SoakClock::now() + kReopenLimit; !alone.try_lock();) {
    CancelInFlight();
    if (SoakClock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!alone.owns_lock()) {
    Error("the requests in flight did not end within 10 s of being cancelled for a reopen");
  } else if (!stop_) {
    file_.Close();
    figures_.reopens++;
    ForgetUnacknowledgedImmediates(Reach::kAnyFirstPart);
    if (!OpenHandle() && !stop_) Abandon("the port did not open again after the link went down");
    lastWrite_ = lastRead_ = Now();
    alone.unlock();
  }
  {
    std::lock_guard pause(pauseLock_);
    reopening_ = false;
  }
  resumed_.notify_all();
}

// An immediate character ends when it is in the transmit ring, before the remote has it; the
// port's close abandons the chunk in flight, so one taken since the last write that completed
// (whose acknowledgement vouches for everything before it) may be lost with it, as the unsent
// output of a port that closes: `reach` says what the line may then miss (after a reopen the
// ring's later bytes still go out; after the last close nothing more does). The writer is
// held off, or has ended, while this runs.
void SoakPort::ForgetUnacknowledgedImmediates(Reach reach) {
  for (auto it = writes_.rbegin(); it != writes_.rend(); ++it) {
    if (!it->immediate && it->reach == Reach::kAll) break;
    if (it->immediate && it->reach == Reach::kAll) it->reach = reach;
  }
}

// The reads' quiet time counts from when they were first owed bytes: a port that opened long
// before the feeding began (the other ports' opens can take many attempts on the faulty link),
// or whose reader had taken all there was, has not stalled for the time it was owed nothing.
void SoakPort::Feed(std::mt19937_64& random) {
  const size_t injected = figures_.injected;
  if (feedingHeld_ || injected >= inbound_.size() || injected >= consumedBound_ + kLineAhead) return;
  const size_t count = std::min(Between(random, 1, 1500), inbound_.size() - injected);
  if (injected <= consumedBound_) lastRead_ = Now();
  figures_.injected += count;  // before the bytes can reach a read
  place_.server->InjectLineBytes(place_.channel, std::span(inbound_).subspan(injected, count));
}

std::optional<std::string> SoakPort::Stalled(SoakClock::time_point now,
                                             SoakClock::duration limit,
                                             SoakClock::time_point remoteTook,
                                             SoakClock::time_point remoteBack) {
  {
    // A reopen ends by itself, opened or failed (an error of its own).
    std::lock_guard pause(pauseLock_);
    if (reopening_) return std::nullopt;
  }
  auto since = [&](const std::atomic<SoakClock::rep>& last) {
    return now - SoakClock::time_point(SoakClock::duration(last.load()));
  };
  auto seconds = [](SoakClock::duration d) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << std::chrono::duration<double>(d).count() << " s";
    return text.str();
  };
  const SoakClock::duration sinceBack = now - remoteBack;
  const SoakClock::duration writesQuiet =
      std::min({since(lastWrite_), now - remoteTook, sinceBack});
  if (!writerDone_ && writesQuiet > limit) {
    return "no write completed and the remote took no data for " + seconds(writesQuiet);
  }
  const size_t owed = figures_.injected - std::min<size_t>(figures_.injected, consumedBound_);
  const SoakClock::duration readsQuiet = std::min(since(lastRead_), sinceBack);
  if (!readerDone_ && owed > 0 && readsQuiet > limit) {
    return "no read returned a byte for " + seconds(readsQuiet) + " with " +
           std::to_string(owed) + " bytes sent toward the port";
  }
  return std::nullopt;
}

void SoakPort::Abandon(const std::string& why, std::vector<std::string> trace) {
  figures_.stalls++;
  Error("stalled: " + why + "; " + LinkState());
  {
    std::lock_guard lock(errorsLock_);
    if (stallTrace_.empty()) stallTrace_ = std::move(trace);
  }
  RequestStop();
}

std::string SoakPort::LinkState() const {
  const PortTableEntry& entry = driver_.PortTable[place_.portIndex];
  std::ostringstream text;
  text << "to remote " << figures_.written << " bytes, from remote " << figures_.read
       << " bytes; driver: ";
  if (const PortRecord* record = entry.PortRecord) {
    text << "link flags 0x" << std::hex << ReadShared(record->LinkFlags) << std::dec
         << ", OutSeq " << ReadShared(entry.OutSeq) << ", InSeq " << ReadShared(entry.InSeq)
         << ", chunk in flight " << ReadShared(record->WriteInFlight) << " (sequence "
         << ReadShared(record->ChunkSequence) << (ReadShared(record->RetransmitPending) ? ", poll out" : "")
         << "), transmit ring holds " << ReadShared(entry.TxHeld) << ", data marked "
         << int(ReadShared(entry.TxPending)) << ", receive ring holds "
         << (entry.RxRing.Buffer == nullptr ? std::string("nothing (not attached)")
                                            : std::to_string(RingHeld(&entry.RxRing, RX_RING_SIZE)))
         << ", current read ";
    if (const PIRP read = ReadShared(record->CurrentReadIrp)) {
      text << (ReadShared(read->CancelRoutine) != nullptr ? "waiting" : "not waiting") << " for "
           << ReadShared(record->CharsToRead) << " more bytes";
    } else {
      text << "none";
    }
    text << ", reads queued " << (IsListEmpty(&record->ReadQueue) ? "none" : "some")
         << ", acknowledgement timer ";
    if (ReadShared(record->AckTimer.Header.Inserted)) {
      text << "due in " << (record->AckTimer.DueTime.QuadPart - host::session::SystemTime()) / 10000 << " ms";
    } else {
      text << "idle";
    }
  }
  const devserver::ChannelSnapshot remote = place_.server->Channel(place_.channel);
  text << "; remote: channel " << (remote.open ? "open" : "closed") << ", took data up to "
       << int(remote.lastDataSequence) << ", sent up to " << int(remote.lastSentSequence) << " ("
       << remote.seqDataInFlight << " in flight";
  if (remote.inFlightSentAt) {
    text << ", the oldest last sent "
         << std::chrono::duration_cast<std::chrono::milliseconds>(devserver::Clock::now() -
                                                                  *remote.inFlightSentAt).count()
         << " ms ago";
  }
  text << "), last receive acknowledgement taken "
       << int(remote.lastRxAckSequence) << "; refused data " << remote.dataRefusedRepeat
       << " repeated, " << remote.dataRefusedOutOfOrder << " out of order, "
       << remote.dataRefusedClosed << " closed; receive acknowledgements refused "
       << remote.rxAcksRefused;
  return text.str();
}

void SoakPort::Error(const std::string& what) {
  figures_.errors++;
  std::lock_guard lock(errorsLock_);
  if (errors_.size() < kErrorsKept) errors_.push_back(place_.comName + ": " + what);
}

std::vector<std::string> SoakPort::StallTrace() const {
  std::lock_guard lock(errorsLock_);
  return stallTrace_;
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

host::io::Result SoakPort::Await(host::io::AsyncRequest& request, InFlight& slot, const char* what) {
  Hold registered(slot, request);
  std::optional<host::io::Result> result = request.WaitFor(kWriteLimit);
  if (result) return *result;
  Error(std::string(what) + " did not end within a minute; cancelled");
  request.Cancel();
  return request.Wait();
}

// One write of the stream from `offset`; returns how far the stream moved. Now and then the
// application cancels the write within the poll interval and writes the same bytes again.
size_t SoakPort::WriteOnce(std::mt19937_64& random, size_t offset) {
  const size_t body = outbound_.size() - kLastWrite;
  const bool last = offset >= body;
  const size_t length = last ? kLastWrite : std::min(Between(random, 1, kLargestRequest), body - offset);
  const bool rewrite = !last && random() % 16 == 0;
  auto request = file_.WriteAsync(outbound_.data() + offset, static_cast<ULONG>(length));
  if (rewrite) {
    std::this_thread::sleep_for(SoakTime(static_cast<double>(random() % 4000) / 1000));
    request.Cancel();
  } else if (!last) {
    Disturb(request, random, SERIAL_PURGE_TXABORT | (random() % 2 ? SERIAL_PURGE_RXABORT : 0));
  }
  const host::io::Result result = Await(request, writing_, "a write");
  const bool whole = result.status == STATUS_SUCCESS && result.information == length;
  if (!whole && !(result.status == STATUS_CANCELLED && result.information == 0)) {
    Error("a write of " + std::to_string(length) + " bytes ended with status " +
          std::to_string(result.status) + " and " + std::to_string(result.information) + " bytes");
  }
  (whole ? figures_.writesDone : figures_.writesCancelled)++;
  writes_.push_back({offset, length, whole ? Reach::kAll : Reach::kAnyFirstPart, false});
  if (whole) {
    figures_.written += length;
    lastWrite_ = Now();
  }
  if (rewrite && !whole) {
    figures_.rewrites++;
    return 0;
  }
  return length;
}

// The stream's next byte as an immediate character, between writes, so that its place in the
// stream is known; returns 1 when the port took it, 0 when it did not (the byte then goes
// with the next write).
size_t SoakPort::SendImmediate(size_t offset) {
  UCHAR character = outbound_[offset];
  auto request = file_.DeviceControlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, &character, 1, nullptr, 0);
  const host::io::Result result = Await(request, writing_, "an immediate character");
  if (result.status != STATUS_SUCCESS) {
    figures_.immediatesRefused++;
    return 0;
  }
  figures_.immediates++;
  writes_.push_back({offset, 1, Reach::kAll, true});
  lastWrite_ = Now();
  return 1;
}

void SoakPort::RunWriter() {
  std::mt19937_64 random(seed_ * 4 + 1);
  const size_t body = outbound_.size() - kLastWrite;
  for (size_t offset = 0; offset < outbound_.size();) {
    std::unique_lock pause(pauseLock_);
    resumed_.wait(pause, [&] { return !reopening_ || stop_; });
    if (stop_) break;
    std::shared_lock hold(fileLock_);
    pause.unlock();
    const bool immediate = offset < body && random() % 32 == 0;
    offset += immediate ? SendImmediate(offset) : WriteOnce(random, offset);
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
  const bool lostBefore = readCursor_.Lost();
  if (result.status == STATUS_CANCELLED && result.information == 0) {
    figures_.readsCancelled++;
    readCursor_.SkipUpTo(length, available);  // it may have taken up to its length
  } else if ((result.status != STATUS_SUCCESS && result.status != STATUS_TIMEOUT) ||
             result.information > length) {
    Error("a read of " + std::to_string(length) + " bytes ended with status " +
          std::to_string(result.status) + " and " + std::to_string(result.information) + " bytes");
    return;
  } else {
    (result.status == STATUS_SUCCESS ? figures_.readsDone : figures_.readsTimedOut)++;
    figures_.read += result.information;
    if (result.information > 0) lastRead_ = Now();
    if (!lostBefore) {
      readCursor_.Follow(std::span(inbound_).first(available), std::span(buffer, result.information));
    }
  }
  consumedBound_ = readCursor_.Furthest();
  if (lostBefore || !readCursor_.Lost()) return;
  Error(readCursor_.Overflowed()
            ? "the read check gave up: the gaps since byte " + std::to_string(figures_.read) +
                  " allow more than " + std::to_string(StreamCursor::kMaxCandidates) + " places"
            : "a read's " + std::to_string(result.information) + " bytes are not what the line " +
                  "sent (lost, repeated, reordered or changed)");
}

// The line has sent everything, the remote had it all acknowledged, the reads can have taken
// all of it, and the last read found nothing more.
bool SoakPort::ReaderAtEnd(bool drained) {
  if (!drained || figures_.injected < inbound_.size()) return false;
  if (!readCursor_.Lost() && !readCursor_.Possible(inbound_.size())) return false;
  return place_.server->WaitForChannel(place_.channel, [](const devserver::ChannelSnapshot& c) {
    return c.lineBytesWaiting == 0 && c.seqDataInFlight == 0;
  }, milliseconds(0));
}

void SoakPort::RunReader() {
  std::mt19937_64 random(seed_ * 4 + 3);
  std::vector<uint8_t> buffer(kLargestRequest);
  for (bool drained = false;;) {
    std::unique_lock pause(pauseLock_);
    resumed_.wait(pause, [&] { return !reopening_ || stop_; });
    if (stop_) break;
    std::shared_lock hold(fileLock_);
    pause.unlock();
    if (ReaderAtEnd(drained) || readCursor_.Lost()) break;
    const bool ending = figures_.injected >= inbound_.size();
    const bool atOnce = ChooseTimeouts(random, ending) && ending;
    const auto length = static_cast<ULONG>(Between(random, 1, kLargestRequest));
    auto request = file_.ReadAsync(buffer.data(), length);
    Hold registered(reading_, request);
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
  readerDone_ = true;
}

namespace {

const char* Describe(bool immediate, bool all) {
  if (immediate) return all ? "immediate character" : "immediate character a close may have lost";
  return all ? "completed" : "cancelled";
}

}  // namespace

void SoakPort::CheckWrites() {
  const std::vector<uint8_t> line = place_.server->Written(place_.channel);
  figures_.written = line.size();
  StreamCursor cursor;
  for (size_t i = 0; i < writes_.size(); i++) {
    const WriteOutcome& w = writes_[i];
    const auto bytes = std::span(outbound_).subspan(w.offset, w.length);
    const bool follows = w.reach == Reach::kAll            ? cursor.Follow(line, bytes)
                         : w.reach == Reach::kAnyFirstPart ? cursor.FollowAnyPart(line, bytes)
                                                           : cursor.FollowOrEnd(line, bytes);
    if (follows) continue;
    Error("the line's bytes part from the writes at write " + std::to_string(i) + " (" +
          Describe(w.immediate, w.reach == Reach::kAll) + ", " + std::to_string(w.length) +
          " bytes from stream offset " + std::to_string(w.offset) + ")" +
          (cursor.Overflowed() ? ": the cancellations before it allow too many places" : ""));
    return;
  }
  if (!cursor.Possible(line.size())) {
    Error("the line got " + std::to_string(line.size()) + " bytes, more than the writes allow (" +
          std::to_string(cursor.Furthest()) + " at most)");
  }
}

}  // namespace tessacom
