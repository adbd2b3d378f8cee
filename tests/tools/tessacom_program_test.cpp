// The tessacom program's command line and its load report against the real driver.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

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

// What the other cases run (--bind, --reg, --pty, --devserver, --speed, --loopback-only, --image,
// bench --quick --json) they also parse; here the rest.
TEST(TessacomCommandLine, CommandsAndOptionsAreUnderstoodOrRefusedClearly) {
  Options user = ParseCommandLine({"serve", "--user", "nobody", "--pty", "d", "--pty-owner", "a:b", "--pty-mode", "640"});
  EXPECT_TRUE(user.error.empty() && user.user == "nobody" && user.ptyOwner == "a:b" && user.ptyMode == 0640u) << user.error;
  EXPECT_TRUE(ParseCommandLine({"demo", "--help"}).help);
  Options soak = ParseCommandLine({"soak", "--bytes", "0x100000", "--seed", "0", "--speed", "1000"});
  EXPECT_TRUE(soak.error.empty() && soak.bytes == 1048576u && soak.seed == 0u) << soak.error;
  EXPECT_FALSE(devserver::ParseAddress("1.2.3").has_value());

  // Refused, with the words where they are checked ("": any reason).
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"load", "--pty", "/run/com"}, "--pty belongs to serve"},
      {{"serve", "--exclusive"}, "--exclusive belongs to serve --pty"},
      {{"load", "--user", "nobody"}, "--user belongs to serve"},
      {{"serve", "--pty-mode", "600"}, "--pty-owner and --pty-mode belong to serve --pty"},
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
    EXPECT_TRUE(!said.empty() && (error.empty() || said == error)) << arguments.back() << ": " << said;
  }
}

// A loopback address of the test's own, so that suites running alongside keep theirs.
std::string NewAddress() { return devserver::AddressToString(testsupport::UniqueLoopbackAddress()); }

// The command line of a test that runs the driver: with --image when the suites run an image,
// and never beyond loopback.
Options ForDriverUnderTest(std::vector<std::string> arguments) {
  arguments.push_back("--loopback-only");
  for (const std::string& argument : testsupport::ProgramDriverArguments()) arguments.push_back(argument);
  return ParseCommandLine(arguments);
}

// The program as a person runs it, with the driver under test.
std::vector<std::string> ProgramLine(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TESSACOM_PROGRAM);
  for (const std::string& argument : testsupport::ProgramDriverArguments()) arguments.push_back(argument);
  return arguments;
}

const std::string kServiceKey = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n";

// A .reg file of the test's own with these keys and values; its path.
std::string RegFile(const std::string& name, const std::string& keys) {
  const auto reg = std::filesystem::temp_directory_path() / ("tessacom_" + name + std::to_string(::getpid()) + ".reg");
  std::ofstream(reg) << "Windows Registry Editor Version 5.00\n\n" << keys;
  return reg.string();
}

// A REG_DWORD line of a .reg file.
std::string Dword(const std::string& name, uint32_t value) {
  char line[64];
  std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\n", name.c_str(), value);
  return line;
}

void ExpectSaid(const std::string& text, const std::vector<std::string>& said) {
  for (const std::string& s : said) EXPECT_NE(text.find(s), std::string::npos) << s << "\n---\n" << text;
}

