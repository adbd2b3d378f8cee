// The tessacom program's command line and its load report against the real driver.
#include <gtest/gtest.h>

#include <sstream>

#include "command_line.h"
#include "demo.h"
#include "support/driver_under_test.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"

using tessacom::Options;
using tessacom::ParseCommandLine;

namespace {

TEST(TessacomCommandLine, CommandsAndOptionsAreUnderstoodOrRefusedClearly) {
  Options load = ParseCommandLine({"load", "--reg", "x.reg"});
  EXPECT_TRUE(load.error.empty());
  EXPECT_EQ(load.command, "load");
  EXPECT_EQ(load.reg.value_or(""), "x.reg");

  Options serve = ParseCommandLine({"serve", "--bind", "127.0.0.9"});
  EXPECT_TRUE(serve.error.empty());
  EXPECT_EQ(serve.bind.value_or(0), 0x7F000009u);
  EXPECT_EQ(ParseCommandLine({"demo", "--image", "x.sys"}).image.value_or(""), "x.sys");

  EXPECT_TRUE(ParseCommandLine({"demo", "--help"}).help);
  EXPECT_EQ(ParseCommandLine({"frob"}).error, "unknown command: frob");
  EXPECT_EQ(ParseCommandLine({"load", "--reg"}).error, "--reg needs a value");
  EXPECT_EQ(ParseCommandLine({"serve", "--bind", "300.1.1.1"}).error,
            "--bind: not an IPv4 address: 300.1.1.1");
  EXPECT_FALSE(ParseCommandLine({"demo", "--bind", "127.0.0.1"}).error.empty());
  EXPECT_FALSE(ParseCommandLine({"load", "extra", "words"}).error.empty());
  EXPECT_FALSE(tessacom::ParseAddress("1.2.3").has_value());
  EXPECT_EQ(tessacom::FormatAddress(0xC0A8010A), "192.168.1.10");
}

TEST(TessacomProgram, LoadReportsWhatTheDriverMadeAndThatNothingIsLeft) {
  // An address of the test's own, so that suites running alongside keep theirs; the driver
  // under test.
  std::vector<std::string> arguments = {"load", "--bind",
                                        tessacom::FormatAddress(testsupport::UniqueLoopbackAddress())};
  for (const std::string& argument : testsupport::ProgramDriverArguments()) arguments.push_back(argument);
  Options options = ParseCommandLine(arguments);
  std::ostringstream out;
  EXPECT_EQ(tessacom::RunLoad(options, out), 0);
  std::string text = out.str();
  EXPECT_NE(text.find("load: STATUS_SUCCESS"), std::string::npos) << text;
  EXPECT_NE(text.find("\\DosDevices\\COM5 -> \\Device\\vxserial2"), std::string::npos) << text;
  EXPECT_NE(text.find("vxserial0 = COM3 (REG_SZ, 10 bytes)"), std::string::npos) << text;
  EXPECT_NE(text.find("receiver threads: 1 (0.0.0.3)"), std::string::npos) << text;
  EXPECT_NE(text.find("nothing outstanding"), std::string::npos) << text;
}

}  // namespace
