-- Wireshark dissector for the tessacom serial link: one link packet per UDP datagram, port 519
-- at both ends (another port: Decode As... "TESSACOM"). A 4-byte header (type, channel, and a
-- little-endian word of 12-bit total length and 4-bit sequence) and a payload decoded by type:
-- the 18-byte line-settings block of OPEN and SETTINGS, the open reply, data bytes, and the
-- sequences that acknowledgements and polls carry. Expert notes flag a runt, a length field that
-- says something else than the datagram holds, an unknown type, a settings block of the wrong
-- size, and data sent again under the sequence of the one before it (a resend).
--
-- Written for Wireshark's Lua 5.2 and later: no bit operators, plain arithmetic.

local p = Proto("tessacom", "tessacom serial link")

local LINK_PORT = 519
local HEADER = 4
local SETTINGS_BLOCK = 18

local types = {
  [0] = "DATA", [1] = "OPEN", [2] = "CLOSE", [3] = "SETTINGS", [4] = "ACK", [5] = "DOWN",
  [7] = "POLL", [10] = "SEQDATA", [11] = "RXACK", [12] = "BREAK_ON", [13] = "BREAK_OFF",
}

-- Line rates by their 4-bit code in the settings block's mode word.
local rates = {
  [0x3] = 110, [0x7] = 300, [0x8] = 600, [0x9] = 1200, [0xB] = 2400, [0xC] = 4800,
  [0xD] = 9600, [0xE] = 19200, [0xF] = 38400, [0x2] = 57600, [0x5] = 115200,
}
local rate_names = {}
for code, rate in pairs(rates) do rate_names[code] = tostring(rate) end

local f = {
  type = ProtoField.uint8("tessacom.type", "Type", base.DEC, types),
  -- The channel as the registry numbers it (StartNum, 1 to 256), and the byte the wire carries.
  channel = ProtoField.uint16("tessacom.channel", "Channel", base.DEC),
  wire_channel = ProtoField.uint8("tessacom.wire_channel", "Wire channel (channel - 1)", base.DEC),
  length = ProtoField.uint16("tessacom.length", "Length", base.DEC, nil, 0x0FFF),
  seq = ProtoField.uint16("tessacom.seq", "Sequence", base.DEC, nil, 0xF000),
  data = ProtoField.bytes("tessacom.data", "Data"),
  data_len = ProtoField.uint16("tessacom.data_len", "Data length", base.DEC),
  text = ProtoField.string("tessacom.text", "Data as text"),
  open_reply = ProtoField.bool("tessacom.open_reply", "Open reply"),
  ack_seq = ProtoField.uint8("tessacom.ack_seq", "Acknowledges sequence", base.DEC),
  poll_seq = ProtoField.uint8("tessacom.poll_seq", "Polls for sequence", base.DEC),
  resend_of = ProtoField.framenum("tessacom.resend_of", "Resend of frame"),
  settings = ProtoField.bytes("tessacom.settings", "Settings block"),
  word0 = ProtoField.uint16("tessacom.settings.word0", "Word 0", base.HEX),
  rx_flow = ProtoField.bool("tessacom.settings.rx_flow", "Receive flow control (XOFF when full)", 16, nil, 0x1400),
  word1 = ProtoField.uint16("tessacom.settings.word1", "Word 1", base.HEX),
  mode = ProtoField.uint16("tessacom.settings.mode", "Mode word", base.HEX),
  rate_code = ProtoField.uint16("tessacom.settings.rate_code", "Rate code", base.HEX, rate_names, 0x000F),
  size_code = ProtoField.uint16("tessacom.settings.size_code", "Character size code (5 + n bits)", base.DEC, nil, 0x0030),
  extra_stop = ProtoField.bool("tessacom.settings.extra_stop", "Extra stop bit", 16, nil, 0x0040),
  parity_on = ProtoField.bool("tessacom.settings.parity_on", "Parity", 16, nil, 0x0100),
  parity_odd = ProtoField.bool("tessacom.settings.parity_odd", "Odd parity", 16, nil, 0x0200),
  rts_other = ProtoField.bool("tessacom.settings.rts_other", "RTS not under handshake", 16, nil, 0x0800),
  flow = ProtoField.uint16("tessacom.settings.flow", "Flow word", base.HEX),
  settings_byte = ProtoField.uint8("tessacom.settings.byte", "Settings byte", base.HEX),
  chars = ProtoField.bytes("tessacom.settings.chars", "Characters"),
  padding = ProtoField.uint8("tessacom.settings.padding", "Padding", base.HEX),
  rate = ProtoField.uint32("tessacom.settings.rate", "Rate (bits/s)", base.DEC),
  data_bits = ProtoField.uint8("tessacom.settings.data_bits", "Data bits", base.DEC),
  parity = ProtoField.string("tessacom.settings.parity", "Parity"),
  stop_bits = ProtoField.string("tessacom.settings.stop_bits", "Stop bits"),
  handshake = ProtoField.string("tessacom.settings.handshake", "Handshake"),
  event_char = ProtoField.uint8("tessacom.settings.event_char", "Event character (waited for)", base.HEX),
  line = ProtoField.string("tessacom.settings.line", "Line"),
}
p.fields = f