// What a program says of what it is given, with its status: load's report of what the driver
// made and its notes on a configuration it cannot take as it is (each said once; then nothing is
// left), and the refusals that end a program at once: a command line it does not take, a .reg
// file that cannot be read, an address whose port 519 another program has bound (serve refuses
// it at start, naming it, instead of sharing the port).
TEST(TessacomProgram, EachProgramSaysWhatItMadeOfItsInputWithItsStatus) {
  const std::string bound = NewAddress();
  testsupport::UdpPeer other(*devserver::ParseAddress(bound), tessacom::LinkWirePort(519));
  ASSERT_TRUE(other.Bound());
  std::vector<std::string> regs;
  auto load = [&](const std::string& keys) {  // none: the default configuration
    std::vector<std::string> line = {"load", "--loopback-only", "--bind", NewAddress()};
    if (!keys.empty()) {
      line.insert(line.end(), {"--reg", regs.emplace_back(RegFile("notes" + std::to_string(regs.size()), keys))});
    }
    return ProgramLine(line);
  };
  const std::string nothingLeft = "nothing outstanding";
  const struct {
    std::vector<std::string> line;
    int status;
    std::vector<std::string> said;
  } cases[] = {
      {load(""), 0,
       {"load: STATUS_SUCCESS", "\\DosDevices\\COM5 -> \\Device\\vxserial2", "vxserial0 = COM3 (REG_SZ, 10 bytes)",
        "receiver threads: 1 (0.0.0.3)", nothingLeft}},
      {load(kServiceKey + "\"StartPort\"=dword:0000270e\n\"MaxPort\"=hex:\n\"StartNum2\"=hex(4):01,00\n"
                          "\"dAddress1\"=dword:c0a8010a\n"),
       0,
       {"note: \"MaxPort\" is REG_BINARY of 0 bytes, not a 4-byte REG_DWORD: the driver treats it as absent (3)",
        "note: \"StartNum2\" is REG_DWORD of 2 bytes", "port 0: COM9998,", "port 1: COM9999,",
        "port 2: no COM name (its COM number 10000 is outside 0 to 9999",
        "note: the loopback guard is on (--loopback-only): nothing is sent to 0.0.0.3 (ports 1, 2)",
        "note: the loopback guard is on (--loopback-only): nothing is sent to 192.168.1.10 (port 0)", nothingLeft}},
      {load(kServiceKey + "\"MaxPort\"=dword:0000012c\n"), 0,
       {"note: \"MaxPort\" is 300, more than the 256 ports the driver has room for: it makes 256",
        "port 255: COM258,", "nothing is sent to 0.0.0.3 (ports 0 to 255)", nothingLeft}},
      // Channels 0, 257 and 65536 on one remote, beside ports on its channels 1 and 256.
      {load(kServiceKey + "\"MaxPort\"=dword:00000006\n\"StartNum1\"=dword:00000000\n\"StartNum2\"=dword:00000101\n"
                          "\"StartNum3\"=dword:00000001\n\"StartNum4\"=dword:00000001\n\"StartNum5\"=dword:00010000\n"
                          "\"StartNum6\"=dword:00000100\n"
                          "\"dAddress1\"=dword:7f000005\n\"dAddress2\"=dword:7f000005\n\"dAddress3\"=dword:7f000005\n"
                          "\"dAddress4\"=dword:7f000005\n\"dAddress5\"=dword:7f000005\n\"dAddress6\"=dword:7f000005\n"),
       0,
       {"note: \"StartNum1\" is 0, outside 1 to 256: port 0 sends on wire channel 255 of 127.0.0.5",
        "nothing the remote sends reaches port 0 and every open of it fails (what comes back on wire "
        "channel 255 goes to port 5: ",
        "note: \"StartNum2\" is 257, outside 1 to 256: port 1 sends on wire channel 0 of 127.0.0.5",
        "every open of it fails (what comes back on wire channel 0 goes to port 2: the reply to an "
        "open of port 1 leaves port 2's link open, and port 2 then refuses every open",
        "note: \"StartNum5\" is 65536, outside 1 to 256: port 4 sends on wire channel 255",
        "note: ports 2, 3 have the same remote 127.0.0.5 and channel 1",
        "to port 2 alone, so an open of another of them gets no reply and fails, and the reply it "
        "caused leaves port 2's link open: port 2 then refuses every open until the remote closes it", nothingLeft}},
      {load(kServiceKey + "\"MaxPort\"=dword:80000000\n"), 1,
       {"note: \"MaxPort\" is 2147483648, which the driver reads as a signed number, -2147483648: it "
        "makes no port, and a load without a port fails",
        "load: STATUS_SERIAL_NO_DEVICE_INITED (0xc0000150): the driver made no port", nothingLeft}},
      {load(kServiceKey + "\"MaxPort\"=dword:00000000\n"), 1,
       {"note: \"MaxPort\" is 0: the driver makes no port",
        "load: STATUS_SERIAL_NO_DEVICE_INITED (0xc0000150): the driver made no port", nothingLeft}},
      // Ports without a COM name or a remote: there, but nothing can use them.
      {load(kServiceKey + "\"StartPort\"=dword:00002710\n\"dAddress1\"=dword:00000000\n"), 0,
       {"note: port 0 (\"dAddress<n>\" 0, n = port + 1) has no remote: the driver refuses every open at once",
        "note: ports 1, 2 have no remote a datagram can reach: \"dAddress<n>\" (n = port + 1) is 0.0.0.3",
        "note: no port has a COM name (each port's reason is above), so no program can open one", nothingLeft}},
      {load("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Elsewhere]\n"), 0,
       {"note: the configuration has no key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom",
        nothingLeft}},
      {{TESSACOM_PROGRAM, "frob"}, 2, {"tessacom: unknown command: frob\n"}},
      {ProgramLine({"load", "--loopback-only", "--reg", "/no/x.reg"}), 2, {"tessacom: /no/x.reg: no such file"}},
      {ProgramLine({"serve", "--loopback-only", "--bind", bound}), 1,
       {"refused: the driver's UDP endpoint cannot bind " + bound + ":519: another program has bound it already"}},
  };
  for (const auto& c : cases) {
    testsupport::ChildProgram child(c.line);
    EXPECT_EQ(child.Wait(std::chrono::seconds(30)), c.status) << c.line.back() << "\n---\n" << child.Output();
    const std::string& text = child.Output();
    ExpectSaid(text, c.said);
    for (const auto& said : c.said) EXPECT_EQ(text.find(said, text.find(said) + 1), std::string::npos) << "said twice: " << said;
    EXPECT_EQ(text.find("serving on"), std::string::npos) << text;
  }
  for (const std::string& reg : regs) std::filesystem::remove(reg);
}

