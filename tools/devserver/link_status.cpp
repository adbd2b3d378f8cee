// Formatting the link's status, alike at both ends.
#include "link_status.h"

#include <cstdio>

namespace devserver {

namespace {

// "repeat 0, gap 2": each count after its name, which stays as it is whatever the count.
std::string List(const std::vector<Counted>& counts) {
  std::string text;
  for (const auto& [count, what] : counts) {
    text += (text.empty() ? "" : ", ") + what + " " + std::to_string(count);
  }
  return text;
}

std::string Count(const Counted& counted) {
  return counted.second + " " + std::to_string(counted.first);
}

std::string Data(const LinkCounts& counts) {
  return "packets " + std::to_string(counts.packets) + ", data " +
         std::to_string(counts.dataPackets) + " (" + std::to_string(counts.dataBytes) + " bytes)";
}

}  // namespace

std::string FormatAge(std::chrono::duration<double> age) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", age.count());
  return text;
}

std::string FormatChannelStatus(const ChannelStatus& s) {
  std::string text = s.title + ": " + s.link + "\n";
  text += "  in flight: " + s.inFlight + "\n";
  text += "  sent:     " + Data(s.sent) + ", resent " + std::to_string(s.resent) + ", polls " +
          std::to_string(s.pollsSent) + " (answered " + std::to_string(s.pollsAnswered) + "), " +
          Count(s.acknowledgementsSent) + "\n";
  text += "  received: " + Data(s.received) + ", " + Count(s.acknowledgementsReceived) +
          "; refused: " + List(s.refused) + "\n";
  text += "  held:     " + s.held + "\n";
  for (const std::string& line : s.more) text += "  " + line + "\n";
  return text;
}

std::string FormatPeerStatus(const PeerStatus& s) {
  return s.peer + ": datagrams sent " + std::to_string(s.sent) + ", received " +
         std::to_string(s.received) + (s.lost.empty() ? "" : "; lost: " + List(s.lost)) + "\n";
}

}  // namespace devserver
