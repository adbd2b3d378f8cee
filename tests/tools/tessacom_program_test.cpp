// The tessacom program's command line and its load report against the real driver.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_line.h"
#include "demo/demo.h"
#include "endpoint.h"
#include "host/net/udp_transport.h"
#include "host_session.h"
#include "serve_accounts.h"
#include "shell/shell.h"
#include "support/child_program.h"
#include "support/device_servers.h"
#include "support/driver_under_test.h"
#include "support/executive_session.h"
#include "support/loopback_address.h"
#include "support/udp_peer.h"
#include "wire.h"

using tessacom::Options;
using tessacom::ParseCommandLine;

namespace {

TEST(TessacomCommandLine, CommandsAndOptionsAreUnderstoodOrRefusedClearly) {
  Options load = ParseCommandLine({"load", "--reg", "x.reg"});
  EXPECT_TRUE(load.error.empty() && load.command == "load" && load.reg == "x.reg") << load.error;
  EXPECT_EQ(ParseCommandLine({"serve", "--bind", "127.0.0.9"}).bind.value_or(0), 0x7F000009u);
  EXPECT_EQ(ParseCommandLine({"demo", "--image", "x.sys"}).image.value_or(""), "x.sys");
  EXPECT_EQ(ParseCommandLine({"serve", "--pty", "/run/com"}).pty.value_or(""), "/run/com");
  Options user = ParseCommandLine({"serve", "--user", "nobody", "--pty", "d", "--pty-owner", "a:b", "--pty-mode", "640"});
  EXPECT_TRUE(user.error.empty() && user.user == "nobody" && user.ptyOwner == "a:b" && user.ptyMode == 0640u) << user.error;
  EXPECT_TRUE(ParseCommandLine({"shell", "--loopback-only"}).loopbackOnly);
  EXPECT_TRUE(ParseCommandLine({"demo", "--help"}).help);
  Options shell = ParseCommandLine({"shell", "--bind", "127.0.0.8", "--devserver", "127.0.0.9", "--speed", "20"});
  EXPECT_TRUE(shell.error.empty() && shell.devserver == 0x7F000009u && shell.speed == 20.0) << shell.error;
  Options soak = ParseCommandLine({"soak", "--bytes", "0x100000", "--seed", "0", "--speed", "1000"});
  EXPECT_TRUE(soak.error.empty() && soak.bytes == 1048576u && soak.seed == 0u) << soak.error;
  Options bench = ParseCommandLine({"bench", "--quick", "--json", "figures.json"});
  EXPECT_TRUE(bench.error.empty() && bench.quick && bench.json.value_or("") == "figures.json");
  EXPECT_FALSE(devserver::ParseAddress("1.2.3").has_value());
  EXPECT_EQ(devserver::AddressToString(0xC0A8010A), "192.168.1.10");

  // Refused, with the words where they are checked ("": any reason).
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"load", "--pty", "/run/com"}, "--pty belongs to serve"},
      {{"serve", "--exclusive"}, "--exclusive belongs to serve --pty"},
      {{"load", "--user", "nobody"}, "--user belongs to serve"},
      {{"serve", "--pty-mode", "600"}, "--pty-owner and --pty-mode belong to serve --pty"},
      {{"frob"}, "unknown command: frob"},
      {{"load", "--reg"}, "--reg needs a value"},
      {{"serve", "--bind", "300.1.1.1"}, "--bind: not an IPv4 address: 300.1.1.1"},
      {{"serve", "--pty", "d", "--pty-mode", "4755"}, ""},  // no set-id bit
      {{"serve", "--pty", "d", "--pty-mode", "rw"}, ""}, {{"demo", "--loopback-only"}, ""},
      {{"demo", "--bind", "127.0.0.1"}, ""}, {{"load", "extra", "words"}, ""},
      {{"shell", "--devserver", "127.0.0.9"}, ""},  // needs --bind
      {{"shell", "--bind", "127.0.0.9", "--devserver", "127.0.0.9"}, ""},
      {{"shell", "--bind", "127.0.0.8", "--devserver", "10.0.0.9"}, ""}, {{"shell", "--speed", "0"}, ""},
      {{"shell", "--speed", "2x"}, ""}, {{"serve", "--speed", "2"}, ""}, {{"soak", "--bytes", "0"}, ""},
      {{"soak", "--bytes", "-5"}, ""}, {{"soak", "--reg", "x.reg"}, ""}, {{"load", "--seed", "3"}, ""},
      {{"demo", "--quick"}, ""}, {{"bench", "--bind", "127.0.0.9"}, ""},
  };
  for (const auto& [arguments, error] : refused) {
    const std::string said = ParseCommandLine(arguments).error;
    EXPECT_FALSE(said.empty()) << arguments.back();
    if (!error.empty()) {
      EXPECT_EQ(said, error);
    }
  }
}