// serve --pty: a link per COM port while it serves. Started as root with --user, it opens its
// socket, then runs as that user: every id of the process is the user's, and so are the
// terminals and their directory; a program's bytes still reach the remote through the socket
// opened before. At SIGTERM, with a program holding COM3 open and a write of it pending (the
// remote has gone silent), the bridge stops (the write cancelled, every port closed, the links
// removed) before the driver unloads with nothing left.
TEST(TessacomProgram, ServeWithPseudoTerminalsRunsAsTheGivenUserAndStopsCleanlyOnTheSignal) {
  const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
  auto server = testsupport::StartDeviceServer(driverAddress);
  const std::string reg = RegFile("pty_", kServiceKey + Dword("StartNum1", 1) + Dword("dAddress1", server->Local().address));
  const auto directory = std::filesystem::temp_directory_path() / ("tessacom_pty_" + std::to_string(::getpid()));
  std::vector<std::string> line = {"serve", "--pty", directory.string(), "--pty-mode", "0600", "--reg", reg, "--bind",
                                   devserver::AddressToString(driverAddress)};
  // Changing the user needs root: run as root to check it.
  const std::optional<tessacom::Account> user = ::geteuid() == 0 ? tessacom::FindUser("nobody") : std::nullopt;
  if (user) line.insert(line.end(), {"--user", "nobody"});
  testsupport::ChildProgram serve(ProgramLine(line));
  ASSERT_TRUE(serve.WaitFor("serving on")) << serve.Output();
  if (user) {
    std::ifstream status("/proc/" + std::to_string(serve.Pid()) + "/status");
    std::string text, ids;
    while (std::getline(status, text)) ids += text.rfind("Uid:", 0) == 0 || text.rfind("Gid:", 0) == 0 ? text + "\n" : "";
    const std::string u = std::to_string(user->uid), g = std::to_string(user->gid);
    EXPECT_EQ(ids, "Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u + "\nGid:\t" + g + "\t" + g + "\t" + g + "\t" + g + "\n");
    struct stat terminal {}, folder {};
    ASSERT_EQ(::stat((directory / "COM3").c_str(), &terminal), 0);
    ASSERT_EQ(::stat(directory.c_str(), &folder), 0);
    EXPECT_EQ(std::tuple(terminal.st_uid, terminal.st_gid, terminal.st_mode & 07777), std::tuple(user->uid, user->gid, 0600u));
    EXPECT_EQ(folder.st_uid, user->uid) << "serve made it for the user who makes and removes the links";
  }
  const int program = ::open((directory / "COM3").c_str(), O_RDWR | O_NOCTTY);
  EXPECT_TRUE(program >= 0 && server->WaitForOpen(0, std::chrono::seconds(10)));
  EXPECT_EQ(::write(program, "hi", 2), 2);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server->Written(0).size() == 2; })) << "through the socket opened first";
  server->SetFaults({.fromDriver = {.drop = 1}});
  EXPECT_EQ(::write(program, "pending", 7), 7);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the bridge's write goes out
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
  ::close(program);
  ExpectSaid(serve.Output(), {"pty: COM3: ", "pty: 3 ports in ", "terminated", "pty: stopped", "nothing outstanding"});
  if (user) ExpectSaid(serve.Output(), {"serve: running as nobody"});
  EXPECT_TRUE(std::filesystem::is_empty(directory));
  std::filesystem::remove(directory);
  std::filesystem::remove(reg);
}

