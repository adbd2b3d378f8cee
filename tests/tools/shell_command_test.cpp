// The command reader of `tessacom shell`: lines become commands or reasons, names and numbers
// of codes and classes, and the bound on what a line may hold.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "host/ddk/ntddser.h"
#include "nt_names.h"
#include "shell/shell_command.h"

using namespace tessacom::shell;
using tessacom::ControlCodes;

namespace {

Command Parsed(std::string_view line) {
  ParsedLine parsed = ParseLine(line);
  EXPECT_EQ(parsed.kind, ParsedLine::Kind::Command) << line << ": " << parsed.reason;
  return parsed.command;
}

TEST(ShellCommandReader, MalformedLinesAreRefusedWithTheirReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"frob", "unknown command 'frob'"},
      {"read", "usage: read N"},
      {"read 4 5", "usage: read N"},
      {"read -1", "length is not a number: '-1'"},
      {"read 0x100000000", "length is not a number: '0x100000000'"},
      {"read 1048577", "length over 1048576: '1048577'"},
      {"write 123", "odd number of hex digits in '123'"},
      {"write 0g", "not hex: '0g'"},
      {"write \x01\x02", "not hex: '?\?'"},
      {"ioctl FROB", "unknown control code 'FROB'"},
      {"ioctl SET_BAUD_RATE out=", "out= is not a number: ''"},
      {"ioctl SET_BAUD_RATE in=01 in=02", "unexpected argument 'in=02'"},
      {"ioctl SET_BAUD_RATE size=4", "unexpected argument 'size=4'"},
      {"query FileStandardInformation in=00", "unexpected argument 'in=00'"},
      {"set FileFrobInformation", "unknown information class 'FileFrobInformation'"},
      {"&sleep 5", "'&' before sleep, which is not a request"},
      {"&&read 1", "more than one '&'"},
      {"@COM4 open COM5", "'@NAME' before open, which does not run on a port"},
      {"@ read 1", "'@' without a port name"},
      {"@A @B read 1", "more than one '@NAME'"},
      {"& @A", "no command"},
      {"sleep 600001", "MS over 600000: '600001'"},
      {"await", "usage: await ID [MS]"},
      {"quit now", "quit takes no argument"},
      {"open", "usage: open NAME"},
      {"frob" + std::string(100, 'x'), "unknown command 'frobxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...'"},
  };
  for (const auto& [line, reason] : cases) {
    ParsedLine parsed = ParseLine(line);
    EXPECT_EQ(parsed.kind, ParsedLine::Kind::Malformed) << line;
    EXPECT_EQ(parsed.reason, reason) << line;
  }
  for (const char* blank : {"", "  \t ", "# a comment", "  #read 4"}) {
    EXPECT_EQ(ParseLine(blank).kind, ParsedLine::Kind::Blank) << blank;
  }
}

TEST(ShellCommandReader, CodesAndClassesAreTakenByNameOrNumberWithPrefixesArgumentsAndHex) {
  std::set<uint32_t> codes;
  for (const auto& entry : ControlCodes()) {
    codes.insert(entry.number);
    EXPECT_EQ(Parsed(std::string("ioctl ") + entry.name).code, entry.number) << entry.name;
    EXPECT_EQ(Parsed(std::string("ioctl IOCTL_SERIAL_") + entry.name).code, entry.number) << entry.name;
  }
  for (uint32_t code = 0x1B0004; code <= 0x1B0090; code += 4) EXPECT_EQ(codes.count(code), 1u) << "no name: " << std::hex << code;
  EXPECT_EQ(Parsed("ioctl set_baud_rate").code, static_cast<uint32_t>(IOCTL_SERIAL_SET_BAUD_RATE));
  EXPECT_EQ(Parsed("ioctl 0x1B0004").code, 0x1B0004u);
  EXPECT_EQ(Parsed("ioctl 1769476").code, 0x1B0004u);
  EXPECT_EQ(Parsed("ioctl 0x1b0006").code, 0x1B0006u) << "a number outside the table is sent as it is";

  const Command query = Parsed("query FileStandardInformation");
  EXPECT_EQ(std::pair(query.code, query.length), std::pair(5u, kDefaultQueryLength));
  EXPECT_EQ(Parsed("query filepositioninformation out=8").length, 8u);
  EXPECT_EQ(Parsed("set FileEndOfFileInformation").code, 20u);
  EXPECT_EQ(Parsed("set 0x13 in=0102").code, 19u);
  EXPECT_EQ(Parsed("query 4000000000").code, 4000000000u);

  // Prefixes, arguments and hex.
  for (const char* line : {"&@COM4 read 5", "@com4 &read 5", "& @COM4 READ 5"}) {
    const Command command = Parsed(line);
    EXPECT_TRUE(command.async && (command.port == "COM4" || command.port == "com4") && command.verb == Verb::Read &&
                command.length == 5u) << line;
  }
  EXPECT_EQ(Parsed("write 48 65 6C 6c 6F").input, (std::vector<uint8_t>{'H', 'e', 'l', 'l', 'o'}));
  EXPECT_TRUE(Parsed("write").input.empty()) << "a write of no bytes";
  const Command ioctl = Parsed("ioctl 0x1B0074 out=64 in=");
  EXPECT_TRUE(ioctl.length == 64u && ioctl.input.empty());
  const Command await = Parsed("  Await 3 250 ");
  EXPECT_TRUE(await.verb == Verb::Await && await.id == 3u && await.milliseconds == 250u);
  EXPECT_EQ(Parsed("await 3").milliseconds, kDefaultAwaitMilliseconds);
  EXPECT_EQ(Parsed("open \\\\.\\COM3").name, "\\\\.\\COM3");
}

TEST(ShellCommandReader, ALineLongerThanTheBoundIsDroppedAndTheNextOneRead) {
  // The last line comes without its end.
  std::istringstream in("a\r\nb\n" + std::string(kMaxLine + 1, 'x') + "\nc");
  std::string line;
  std::vector<std::pair<LineStatus, std::string>> read;
  for (LineStatus status; read.size() < 5 && (status = ReadLine(in, line)) != LineStatus::End;) read.emplace_back(status, line);
  EXPECT_EQ(read, (std::vector<std::pair<LineStatus, std::string>>{
                      {LineStatus::Line, "a"}, {LineStatus::Line, "b"}, {LineStatus::TooLong, ""}, {LineStatus::Line, "c"}}));

  std::istringstream longest("write " + std::string(kMaxLine - 6, '0') + "\n");
  EXPECT_EQ(ReadLine(longest, line), LineStatus::Line);
  EXPECT_EQ(ParseLine(line).reason, "more than 1048576 bytes");
}

}  // namespace