local e = {
  runt = ProtoExpert.new("tessacom.runt", "Runt: shorter than the 4-byte header",
                         expert.group.MALFORMED, expert.severity.ERROR),
  length = ProtoExpert.new("tessacom.length_lies", "Length field differs from the datagram",
                           expert.group.MALFORMED, expert.severity.WARN),
  unknown = ProtoExpert.new("tessacom.unknown_type", "Unknown packet type",
                            expert.group.PROTOCOL, expert.severity.WARN),
  block = ProtoExpert.new("tessacom.settings_size", "Settings block is not 18 bytes",
                          expert.group.MALFORMED, expert.severity.WARN),
  resend = ProtoExpert.new("tessacom.resend", "Resend: the sequence of the data before it",
                           expert.group.SEQUENCE, expert.severity.NOTE),
}
p.experts = { e.runt, e.length, e.unknown, e.block, e.resend }

-- The line a settings block sets, field by field as the device server reads it.
local function settings_line(word0, mode, flow, event_char)
  local code = mode % 16
  local data_bits = 5 + math.floor(mode / 16) % 4
  local extra_stop = math.floor(mode / 64) % 2 == 1
  local stop = "1"
  if extra_stop then stop = (data_bits == 5) and "1.5" or "2" end
  local parity = "none"
  if math.floor(mode / 256) % 2 == 1 then
    parity = (math.floor(mode / 512) % 2 == 1) and "odd" or "even"
  end
  local rts_handshake = math.floor(mode / 2048) % 2 == 0
  local rx_flow = math.floor(word0 / 1024) % 2 == 1 or math.floor(word0 / 4096) % 2 == 1
  local handshake = rts_handshake and "RTS/CTS" or "none (RTS not under handshake)"
  if rx_flow then handshake = handshake .. ", XOFF when the receive side is full" end
  return {
    rate = rates[code], data_bits = data_bits, stop = stop, parity = parity,
    handshake = handshake, event_wait = (flow == 0x0081), event_char = event_char,
  }
end

local function dissect_settings(tvb, tree, at, count)
  local block = tvb(at, count)
  local t = tree:add(f.settings, block)
  if count ~= SETTINGS_BLOCK then
    t:add_proto_expert_info(e.block, "Settings block of " .. count .. " bytes, 18 expected")
    return ""
  end
  local word0 = tvb(at, 2):le_uint()
  local mode = tvb(at + 4, 2):le_uint()
  local flow = tvb(at + 6, 2):le_uint()
  local w = t:add_le(f.word0, tvb(at, 2))
  w:add_le(f.rx_flow, tvb(at, 2))
  t:add_le(f.word1, tvb(at + 2, 2))
  local m = t:add_le(f.mode, tvb(at + 4, 2))
  for _, field in ipairs({ f.rate_code, f.size_code, f.extra_stop, f.parity_on, f.parity_odd, f.rts_other }) do
    m:add_le(field, tvb(at + 4, 2))
  end
  t:add_le(f.flow, tvb(at + 6, 2))
  t:add(f.settings_byte, tvb(at + 8, 1))
  t:add(f.chars, tvb(at + 9, 8))
  t:add(f.padding, tvb(at + 17, 1))
  local s = settings_line(word0, mode, flow, tvb(at + 9, 1):uint())
  local rate_text = s.rate and tostring(s.rate) or string.format("code 0x%X (no rate)", mode % 16)
  local line = string.format("%s %d%s%s", rate_text, s.data_bits, s.parity:sub(1, 1):upper(), s.stop)
  t:add(f.line, line):set_generated()
  if s.rate then t:add(f.rate, s.rate):set_generated() end
  t:add(f.data_bits, s.data_bits):set_generated()
  t:add(f.parity, s.parity):set_generated()
  t:add(f.stop_bits, s.stop):set_generated()
  t:add(f.handshake, s.handshake):set_generated()
  if s.event_wait then t:add(f.event_char, s.event_char):set_generated() end
  t:append_text(": " .. line)
  return " " .. line
end

-- Resends: data sent under the same sequence as the data before it on the same flow (source,
-- destination, channel, type). A driver's OPEN starts both of its channel's numberings afresh.
-- Learnt on the first pass, in frame order.
local last_data = {}
local resend_of = {}

function p.init()
  last_data = {}
  resend_of = {}
end

local function flow(from, from_port, to, to_port, channel, ptype)
  return tostring(from) .. ":" .. from_port .. ">" .. tostring(to) .. ":" .. to_port .. "/" ..
         channel .. "/" .. ptype