// Ctrl-C and SIGTERM end each program as serve's end does: the shell cancels the request it
// waits for and those in flight, closes its handles and unloads; the soak and the bench stop
// and print what they measured, marked partial; the emulator closes its open channels with a
// DOWN and prints its counters.
TEST(TessacomProgram, EveryProgramEndsInOrderAtCtrlCAndSigterm) {
  const std::string a = NewAddress(), b = NewAddress();
  const uint32_t peerAddress = testsupport::UniqueLoopbackAddress();
  const uint16_t emulatorPort = 40522;
  auto saying = [](std::string input, std::string text) {
    return [=](testsupport::ChildProgram& child) { child.Send(input); return child.WaitFor(text); };
  };
  auto openedByPeer = [&](testsupport::ChildProgram& child) {
    const std::vector<uint8_t> block = {0, 0, 0, 0, 0xBF, 0x0C, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    testsupport::UdpPeer peer(peerAddress, emulatorPort);
    return child.WaitFor("# serving") &&
           // wire channel 0: the emulator's channel 1
           peer.SendTo(*devserver::ParseAddress(b), emulatorPort, devserver::Encode(devserver::kOpen, 0, 1, block)) &&
           child.WaitFor("# ch 1 opened");
  };
  const struct {
    std::vector<std::string> line;
    std::function<bool(testsupport::ChildProgram&)> underWay;
    int signal;
    int status;
    std::vector<std::string> said;
  } cases[] = {
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
  for (const auto& c : cases) {
    testsupport::ChildProgram child(c.line);
    EXPECT_TRUE(c.underWay(child)) << c.line[1] << "\n---\n" << child.Output();
    child.Signal(c.signal);
    EXPECT_EQ(child.Wait(), c.status) << c.line[1] << "\n---\n" << child.Output();
    ExpectSaid(child.Output(), c.said);
  }
}

// Against the real driver and an embedded emulator behind COM6: why an open was refused, in
// words beside the status (a remote outside loopback under the guard, whose sends are refused
// and counted, and none leaves; a remote that does not answer; a port without a remote: the
// driver's STATUS_FILES_OPEN for all three; a port open to another handle); then answers line
// by line for every request class (the immediate character goes ahead of a later write, short
// and unknown device controls are refused), bytes written come back through the echo, nothing
// after quit runs, and the unload is clean.
TEST(TessacomProgram, ShellSaysWhyAnOpenFailedAndAnswersEveryRequestClassThroughTheEcho) {
  const uint32_t silent = testsupport::UniqueLoopbackAddress();  // nothing listens there
  const uint32_t emulator = testsupport::UniqueLoopbackAddress();
  constexpr uint32_t kOutside = 0xC000020A;                      // 192.0.2.10, never reached
  const std::string reg = RegFile("why_", kServiceKey + Dword("MaxPort", 4) + Dword("StartNum1", 1) + Dword("StartNum2", 2) +
                                              Dword("StartNum4", 1) + Dword("dAddress1", kOutside) +
                                              Dword("dAddress2", silent) + Dword("dAddress3", 0) + Dword("dAddress4", emulator));
  Options options = ForDriverUnderTest({"shell", "--reg", reg, "--bind", NewAddress(), "--devserver",
                                        devserver::AddressToString(emulator), "--speed", "20"});
  std::istringstream in(
      "open COM3\nopen COM4\nopen COM5\nopen COM6\nopen \\\\.\\COM6\n"
      "bogus\nopen COM9\nioctl IMMEDIATE_CHAR in=21\nioctl IMMEDIATE_CHAR\nioctl PURGE in=010000\n"
      "ioctl 0x1B0094\nquery FileStandardInformation\nset FileEndOfFileInformation in=0000000000000000\n"
      "write 4142\nflush\nsleep 200\nread 3\nioctl GET_COMMSTATUS out=20\n"
      "write 48656c6c6f\nsleep 200\nread 5\nclose\nquit\nopen COM3\n");
  std::ostringstream out, err;
  EXPECT_EQ(tessacom::RunShell(options, in, out, err), 0);
  std::filesystem::remove(reg);
  EXPECT_EQ(out.str(), "STATUS_FILES_OPEN 0\nSTATUS_FILES_OPEN 0\nSTATUS_FILES_OPEN 0\nSTATUS_SUCCESS 0\n"
                       "STATUS_ACCESS_DENIED 0\nerror unknown command 'bogus'\nSTATUS_OBJECT_NAME_NOT_FOUND 0\n"
                       "STATUS_SUCCESS 0\nSTATUS_BUFFER_TOO_SMALL 0\n"
                       "STATUS_BUFFER_TOO_SMALL 0\nSTATUS_INVALID_PARAMETER 0\n"
                       "STATUS_SUCCESS 24 " + std::string(48, '0') + "\nSTATUS_SUCCESS 0\n"
                       "STATUS_SUCCESS 2\nSTATUS_SUCCESS 0\nok\nSTATUS_SUCCESS 3 214142\n"
                       "STATUS_SUCCESS 20 " + std::string(40, '0') + "\n"
                       "STATUS_SUCCESS 5\nok\nSTATUS_SUCCESS 5 48656c6c6f\nSTATUS_SUCCESS 0\nok\n");
  ExpectSaid(err.str(), {
      "load: STATUS_SUCCESS", "nothing outstanding",
      "open COM3: STATUS_FILES_OPEN: nothing was sent to 192.0.2.10 channel 1: the loopback guard",
      "open COM4: STATUS_FILES_OPEN: " + devserver::AddressToString(silent) +
          " channel 2 did not answer the open: no reply from its UDP port " +
          std::to_string(tessacom::LinkWirePort(tessacom::kUnprivilegedLinkPort)) + "; the open waited ",
      "open COM5: STATUS_FILES_OPEN: the port has no remote (\"dAddress3\" is 0)",
      "open \\\\.\\COM6: STATUS_ACCESS_DENIED: another handle of this host holds the port"});
  EXPECT_GE(host::net::GetCounters().refusedByGuard, 1u);
  const auto byRemote = host::net::CountersByRemote();
  EXPECT_TRUE(!byRemote.contains(kOutside) || byRemote.at(kOutside).sent == 0) << "a datagram left loopback";
}

// `status` answers `ok` and writes each port's and remote's counts to the error stream. The
// remote passes every datagram twice: the echo's copy is refused as a repeat and answered at
// once with a receive acknowledgement; the copies of the open reply and of the data's
// acknowledgement change nothing.
TEST(TessacomProgram, ShellStatusCountsWhatTheLinkCarriedAndWhatTheDriverRefused) {
  const uint32_t driverAddress = testsupport::UniqueLoopbackAddress();
  auto server = testsupport::StartDeviceServer(driverAddress, {.backend = devserver::BackendKind::Echo,
                                                               .faults = {.toDriver = {.duplicate = 1}}});
  const std::string remote = devserver::AddressToString(server->Local().address);
  const std::string reg = RegFile("status_", kServiceKey + Dword("MaxPort", 1) + Dword("StartNum1", 1) +
                                                Dword("dAddress1", server->Local().address));
  Options options = ForDriverUnderTest({"shell", "--reg", reg, "--bind", devserver::AddressToString(driverAddress)});
  std::istringstream in("status\nopen COM3\nwrite 48656c6c6f\nsleep 200\nread 5\nstatus\nclose\nquit\n");
  std::ostringstream out, err;
  EXPECT_EQ(tessacom::RunShell(options, in, out, err), 0);
  std::filesystem::remove(reg);
  EXPECT_EQ(out.str(), "ok\nSTATUS_SUCCESS 0\nSTATUS_SUCCESS 5\nok\nSTATUS_SUCCESS 5 48656c6c6f\nok\nSTATUS_SUCCESS 0\nok\n");
  ExpectSaid(err.str(), {
      "other ports closed, with nothing sent or received: 1\n",
      "COM3 <-> " + remote + " channel 1: open; in seq 10, out seq 2\n"
      "  in flight: nothing\n"
      "  sent:     packets 3, data 1 (5 bytes), resent 0, polls 0 (answered 0), RXACK 1\n"
      "  received: packets 6, data 2 (10 bytes), ACK 2; refused: repeat 1, gap 0, no room 0\n"
      "  held:     transmit ring 0 of 128 bytes, receive ring 0 of 1023 bytes\n",
      "remote " + remote + ": datagrams sent 3, received 6; lost: full queue 0\n"});
}

}  // namespace