// The command line of a test that runs the driver: with --image when the suites run an image,
// and never beyond loopback.
Options ForDriverUnderTest(std::vector<std::string> arguments) {
  arguments.push_back("--loopback-only");
  for (const std::string& argument : testsupport::ProgramDriverArguments()) arguments.push_back(argument);
  return ParseCommandLine(arguments);
}

TEST(TessacomProgram, LoadReportsWhatTheDriverMadeAndThatNothingIsLeft) {
  // An address of the test's own, so that suites running alongside keep theirs.
  Options options = ForDriverUnderTest({"load", "--bind", devserver::AddressToString(testsupport::UniqueLoopbackAddress())});
  std::ostringstream out;
  EXPECT_EQ(tessacom::RunLoad(options, out), 0);
  std::string text = out.str();
  EXPECT_NE(text.find("load: STATUS_SUCCESS"), std::string::npos) << text;
  EXPECT_NE(text.find("\\DosDevices\\COM5 -> \\Device\\vxserial2"), std::string::npos) << text;
  EXPECT_NE(text.find("vxserial0 = COM3 (REG_SZ, 10 bytes)"), std::string::npos) << text;
  EXPECT_NE(text.find("receiver threads: 1 (0.0.0.3)"), std::string::npos) << text;
  EXPECT_NE(text.find("nothing outstanding"), std::string::npos) << text;
}