end

local function note_open(pinfo, channel)
  if pinfo.visited then return end
  last_data[flow(pinfo.src, pinfo.src_port, pinfo.dst, pinfo.dst_port, channel, 0)] = nil
  last_data[flow(pinfo.dst, pinfo.dst_port, pinfo.src, pinfo.src_port, channel, 10)] = nil
end

local function note_resend(pinfo, ptype, channel, seq)
  if not pinfo.visited then
    local key = flow(pinfo.src, pinfo.src_port, pinfo.dst, pinfo.dst_port, channel, ptype)
    local before = last_data[key]
    if before and before.seq == seq and seq ~= 0 then resend_of[pinfo.number] = before.frame end
    last_data[key] = { seq = seq, frame = pinfo.number }
  end
  return resend_of[pinfo.number]
end

-- Data bytes as text: printable ASCII as it is, other bytes as \xNN, cut after 96 characters.
local function as_text(bytes)
  local parts = {}
  for i = 1, math.min(#bytes, 96) do
    local b = bytes:byte(i)
    if b >= 32 and b < 127 and b ~= 92 then
      parts[#parts + 1] = string.char(b)
    else
      parts[#parts + 1] = string.format("\\x%02x", b)
    end
  end
  if #bytes > 96 then parts[#parts + 1] = "..." end
  return table.concat(parts)
end

-- The payload by type; returns the text the Info column gets after the header's.
local function dissect_payload(tvb, pinfo, tree, ptype, channel, length, seq, count)
  local at = HEADER
  if ptype == 1 and length == 3 and count == 0 then
    tree:add(f.open_reply, true):set_generated()
    return " reply (the remote's sequenced data goes on after " .. seq .. ")"
  end
  if ptype == 1 then note_open(pinfo, channel) end
  if ptype == 1 or ptype == 3 then return dissect_settings(tvb, tree, at, count) end
  if ptype == 0 or ptype == 10 then
    if count > 0 then
      tree:add(f.data, tvb(at, count))
      tree:add(f.text, tvb(at, count), as_text(tvb(at, count):raw())):set_generated()
    end
    tree:add(f.data_len, count):set_generated()
    local text = " " .. count .. " bytes"
    local earlier = note_resend(pinfo, ptype, channel, seq)
    if earlier then
      tree:add(f.resend_of, earlier):set_generated()
      tree:add_proto_expert_info(e.resend, "Resend of frame " .. earlier .. " (sequence " .. seq .. ")")
      text = text .. " [resend of " .. earlier .. "]"
    end
    return text
  end
  if ptype == 4 or ptype == 11 then
    tree:add(f.ack_seq, seq):set_generated()
    return ""
  end
  if ptype == 7 then tree:add(f.poll_seq, seq):set_generated() end
  if count > 0 then tree:add(f.data, tvb(at, count)) end
  return ""
end

function p.dissector(tvb, pinfo, tree)
  local size = tvb:len()
  pinfo.cols.protocol = "TESSACOM"
  local root = tree:add(p, tvb())
  if size < HEADER then
    root:add_proto_expert_info(e.runt, "Runt: " .. size .. " bytes, shorter than the 4-byte header")
    pinfo.cols.info = "Runt (" .. size .. " bytes)"
    return size
  end
  local ptype = tvb(0, 1):uint()
  local channel = tvb(1, 1):uint()
  local word = tvb(2, 2):le_uint()
  local length = word % 4096
  local seq = math.floor(word / 4096)
  local name = types[ptype] or ("TYPE" .. ptype)
  root:add(f.type, tvb(0, 1))
  root:add(f.channel, tvb(1, 1), channel + 1):set_generated()
  root:add(f.wire_channel, tvb(1, 1))
  root:add_le(f.length, tvb(2, 2))
  root:add_le(f.seq, tvb(2, 2))
  -- The payload is what the length field states, cut to what the datagram holds.
  local count = math.max(length - HEADER, 0)
  if count > size - HEADER then count = size - HEADER end
  local open_reply = ptype == 1 and length == 3 and size == HEADER
  if length ~= size and not open_reply then
    root:add_proto_expert_info(e.length, "Length field says " .. length .. ", the datagram holds " .. size)
  end
  if not types[ptype] then
    root:add_proto_expert_info(e.unknown, "Unknown packet type " .. ptype)
  end
  local info = dissect_payload(tvb, pinfo, root, ptype, channel, length, seq, count)
  root:append_text(string.format(", %s, channel %d, seq %d", name, channel + 1, seq))
  pinfo.cols.info = string.format("%s ch=%d seq=%d%s", name, channel + 1, seq, info)
  return size
end

local udp_port = DissectorTable.get("udp.port")
udp_port:add(LINK_PORT, p)
udp_port:add_for_decode_as(p)
