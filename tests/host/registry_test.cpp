// The host registry: the run-time routines as the driver's load and device naming use them,
// and .reg files loaded, merged and saved.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "host/registry/registry.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace reg = host::registry;

namespace {

constexpr std::string_view kTessacom = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom";
constexpr std::string_view kSerialComm = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// A key line `levels` keys deep below HKEY_LOCAL_MACHINE, each named `name`.
std::string DeepKey(size_t levels, const std::string& name) {
  std::string line = "[HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < levels; ++i) line += "\\" + name;
  return line + "]";
}

// What loading threw: the message and the line it named; nothing when it loaded.
std::pair<std::string, size_t> Refusal(const std::function<void()>& load) {
  try {
    load();
  } catch (const reg::RegFileError& error) {
    return {error.what(), error.line()};
  }
  return {"", 0};
}

// A query of the driver's key below the services.
NTSTATUS Query(RTL_QUERY_REGISTRY_TABLE* table, PVOID context = nullptr) {
  return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, context, nullptr);
}

class RegistryTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    reg::Reset();
  }

  // Subkey "tessacom", then one REG_DWORD read directly into *value, with default 3.
  NTSTATUS ReadDword(PCWSTR name, ULONG* value, PCWSTR subkey = u"tessacom") {
    ULONG defaultValue = 3;
    RTL_QUERY_REGISTRY_TABLE table[3] = {
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, subkey},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, name, value, REG_DWORD, &defaultValue, sizeof(ULONG)}};
    return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, nullptr, table, nullptr, nullptr);
  }
};

TEST_F(RegistryTest, DirectReadsTakeTheValueOrItsDefaultStringsIntoTheCallersBufferOrThePools) {
  ULONG value = 55;
  EXPECT_EQ(ReadDword(u"StartPort", &value), STATUS_OBJECT_NAME_NOT_FOUND) << "missing subkey";
  EXPECT_EQ(value, 55u);
  reg::SetDword(kTessacom, "StartPort", 7);
  ASSERT_EQ(ReadDword(u"startport", &value, u"TESSACOM"), STATUS_SUCCESS) << "names are case-insensitive";
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(ReadDword(u"MaxPort", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u) << "an absent value reads as the default";

  RTL_QUERY_REGISTRY_TABLE table[2] = {{nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, u"MaxPort", &value}};
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\MACHINE\\NoSuchKey", table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Query(table), STATUS_OBJECT_NAME_NOT_FOUND) << "a required value";
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;  // REG_NONE default: nothing is written
  EXPECT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u);

  reg::LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"
                   "\"MaxPort\"=hex:\n", "empty.reg");
  value = 55;
  ASSERT_EQ(ReadDword(u"MaxPort", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 55u) << "an empty binary value is there and copies no byte";

  // A string read directly fills the caller's counted string, or a pool buffer for one with none.
  reg::SetString(kTessacom, "Name", "vxserial");
  WCHAR storage[16];
  WCHAR small[4];
  UNICODE_STRING given{0, sizeof(storage), storage}, tooSmall{0, sizeof(small), small}, allocated{0, 0, nullptr};
  table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Name", &given};
  ASSERT_EQ(Query(table), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(given.Buffer, given.Length / 2), u"vxserial");
  EXPECT_EQ(given.Buffer[given.Length / 2], 0) << "terminated";
  table[0].EntryContext = &tooSmall;
  EXPECT_EQ(Query(table), STATUS_BUFFER_TOO_SMALL);
  table[0].EntryContext = &allocated;
  ASSERT_EQ(Query(table), STATUS_SUCCESS);
  ASSERT_NE(allocated.Buffer, nullptr);
  EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"vxserial");
  ExFreePool(allocated.Buffer);
}

// What a query routine was handed: the value's name and type, its text or its number.
using Call = std::tuple<std::u16string, ULONG, std::u16string, ULONG>;