// What `load` says of a configuration it cannot take as it is: each thing once, in words.
TEST(TessacomProgram, LoadSaysWhatTheConfigurationDoesNotGive) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n";
  struct Case {
    std::string values;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {key + "\"StartPort\"=dword:0000270e\n\"MaxPort\"=hex:\n\"StartNum2\"=hex(4):01,00\n"
             "\"dAddress1\"=dword:c0a8010a\n",
       {"note: \"MaxPort\" is REG_BINARY of 0 bytes, not a 4-byte REG_DWORD: the driver treats it as absent (3)",
        "note: \"StartNum2\" is REG_DWORD of 2 bytes", "port 0: COM9998,", "port 1: COM9999,",
        "port 2: no COM name (its COM number 10000 is outside 0 to 9999",
        "note: the loopback guard is on (--loopback-only): nothing is sent to 0.0.0.3 (ports 1, 2)",
        "note: the loopback guard is on (--loopback-only): nothing is sent to 192.168.1.10 (port 0)"}},
      {key + "\"MaxPort\"=dword:0000012c\n",
       {"note: \"MaxPort\" is 300, more than the 256 ports the driver has room for: it makes 256",
        "port 255: COM258,", "nothing is sent to 0.0.0.3 (ports 0 to 255)"}},
      // Channels 0, 257 and 65536 on one remote, beside ports on its channels 1 and 256.
      {key + "\"MaxPort\"=dword:00000006\n\"StartNum1\"=dword:00000000\n\"StartNum2\"=dword:00000101\n"
             "\"StartNum3\"=dword:00000001\n\"StartNum4\"=dword:00000001\n\"StartNum5\"=dword:00010000\n"
             "\"StartNum6\"=dword:00000100\n"
             "\"dAddress1\"=dword:7f000005\n\"dAddress2\"=dword:7f000005\n\"dAddress3\"=dword:7f000005\n"
             "\"dAddress4\"=dword:7f000005\n\"dAddress5\"=dword:7f000005\n\"dAddress6\"=dword:7f000005\n",
       {"note: \"StartNum1\" is 0, outside 1 to 256: port 0 sends on wire channel 255 of 127.0.0.5",
        "nothing the remote sends reaches port 0 and every open of it fails (what comes back on wire "
        "channel 255 goes to port 5: ",
        "note: \"StartNum2\" is 257, outside 1 to 256: port 1 sends on wire channel 0 of 127.0.0.5",
        "every open of it fails (what comes back on wire channel 0 goes to port 2: the reply to an "
        "open of port 1 leaves port 2's link open, and port 2 then refuses every open",
        "note: \"StartNum5\" is 65536, outside 1 to 256: port 4 sends on wire channel 255",
        "note: ports 2, 3 have the same remote 127.0.0.5 and channel 1",
        "to port 2 alone, so an open of another of them gets no reply and fails, and the reply it "
        "caused leaves port 2's link open: port 2 then refuses every open until the remote closes it"}},
      {key + "\"MaxPort\"=dword:80000000\n",
       {"note: \"MaxPort\" is 2147483648, which the driver reads as a signed number, -2147483648: it "
        "makes no port, and a load without a port fails",
        "load: STATUS_SERIAL_NO_DEVICE_INITED (0xc0000150): the driver made no port"}},
      {key + "\"MaxPort\"=dword:00000000\n",
       {"note: \"MaxPort\" is 0: the driver makes no port",
        "load: STATUS_SERIAL_NO_DEVICE_INITED (0xc0000150): the driver made no port"}},
      // Ports without a COM name or a remote: there, but nothing can use them.
      {key + "\"StartPort\"=dword:00002710\n\"dAddress1\"=dword:00000000\n",
       {"note: port 0 (\"dAddress<n>\" 0, n = port + 1) has no remote: the driver refuses every open at once",
        "note: ports 1, 2 have no remote a datagram can reach: \"dAddress<n>\" (n = port + 1) is 0.0.0.3",
        "note: no port has a COM name (each port's reason is above), so no program can open one"}},
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Elsewhere]\n",
       {"note: the configuration has no key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom"}},
  };
  const auto file = std::filesystem::temp_directory_path() / ("tessacom_notes_" + std::to_string(::getpid()) + ".reg");
  for (const auto& c : cases) {
    std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n" << c.values;
    Options options = ForDriverUnderTest({"load", "--reg", file.string(), "--bind",
                                          devserver::AddressToString(testsupport::UniqueLoopbackAddress())});
    std::ostringstream out;
    tessacom::RunLoad(options, out);
    const std::string text = out.str();
    for (const auto& said : c.said) {
      const size_t first = text.find(said);
      EXPECT_NE(first, std::string::npos) << said << "\n---\n" << text;
      EXPECT_EQ(text.find(said, first + 1), std::string::npos) << "said twice: " << said;
    }
    EXPECT_NE(text.find("nothing outstanding"), std::string::npos) << text;
  }
  std::filesystem::remove(file);
}

