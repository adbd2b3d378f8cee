// Private to tools/comm: a DCB in the terms of the four serial requests that carry it (rate,
// line control, special characters, handshake and flow control), and back.
#pragma once

#include "comm_types.h"
#include "host/ddk/ntddser.h"

namespace comm::detail {

struct SerialSettings {
  SERIAL_BAUD_RATE baud{};
  SERIAL_LINE_CONTROL line{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handflow{};
};

// What GetCommState reports for the port's settings.
DCB DcbFromSettings(const SerialSettings& settings);

// What SetCommState asks for. What a DCB cannot say (the break character, DCD output
// handshake, the break-character flow flag) is kept from `current`.
SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current);

}  // namespace comm::detail