NTSTATUS NTAPI RecordCall(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  static_cast<std::vector<Call>*>(context)->emplace_back(
      name, type, type == REG_SZ ? static_cast<PCWSTR>(data) : u"", type == REG_DWORD && length == 4 ? *static_cast<ULONG*>(data) : 0);
  return STATUS_SUCCESS;
}

TEST_F(RegistryTest, EntriesRunInOrderAndSubkeysSwitchTheFollowingEntries) {
  reg::SetDword(kTessacom, "A", 1);
  reg::SetDword(std::string(kTessacom) + "\\Inner", "A", 2);
  reg::SetMultiString(kTessacom, "Names", {"one", "two"});
  RTL_QUERY_REGISTRY_TABLE table[5] = {
      {RecordCall, 0, u"A"}, {RecordCall, 0, u"Names"}, {nullptr, RTL_QUERY_REGISTRY_SUBKEY, u"Inner"}, {RecordCall, 0, u"A"}};
  std::vector<Call> calls;
  ASSERT_EQ(Query(table, &calls), STATUS_SUCCESS);
  // A multi-string comes one string a call; after the subkey entry, an entry reads Inner's value.
  EXPECT_EQ(calls, (std::vector<Call>{{u"A", REG_DWORD, u"", 1}, {u"Names", REG_SZ, u"one", 0},
                                      {u"Names", REG_SZ, u"two", 0}, {u"A", REG_DWORD, u"", 2}}));

  // Unexpanded, a multi-string comes whole with its own type.
  calls.clear();
  table[1].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  ASSERT_EQ(Query(table, &calls), STATUS_SUCCESS);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(std::get<1>(calls[1]), ULONG{REG_MULTI_SZ});

  // A failing routine ends the query with its status; later entries are not run.
  calls.clear();
  table[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS { return STATUS_INVALID_PARAMETER; };
  EXPECT_EQ(Query(table, &calls), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(calls.empty());
}

TEST_F(RegistryTest, DeviceMapValuesAreWrittenAndDeleted) {
  const WCHAR data[] = u"COM3";
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"vxserial0", REG_SZ, const_cast<WCHAR*>(data), sizeof(data)),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"VXSERIAL0"), STATUS_SUCCESS)
      << "names are case-insensitive";
  EXPECT_FALSE(reg::GetValue(kSerialComm, "vxserial0").has_value());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"vxserial0"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NOSUCHKEY", u"x"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  const std::u16string tooLong = u"\\REGISTRY\\MACHINE\\SOFTWARE\\" + std::u16string(256, u'k');
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, tooLong.c_str(), u"x", REG_SZ, const_cast<WCHAR*>(data), sizeof(data)),
            STATUS_OBJECT_NAME_INVALID) << "a key name longer than the registry allows";
}

// ---- .reg files ----

constexpr std::string_view kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the driver's configuration\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\r\n"
    "\"StartPort\"=dword:0000000a\r\n"
    "\"Path\"=\"C:\\\\drivers\\\\\"\r\n"
    "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
    "@=\"default\"\r\n"
    "\"Blob\"=hex:01,02,\\\r\n"
    "  03,ff\r\n"
    "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom\\Sub]\r\n";