// serve --pty: a link per COM port while it serves; at the signal, with a program holding COM3
// open and a write of it pending (the remote has gone silent), the bridge stops (the write
// cancelled, every port closed, the links removed) before the driver unloads with nothing left.
TEST(TessacomProgram, ServeWithPseudoTerminalsStopsCleanlyOnTheSignal) {
  const auto directory = std::filesystem::temp_directory_path() / ("tessacom_pty_" + std::to_string(::getpid()));
  const auto reg = directory.string() + ".reg";
  const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
  auto server = testsupport::StartDeviceServer(driverAddress);
  std::ofstream(reg) << "Windows Registry Editor Version 5.00\n\n"
                     << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"
                     << "\"StartNum1\"=dword:00000001\n\"dAddress1\"=dword:" << std::hex
                     << server->Local().address << "\n";
  Options options = ForDriverUnderTest({"serve", "--pty", directory.string(), "--reg", reg, "--bind",
                                        devserver::AddressToString(driverAddress)});
  std::ostringstream out;
  int result = -1;
  std::thread serving([&] { result = tessacom::RunServe(options, out); });
  const bool linked = testsupport::WaitUntil([&] { return std::filesystem::is_symlink(directory / "COM5"); });
  int program = linked ? ::open((directory / "COM3").c_str(), O_RDWR | O_NOCTTY) : -1;
  const bool opened = program >= 0 && server->WaitForOpen(0, std::chrono::seconds(10));
  if (opened) {
    server->SetFaults({.fromDriver = {.drop = 1}});
    EXPECT_EQ(::write(program, "pending", 7), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the bridge's write goes out
  }
  if (linked) pthread_kill(serving.native_handle(), SIGTERM);  // taken by the serving thread's sigwait
  serving.join();
  if (program >= 0) ::close(program);
  std::filesystem::remove(reg);
  ASSERT_TRUE(linked) << out.str();
  EXPECT_TRUE(opened) << out.str();
  EXPECT_EQ(result, 0);
  const std::string text = out.str();
  for (const char* said : {"pty: COM3: ", "pty: 3 ports in ", "terminated", "pty: stopped", "nothing outstanding"}) {
    EXPECT_NE(text.find(said), std::string::npos) << said << "\n---\n" << text;
  }
  EXPECT_TRUE(std::filesystem::is_empty(directory));
  std::filesystem::remove(directory);
}

// A serve on an address whose port 519 another program has bound is refused at start, naming
// the address, instead of sharing the port: it serves nothing and ends with status 1.
TEST(TessacomProgram, ServeRefusesAnAddressAnotherProgramHasBound) {
  const uint32_t address = testsupport::UniqueLoopbackAddress();
  testsupport::UdpPeer other(address, tessacom::LinkWirePort(519));
  ASSERT_TRUE(other.Bound());
  Options options = ForDriverUnderTest({"serve", "--bind", devserver::AddressToString(address)});
  std::ostringstream out;
  std::atomic<int> result = -1;
  std::thread serving([&] { result = tessacom::RunServe(options, out); });
  const bool ended = testsupport::WaitUntil([&] { return result != -1; }, std::chrono::seconds(30));
  if (!ended) pthread_kill(serving.native_handle(), SIGTERM);  // a serve that did not refuse
  serving.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(result, 1);
  EXPECT_NE(out.str().find("refused: the driver's UDP endpoint cannot bind " + devserver::AddressToString(address) +
                           ":519: another program has bound it already"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(out.str().find("serving on"), std::string::npos) << out.str();
}

// Why an open was refused, in words beside the status: a remote outside loopback under the
// guard (whose sends are refused and counted, and none leaves), a remote that does not answer,
// a port without a remote (the driver's STATUS_FILES_OPEN for all three), a port open to
// another handle.
TEST(TessacomProgram, ShellSaysWhyAnOpenFailed) {
  const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
  const uint32_t silent = testsupport::UniqueLoopbackAddress();  // nothing listens there
  const uint32_t emulator = testsupport::UniqueLoopbackAddress();
  constexpr uint32_t kOutside = 0xC000020A;                      // 192.0.2.10, never reached
  const auto reg = std::filesystem::temp_directory_path() / ("tessacom_why_" + std::to_string(::getpid()) + ".reg");
  std::ofstream(reg) << "Windows Registry Editor Version 5.00\n\n"
                     << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"
                     << "\"MaxPort\"=dword:00000004\n\"StartNum1\"=dword:00000001\n\"StartNum2\"=dword:00000002\n"
                     << "\"StartNum4\"=dword:00000001\n" << std::hex << "\"dAddress1\"=dword:" << kOutside
                     << "\n\"dAddress2\"=dword:" << silent << "\n\"dAddress3\"=dword:0\n\"dAddress4\"=dword:"
                     << emulator << "\n";
  Options options = ForDriverUnderTest({"shell", "--reg", reg.string(), "--bind", devserver::AddressToString(driverAddress),
                                        "--devserver", devserver::AddressToString(emulator), "--speed", "20"});
  std::istringstream in("open COM3\nopen COM4\nopen COM5\nopen COM6\nopen \\\\.\\COM6\nquit\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(tessacom::RunShell(options, in, out, err), 0);
  std::filesystem::remove(reg);
  EXPECT_EQ(out.str(), "STATUS_FILES_OPEN 0\nSTATUS_FILES_OPEN 0\nSTATUS_FILES_OPEN 0\nSTATUS_SUCCESS 0\n"
                       "STATUS_ACCESS_DENIED 0\nok\n");
  const std::string said[] = {
      "open COM3: STATUS_FILES_OPEN: nothing was sent to 192.0.2.10 channel 1: the loopback guard",
      "open COM4: STATUS_FILES_OPEN: " + devserver::AddressToString(silent) +
          " channel 2 did not answer the open: no reply from its UDP port " +
          std::to_string(tessacom::LinkWirePort(tessacom::kUnprivilegedLinkPort)) + "; the open waited ",
      "open COM5: STATUS_FILES_OPEN: the port has no remote (\"dAddress3\" is 0)",
      "open \\\\.\\COM6: STATUS_ACCESS_DENIED: another handle of this host holds the port",
  };
  for (const std::string& text : said) EXPECT_NE(err.str().find(text), std::string::npos) << text << "\n---\n" << err.str();
  EXPECT_GE(host::net::GetCounters().refusedByGuard, 1u);
  const auto byRemote = host::net::CountersByRemote();
  EXPECT_TRUE(!byRemote.contains(kOutside) || byRemote.at(kOutside).sent == 0) << "a datagram left loopback";
}

// The program as a person runs it, with the driver under test.
std::vector<std::string> ProgramLine(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TESSACOM_PROGRAM);
  for (const std::string& argument : testsupport::ProgramDriverArguments()) arguments.push_back(argument);
  return arguments;
}

std::string RegForRemote(const std::string& name, uint32_t remote) {
  const auto reg = std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()) + ".reg");
  std::ofstream(reg) << "Windows Registry Editor Version 5.00\n\n"
                     << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"
                     << "\"MaxPort\"=dword:00000001\n\"StartNum1\"=dword:00000001\n\"dAddress1\"=dword:" << std::hex
                     << remote << "\n";
  return reg.string();
}

// Started as root with --user, serve opens its socket, then runs as that user: the process's
// every id is the user's, the pseudo-terminals and their directory are the user's, a program's
// bytes still reach the remote through the socket opened before, and at SIGTERM the links go.
TEST(TessacomProgram, ServeStartedAsRootRunsAsTheGivenUserOnceItsSocketIsOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing the user needs root; run as root to check it";
  const std::optional<tessacom::Account> nobody = tessacom::FindUser("nobody");
  if (!nobody) GTEST_SKIP() << "no user \"nobody\" on this system";
  const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
  auto server = testsupport::StartDeviceServer(driverAddress);
  const std::string reg = RegForRemote("tessacom_user_", server->Local().address);
  const auto directory = std::filesystem::temp_directory_path() / ("tessacom_user_" + std::to_string(::getpid()));
  testsupport::ChildProgram serve(ProgramLine({"serve", "--user", "nobody", "--pty", directory.string(), "--pty-mode",
                                               "0600", "--reg", reg, "--bind", devserver::AddressToString(driverAddress)}));
  ASSERT_TRUE(serve.WaitFor("serving on")) << serve.Output();
  std::ifstream status("/proc/" + std::to_string(serve.Pid()) + "/status");
  std::string line, ids;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0 || line.rfind("Gid:", 0) == 0) ids += line + "\n";
  }
  const std::string u = std::to_string(nobody->uid), g = std::to_string(nobody->gid);
  EXPECT_EQ(ids, "Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u + "\nGid:\t" + g + "\t" + g + "\t" + g + "\t" + g + "\n");
  struct stat terminal {}, folder {};
  ASSERT_EQ(::stat((directory / "COM3").c_str(), &terminal), 0);
  ASSERT_EQ(::stat(directory.c_str(), &folder), 0);
  EXPECT_EQ(terminal.st_uid, nobody->uid);
  EXPECT_EQ(terminal.st_gid, nobody->gid);
  EXPECT_EQ(terminal.st_mode & 07777, 0600u);
  EXPECT_EQ(folder.st_uid, nobody->uid) << "serve made it for the user who makes and removes the links";
  const int program = ::open((directory / "COM3").c_str(), O_RDWR | O_NOCTTY);
  EXPECT_TRUE(program >= 0 && server->WaitForOpen(0, std::chrono::seconds(10)));
  EXPECT_EQ(::write(program, "hi", 2), 2);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server->Written(0).size() == 2; })) << "through the socket opened as root";
  ::close(program);
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
  EXPECT_NE(serve.Output().find("serve: running as nobody"), std::string::npos) << serve.Output();
  EXPECT_NE(serve.Output().find("nothing outstanding"), std::string::npos) << serve.Output();
  EXPECT_TRUE(std::filesystem::is_empty(directory));
  std::filesystem::remove(directory);
  std::filesystem::remove(reg);
}

