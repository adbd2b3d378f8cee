// The tessacom program's command line and its load report against the real driver.
#include <gtest/gtest.h>

#include <sstream>

#include "command_line.h"
#include "demo.h"
#include "shell.h"
#include "endpoint.h"
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

  EXPECT_TRUE(ParseCommandLine({"demo", "--help"}).help);
  EXPECT_EQ(ParseCommandLine({"frob"}).error, "unknown command: frob");
  EXPECT_EQ(ParseCommandLine({"load", "--reg"}).error, "--reg needs a value");
  EXPECT_EQ(ParseCommandLine({"serve", "--bind", "300.1.1.1"}).error,
            "--bind: not an IPv4 address: 300.1.1.1");
  EXPECT_FALSE(ParseCommandLine({"demo", "--bind", "127.0.0.1"}).error.empty());
  EXPECT_FALSE(ParseCommandLine({"load", "extra", "words"}).error.empty());
  Options shell = ParseCommandLine({"shell", "--bind", "127.0.0.8", "--devserver", "127.0.0.9", "--speed", "20"});
  EXPECT_TRUE(shell.error.empty()) << shell.error;
  EXPECT_EQ(shell.devserver.value_or(0), 0x7F000009u);
  EXPECT_EQ(shell.speed.value_or(0), 20.0);
  EXPECT_FALSE(ParseCommandLine({"shell", "--devserver", "127.0.0.9"}).error.empty()) << "needs --bind";
  EXPECT_FALSE(ParseCommandLine({"shell", "--bind", "127.0.0.9", "--devserver", "127.0.0.9"}).error.empty());
  EXPECT_FALSE(ParseCommandLine({"shell", "--bind", "127.0.0.8", "--devserver", "10.0.0.9"}).error.empty());
  EXPECT_FALSE(ParseCommandLine({"shell", "--speed", "0"}).error.empty());
  EXPECT_FALSE(ParseCommandLine({"shell", "--speed", "2x"}).error.empty());
  EXPECT_FALSE(ParseCommandLine({"serve", "--speed", "2"}).error.empty());
  EXPECT_FALSE(devserver::ParseAddress("1.2.3").has_value());
  EXPECT_EQ(devserver::AddressToString(0xC0A8010A), "192.168.1.10");
}

TEST(TessacomProgram, LoadReportsWhatTheDriverMadeAndThatNothingIsLeft) {
  // An address of the test's own, so that suites running alongside keep theirs.
  Options options = ParseCommandLine({"load", "--bind", devserver::AddressToString(testsupport::UniqueLoopbackAddress())});
  std::ostringstream out;
  EXPECT_EQ(tessacom::RunLoad(options, out), 0);
  std::string text = out.str();
  EXPECT_NE(text.find("load: STATUS_SUCCESS"), std::string::npos) << text;
  EXPECT_NE(text.find("\\DosDevices\\COM5 -> \\Device\\vxserial2"), std::string::npos) << text;
  EXPECT_NE(text.find("vxserial0 = COM3 (REG_SZ, 10 bytes)"), std::string::npos) << text;
  EXPECT_NE(text.find("receiver threads: 1 (0.0.0.3)"), std::string::npos) << text;
  EXPECT_NE(text.find("nothing outstanding"), std::string::npos) << text;
}

// Against the real driver and an embedded emulator: what works whatever the serial requests
// answer today.
TEST(TessacomProgram, ShellLoadsAnswersLineByLineAndUnloadsCleanAtQuit) {
  Options options = ParseCommandLine(
      {"shell", "--bind", devserver::AddressToString(testsupport::UniqueLoopbackAddress()), "--devserver",
       devserver::AddressToString(testsupport::UniqueLoopbackAddress())});
  ASSERT_TRUE(options.error.empty()) << options.error;
  std::istringstream in("bogus\nopen COM9\nquit\nopen COM3\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(tessacom::RunShell(options, in, out, err), 0);
  EXPECT_EQ(out.str(), "error unknown command 'bogus'\nSTATUS_OBJECT_NAME_NOT_FOUND 0\nok\n")
      << "nothing after quit runs";
  EXPECT_NE(err.str().find("load: STATUS_SUCCESS"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("nothing outstanding"), std::string::npos) << err.str();
}

}  // namespace