// Every value form read, written back and read again to the same tree; later files merged in.
TEST_F(RegistryTest, RegFileValuesOfEveryFormSavedLoadedAgainMergedAndDeleted) {
  reg::LoadRegText(kSample, "sample.reg");
  EXPECT_EQ(reg::GetDword(kTessacom, "StartPort"), 10u);
  EXPECT_EQ(reg::GetString(kTessacom, "Path"), "C:\\drivers\\")
      << "a string ending in a backslash is not continued";
  EXPECT_EQ(reg::GetString(kTessacom, "Quote"), "say \"hi\"");
  EXPECT_EQ(reg::GetString(kTessacom, ""), "default");
  auto blob = reg::GetValue(kTessacom, "Blob");
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(std::pair(blob->type, blob->data), std::pair(ULONG{REG_BINARY}, std::vector<uint8_t>{1, 2, 3, 0xff}));
  EXPECT_EQ(reg::GetValue(kTessacom, "List")->type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_TRUE(reg::KeyExists(std::string(kTessacom) + "\\sub"));

  reg::SetValue(kTessacom, "Odd", 11, std::vector<uint8_t>{9, 8, 7});
  reg::SetString(kTessacom, "Tabbed", "a\tb");
  auto snapshot = [&] {
    std::vector<std::tuple<std::string, ULONG, std::vector<uint8_t>>> all;
    for (const auto& key : {std::string(kTessacom), std::string(kTessacom) + "\\Sub"}) {
      for (const auto& name : reg::ValueNames(key)) {
        all.emplace_back(key + "|" + name, reg::GetValue(key, name)->type, reg::GetValue(key, name)->data);
      }
    }
    return all;
  };
  const auto before = snapshot();
  const std::string saved = reg::SaveRegText(reg::kServices);
  EXPECT_EQ(saved.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  reg::Reset();
  reg::LoadRegText(saved, "saved.reg");
  EXPECT_EQ(snapshot(), before);
  EXPECT_TRUE(reg::KeyExists(std::string(kTessacom) + "\\Sub")) << "empty keys are saved too";
  reg::SetDword(kTessacom, "Two\nLines", 1);
  EXPECT_THROW(reg::SaveRegText(), std::invalid_argument) << "a name the format cannot hold";

  // The older header and single-byte strings.
  reg::LoadRegText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n\"Expand\"=hex(2):25,41,25,00\n", "old.reg");
  EXPECT_EQ(reg::GetValue("\\REGISTRY\\MACHINE\\SOFTWARE\\Old", "Expand")->type, static_cast<ULONG>(REG_EXPAND_SZ));
  EXPECT_EQ(reg::GetString("\\REGISTRY\\MACHINE\\SOFTWARE\\Old", "Expand"), "%A%");

  // A later file merges into what is there, deleting what it names with '-'.
  reg::SetDword(kTessacom, "Keep", 1);
  reg::SetDword(kTessacom, "Drop", 2);
  reg::SetDword(std::string(kTessacom) + "\\Gone\\Deeper", "X", 3);
  reg::LoadRegText(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"
      "\"Drop\"=-\n"
      "\"New\"=dword:00000004\n"
      "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom\\Gone]\n",
      "merge.reg");
  EXPECT_EQ(reg::GetDword(kTessacom, "Keep"), 1u);
  EXPECT_FALSE(reg::GetValue(kTessacom, "Drop").has_value());
  EXPECT_EQ(reg::GetDword(kTessacom, "New"), 4u);
  EXPECT_FALSE(reg::KeyExists(std::string(kTessacom) + "\\Gone"));
}

// A key 512 levels deep with a longest name and a longest value name loads, is written back
// whole and loads again; a key one level deeper is refused. Files beyond the limits or
// malformed are refused at their line and change nothing.
TEST_F(RegistryTest, FilesAtTheLimitsLoadAndSaveThoseBeyondOrMalformedNameTheLineAndChangeNothing) {
  std::string deepest = "\\REGISTRY\\MACHINE";
  for (int i = 0; i < 511; ++i) deepest += "\\k";
  deepest += "\\" + std::string(255, 'k');
  const std::string valueName(16383, 'v');
  reg::LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE" + deepest.substr(17) + "]\n\"" + valueName + "\"=dword:00000001\n", "limits.reg");
  const std::string saved = reg::SaveRegText();
  reg::Reset();
  reg::LoadRegText(saved, "saved.reg");
  EXPECT_EQ(reg::GetDword(deepest, valueName), 1u);
  EXPECT_EQ(reg::SaveRegText(), saved);
  EXPECT_THROW(reg::CreateKey(deepest + "\\one-too-many"), std::invalid_argument);

  struct Case {
    std::string text;
    size_t line;
    std::string problem;
  };
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n";
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const Case cases[] = {
      {"Windows Registry Editor 4\n" + key, 1, "header"},
      {header + "\n" + key + "\"A\"=dword:0000001\n\"B\"=dword:1234567g\n", 5, "non-hexadecimal"},
      {header + key + "\"A\"=dword:\n", 3, "1 to 8"},
      {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\n", 2, "']'"},
      {header + "[HKEY_NOWHERE\\T]\n", 2, "unknown root key"},
      {header + "\"A\"=dword:1\n", 2, "before any [key]"},
      {header + key + "\"A\"=\"open\n", 3, "closing quote"},
      {header + key + "\"A\"=hex:01,zz\n", 3, "hex byte"},
      {header + key + "\"A\"=hex:01,\\\n  02,\n", 3, "trailing ','"},
      {header + key + "\"A\"=\"x\\n\"\n", 3, "escape"},
      {header + key + "A=1\n", 3, "expected a [key]"},
      {"", 1, "empty"},
      // Found by fuzzing the reader: malformed UTF-8 (an overlong newline, an overlong
      // backslash, a surrogate, a cut sequence, a code point above U+10FFFF, a stray byte).
      {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\xC0\x8A]\n", 2, "invalid UTF-8 at column 31: byte C0"},
      {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\xC1\x9CT]\n", 2, "invalid UTF-8"},
      {header + key + "\"\xED\xA0\x80\"=dword:1\n", 3, "invalid UTF-8"},
      {header + key + "\"A\"=\"\xE2\x82\"\n", 3, "invalid UTF-8"},
      {header + key + "\"A\"=\"\xF4\x90\x80\x80\"\n", 3, "invalid UTF-8"},
      {header + key + "; \x80\n", 3, "invalid UTF-8"},
      {std::string("\xFF\xFE[\0\n\0\x00\xD8]\0", 10), 2, "unpaired UTF-16 surrogate D800"},
      // Names a file cannot write back, and a type number that does not fit 32 bits.
      {header + key + "\"A\tB\"=dword:1\n", 3, "control character"},
      {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\x01]\n", 2, "control character"},
      {header + key + "\"A\"=hex(100000001):00\n", 3, "1 to 8"},
      // Beyond the registry's limits, the first far beyond what the stack could take apart.
      {header + DeepKey(100000, "k") + "\n", 2, "100000 levels deep; the registry allows 512"},
      {header + DeepKey(513, "k") + "\n", 2, "513 levels deep"},
      {header + DeepKey(1, std::string(256, 'k')) + "\n", 2, "256 characters long; the registry allows 255"},
      {header + DeepKey(129, std::string(255, 'k')) + "\n", 2, "the registry allows 32767"},
      {header + key + "\"" + std::string(16384, 'v') + "\"=-\n", 3, "the registry allows 16383"},
  };
  for (const auto& c : cases) {
    const auto [what, line] = Refusal([&] { reg::LoadRegText(c.text, "bad.reg"); });
    EXPECT_EQ(line, c.line) << what;
    EXPECT_EQ(what.rfind("bad.reg:" + std::to_string(c.line) + ": ", 0), 0u) << what;
    EXPECT_NE(what.find(c.problem), std::string::npos) << what;
  }
  EXPECT_FALSE(reg::KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE\\T")) << "a rejected file applies none of its keys";
  // A path that gives no text is named for what it is, never read as an empty file.
  const std::pair<std::string, std::string> unreadable[] = {
      {"/nonexistent/tessacom.reg", "/nonexistent/tessacom.reg: no such file"},
      {"/tmp", "/tmp: is a directory, not a .reg file"},
      {"/proc/self/mem", "/proc/self/mem: cannot be read: Input/output error"},  // opens; reads fail
  };
  for (const auto& [path, said] : unreadable) {
    EXPECT_EQ(Refusal([&] { reg::LoadRegFile(path); }), std::pair(said, size_t{0}));
  }
}

}  // namespace