// Ctrl-C and SIGTERM end each program as serve's end does: the shell cancels the request it
// waits for and those in flight, closes its handles and unloads; the soak and the bench stop
// and print what they measured, marked partial; the emulator closes its open channels with a
// DOWN and prints its counters.
TEST(TessacomProgram, EveryProgramEndsInOrderAtCtrlCAndSigterm) {
  const std::string a = devserver::AddressToString(testsupport::UniqueLoopbackAddress());
  const std::string b = devserver::AddressToString(testsupport::UniqueLoopbackAddress());
  const uint32_t peerAddress = testsupport::UniqueLoopbackAddress();
  const uint16_t emulatorPort = 40522;
  struct Case {
    std::vector<std::string> line;
    std::function<bool(testsupport::ChildProgram&)> underWay;
    int signal;
    int status;
    std::vector<std::string> said;
  };
  auto saying = [](std::string input, std::string text) {
    return [=](testsupport::ChildProgram& child) {
      child.Send(input);
      return child.WaitFor(text);
    };
  };
  auto openedByPeer = [&](testsupport::ChildProgram& child) {
    const std::vector<uint8_t> block = {0, 0, 0, 0, 0xBF, 0x0C, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    testsupport::UdpPeer peer(peerAddress, emulatorPort);
    return child.WaitFor("# serving") &&
           // wire channel 0: the emulator's channel 1
           peer.SendTo(*devserver::ParseAddress(b), emulatorPort, devserver::Encode(devserver::kOpen, 0, 1, block)) &&
           child.WaitFor("# ch 1 opened");
  };
  const Case cases[] = {
      {ProgramLine({"shell", "--bind", a, "--devserver", b}), saying("open COM3\n&read 4\nread 4\n", "pending 1"), SIGINT,
       128 + SIGINT,
       {"done 1 STATUS_CANCELLED 0", "interrupted\nend of session: 1 request(s) cancelled, 1 handle(s) closed",
        "nothing outstanding"}},
      {ProgramLine({"soak", "--bytes", "16777216", "--speed", "1000"}), saying("", "inside the protocol's limit"),
       SIGTERM, 128 + SIGTERM, {"soak: terminated after", "the summary is PARTIAL", "errors found: 0", "nothing outstanding"}},
      {ProgramLine({"bench", "--quick"}), saying("", "bench [2/12]"), SIGINT, 128 + SIGINT,
       {"PARTIAL: interrupted", "raw UDP datagram echoed", "(200 samples)", "-      open p50 <= 52 ms: not measured"}},
      {{TESSACOM_DEVSERVER_PROGRAM, "--bind", b + ":" + std::to_string(emulatorPort), "--no-commands"}, openedByPeer,
       SIGTERM, 0,
       {"# terminated\n", "ch 1 went down: DOWN sent, closed", "# ch 1 <-> driver ", "# server " + b}},
  };
  for (const Case& c : cases) {
    testsupport::ChildProgram child(c.line);
    ASSERT_TRUE(child.Started()) << c.line[1];
    EXPECT_TRUE(c.underWay(child)) << c.line[1] << "\n---\n" << child.Output();
    child.Signal(c.signal);
    EXPECT_EQ(child.Wait(), c.status) << c.line[1] << "\n---\n" << child.Output();
    for (const std::string& said : c.said) {
      EXPECT_NE(child.Output().find(said), std::string::npos) << said << "\n---\n" << child.Output();
    }
  }
}

// Against the real driver and an embedded emulator: answers line by line for every request
// class (the immediate character goes ahead of a later write, short and unknown device controls
// are refused), bytes written to COM3 come back through the echo, nothing after quit runs, and
// the unload is clean.
TEST(TessacomProgram, ShellAnswersEveryRequestClassCarriesBytesThroughTheEchoAndUnloadsCleanAtQuit) {
  Options options = ForDriverUnderTest(
      {"shell", "--bind", devserver::AddressToString(testsupport::UniqueLoopbackAddress()), "--devserver",
       devserver::AddressToString(testsupport::UniqueLoopbackAddress())});
  ASSERT_TRUE(options.error.empty()) << options.error;
  std::istringstream in(
      "bogus\nopen COM9\nopen COM3\nioctl IMMEDIATE_CHAR in=21\nioctl IMMEDIATE_CHAR\nioctl PURGE in=010000\n"
      "ioctl 0x1B0094\nquery FileStandardInformation\nset FileEndOfFileInformation in=0000000000000000\n"
      "write 4142\nflush\nsleep 200\nread 3\nioctl GET_COMMSTATUS out=20\n"
      "write 48656c6c6f\nsleep 200\nread 5\nclose\nquit\nopen COM3\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(tessacom::RunShell(options, in, out, err), 0);
  EXPECT_EQ(out.str(), "error unknown command 'bogus'\nSTATUS_OBJECT_NAME_NOT_FOUND 0\n"
                       "STATUS_SUCCESS 0\nSTATUS_SUCCESS 0\nSTATUS_BUFFER_TOO_SMALL 0\n"
                       "STATUS_BUFFER_TOO_SMALL 0\nSTATUS_INVALID_PARAMETER 0\n"
                       "STATUS_SUCCESS 24 " + std::string(48, '0') + "\nSTATUS_SUCCESS 0\n"
                       "STATUS_SUCCESS 2\nSTATUS_SUCCESS 0\nok\nSTATUS_SUCCESS 3 214142\n"
                       "STATUS_SUCCESS 20 " + std::string(40, '0') + "\n"
                       "STATUS_SUCCESS 5\nok\nSTATUS_SUCCESS 5 48656c6c6f\nSTATUS_SUCCESS 0\nok\n");
  EXPECT_NE(err.str().find("load: STATUS_SUCCESS"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("nothing outstanding"), std::string::npos) << err.str();
}

// `status` answers `ok` and writes each port's and remote's counts to the error stream. The
// remote passes every datagram twice: the echo's copy is refused as a repeat and answered at
// once with a receive acknowledgement; the copies of the open reply and of the data's
// acknowledgement change nothing.
TEST(TessacomProgram, ShellStatusCountsWhatTheLinkCarriedAndWhatTheDriverRefused) {
  const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
  devserver::ServerOptions twice;
  twice.backend = devserver::BackendKind::Echo;
  twice.faults.toDriver.duplicate = 1;
  auto server = testsupport::StartDeviceServer(driverAddress, twice);
  const std::string remote = devserver::AddressToString(server->Local().address);
  const std::string reg = RegForRemote("tessacom_status_", server->Local().address);
  Options options = ForDriverUnderTest({"shell", "--reg", reg, "--bind", devserver::AddressToString(driverAddress)});
  std::istringstream in("status\nopen COM3\nwrite 48656c6c6f\nsleep 200\nread 5\nstatus\nclose\nquit\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(tessacom::RunShell(options, in, out, err), 0);
  std::filesystem::remove(reg);
  EXPECT_EQ(out.str(), "ok\nSTATUS_SUCCESS 0\nSTATUS_SUCCESS 5\nok\nSTATUS_SUCCESS 5 48656c6c6f\nok\nSTATUS_SUCCESS 0\nok\n");
  const std::string said[] = {
      "other ports closed, with nothing sent or received: 1\n",
      "COM3 <-> " + remote + " channel 1: open; in seq 10, out seq 2\n"
      "  in flight: nothing\n"
      "  sent:     packets 3, data 1 (5 bytes), resent 0, polls 0 (answered 0), RXACK 1\n"
      "  received: packets 6, data 2 (10 bytes), ACK 2; refused: repeat 1, gap 0, no room 0\n"
      "  held:     transmit ring 0 of 128 bytes, receive ring 0 of 1023 bytes\n",
      "remote " + remote + ": datagrams sent 3, received 6; lost: full queue 0\n",
  };
  for (const std::string& text : said) EXPECT_NE(err.str().find(text), std::string::npos) << text << "\n---\n" << err.str();
}

}  // namespace
