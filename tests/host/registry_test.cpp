// The host registry: the run-time routines as the driver's load and device naming use them,
// and .reg files loaded, merged and saved.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "host/registry/registry.h"
#include "host/session/executive.h"
#include "kernel.h"
#include "support/executive_session.h"

namespace reg = host::registry;

namespace {

constexpr std::string_view kTessacom = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom";
constexpr std::string_view kSerialComm = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const WCHAR kServicesPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";

// A key line `levels` keys deep below HKEY_LOCAL_MACHINE, each named `name`.
std::string DeepKey(size_t levels, const std::string& name) {
  std::string line = "[HKEY_LOCAL_MACHINE";
  for (size_t i = 0; i < levels; ++i) line += "\\" + name;
  return line + "]";
}

class RegistryTest : public testsupport::ManualExecutive {
 protected:
  void SetUp() override {
    ManualExecutive::SetUp();
    reg::Reset();
  }
  void TearDown() override {
    reg::Reset();
    ManualExecutive::TearDown();
  }

  // The load's query: subkey "tessacom", then one REG_DWORD read directly with default 3.
  NTSTATUS ReadDword(PCWSTR name, ULONG* value, PCWSTR subkey = u"tessacom") {
    ULONG defaultValue = 3;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = subkey;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = name;
    table[1].EntryContext = value;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &defaultValue;
    table[1].DefaultLength = sizeof(ULONG);
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kServicesPath, table, nullptr, nullptr);
  }
};

TEST_F(RegistryTest, DirectDwordReadsTheValueOrItsDefaultAndMissingKeysAreNotFound) {
  ULONG value = 55;
  EXPECT_EQ(ReadDword(u"StartPort", &value), STATUS_OBJECT_NAME_NOT_FOUND) << "missing subkey";
  EXPECT_EQ(value, 55u);
  reg::SetDword(kTessacom, "StartPort", 7);
  ASSERT_EQ(ReadDword(u"startport", &value, u"TESSACOM"), STATUS_SUCCESS) << "names are case-insensitive";
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(ReadDword(u"MaxPort", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 3u) << "an absent value reads as the default";

  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = u"MaxPort";
  table[0].EntryContext = &value;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\MACHINE\\NoSuchKey", table,
                                   nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND) << "a required value";
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;  // REG_NONE default: nothing is written
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 3u);

  reg::LoadRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\tessacom]\n"
                   "\"MaxPort\"=hex:\n", "empty.reg");
  value = 55;
  ASSERT_EQ(ReadDword(u"MaxPort", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 55u) << "an empty binary value is there and copies no byte";
}

TEST_F(RegistryTest, EntriesRunInOrderAndSubkeysSwitchTheFollowingEntries) {
  reg::SetDword(kTessacom, "A", 1);
  reg::SetDword(std::string(kTessacom) + "\\Inner", "A", 2);
  reg::SetMultiString(kTessacom, "Names", {"one", "two"});
  struct Call {
    std::u16string name;
    ULONG type;
    std::u16string text;
    ULONG number;
  };
  std::vector<Call> calls;
  auto routine = [](PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                    PVOID) -> NTSTATUS {
    Call call{name, type, {}, 0};
    if (type == REG_DWORD && length == 4) call.number = *static_cast<ULONG*>(data);
    if (type == REG_SZ) call.text = static_cast<PWSTR>(data);
    static_cast<std::vector<Call>*>(context)->push_back(call);
    return STATUS_SUCCESS;
  };
  RTL_QUERY_REGISTRY_TABLE table[5] = {};
  table[0].QueryRoutine = routine;
  table[0].Name = u"A";
  table[1].QueryRoutine = routine;
  table[1].Name = u"Names";
  table[2].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  table[2].Name = u"Inner";
  table[3].QueryRoutine = routine;
  table[3].Name = u"A";
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, &calls, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].number, 1u);
  EXPECT_EQ(calls[1].type, static_cast<ULONG>(REG_SZ)) << "a multi-string comes one string a call";
  EXPECT_EQ(calls[1].text, u"one");
  EXPECT_EQ(calls[2].text, u"two");
  EXPECT_EQ(calls[3].number, 2u) << "after the subkey entry, the entry reads Inner's value";

  // Unexpanded, a multi-string comes whole with its own type.
  calls.clear();
  table[1].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, &calls, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].type, static_cast<ULONG>(REG_MULTI_SZ));

  // A failing routine ends the query with its status; later entries are not run.
  calls.clear();
  table[0].QueryRoutine = [](PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) -> NTSTATUS {
    return STATUS_INVALID_PARAMETER;
  };
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, &calls, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(calls.empty());
}

TEST_F(RegistryTest, DirectStringsFillTheCallersStringOrAPoolBuffer) {
  reg::SetString(kTessacom, "Name", "vxserial");
  WCHAR storage[16];
  UNICODE_STRING given{0, sizeof(storage), storage};
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = u"Name";
  table[0].EntryContext = &given;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(given.Buffer, given.Length / 2), u"vxserial");
  EXPECT_EQ(given.Buffer[given.Length / 2], 0) << "terminated";

  WCHAR small[4];
  UNICODE_STRING tooSmall{0, sizeof(small), small};
  table[0].EntryContext = &tooSmall;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, nullptr, nullptr),
            STATUS_BUFFER_TOO_SMALL);

  UNICODE_STRING allocated{0, 0, nullptr};
  table[0].EntryContext = &allocated;
  ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"tessacom", table, nullptr, nullptr),
            STATUS_SUCCESS);
  ASSERT_NE(allocated.Buffer, nullptr);
  EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"vxserial");
  ExFreePool(allocated.Buffer);
}

TEST_F(RegistryTest, DeviceMapValuesAreWrittenAndDeleted) {
  EXPECT_FALSE(reg::KeyExists(kSerialComm));
  const WCHAR data[] = u"COM3";
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"vxserial0", REG_SZ,
                                  const_cast<WCHAR*>(data), sizeof(data)),
            STATUS_SUCCESS);
  EXPECT_EQ(reg::GetValue(kSerialComm, "VXSERIAL0")->data.size(), 10u) << "created, with the terminating zero";
  EXPECT_EQ(reg::GetString(kSerialComm, "vxserial0"), "COM3");

  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"vxserial0"), STATUS_SUCCESS);
  EXPECT_FALSE(reg::GetValue(kSerialComm, "vxserial0").has_value());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"vxserial0"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NOSUCHKEY", u"x"),
            STATUS_OBJECT_NAME_NOT_FOUND);
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

TEST_F(RegistryTest, RegFileValuesOfEveryFormMergedAndDeleted) {
  reg::LoadRegText(kSample, "sample.reg");
  EXPECT_EQ(reg::GetDword(kTessacom, "StartPort"), 10u);
  EXPECT_EQ(reg::GetString(kTessacom, "Path"), "C:\\drivers\\")
      << "a string ending in a backslash is not continued";
  EXPECT_EQ(reg::GetString(kTessacom, "Quote"), "say \"hi\"");
  EXPECT_EQ(reg::GetString(kTessacom, ""), "default");
  auto blob = reg::GetValue(kTessacom, "Blob");
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(blob->type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(blob->data, (std::vector<uint8_t>{1, 2, 3, 0xff}));
  EXPECT_EQ(reg::GetValue(kTessacom, "List")->type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_TRUE(reg::KeyExists(std::string(kTessacom) + "\\sub"));

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

TEST_F(RegistryTest, SavedFileLoadsBackToTheSameTree) {
  reg::LoadRegText(kSample, "sample.reg");
  reg::SetValue(kTessacom, "Odd", 11, std::vector<uint8_t>{9, 8, 7});
  reg::SetString(kTessacom, "Tabbed", "a\tb");
  const std::string saved = reg::SaveRegText(reg::kServices);
  EXPECT_EQ(saved.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);

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
  const auto path = std::filesystem::temp_directory_path() /
                    ("tessacom_registry_" + std::to_string(::getpid()) + ".reg");
  reg::SaveRegFile(path);
  reg::Reset();
  ASSERT_FALSE(reg::KeyExists(kTessacom));
  reg::LoadRegText(saved, "saved.reg");
  EXPECT_EQ(snapshot(), before);
  reg::Reset();
  reg::LoadRegFile(path);
  std::filesystem::remove(path);
  EXPECT_EQ(snapshot(), before) << "the same through a file on disk";
  EXPECT_TRUE(reg::KeyExists(std::string(kTessacom) + "\\Sub")) << "empty keys are saved too";

  reg::SetDword(kTessacom, "Two\nLines", 1);
  EXPECT_THROW(reg::SaveRegText(), std::invalid_argument) << "a name the format cannot hold";
}

TEST_F(RegistryTest, KeysAndNamesAtTheRegistrysLimitsLoadSaveAndLoadAgain) {
  const std::string name(255, 'k');
  std::string deepest = "\\REGISTRY\\MACHINE";
  for (int i = 0; i < 511; ++i) deepest += "\\k";
  deepest += "\\" + name;
  const std::string valueName(16383, 'v');
  std::string file = "Windows Registry Editor Version 5.00\n" + DeepKey(511, "k");
  file.insert(file.size() - 1, "\\" + name);  // the 512th level, inside the brackets
  reg::LoadRegText(file + "\n\"" + valueName + "\"=dword:00000001\n", "limits.reg");
  ASSERT_EQ(reg::GetDword(deepest, valueName), 1u);
  const std::string saved = reg::SaveRegText();
  reg::Reset();
  reg::LoadRegText(saved, "saved.reg");
  EXPECT_EQ(reg::GetDword(deepest, valueName), 1u);
  EXPECT_EQ(reg::SaveRegText(), saved);
  EXPECT_THROW(reg::CreateKey(deepest + "\\one-too-many"), std::invalid_argument);
  ULONG one = 1;
  const std::u16string tooLong = u"\\REGISTRY\\MACHINE\\SOFTWARE\\" + std::u16string(256, u'k');
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, tooLong.c_str(), u"x", REG_DWORD, &one, sizeof(one)),
            STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryTest, MalformedFilesNameTheLineAndChangeNothing) {
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
    try {
      reg::LoadRegText(c.text, "bad.reg");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const reg::RegFileError& error) {
      EXPECT_EQ(error.file(), "bad.reg");
      EXPECT_EQ(error.line(), c.line) << error.what();
      EXPECT_NE(std::string(error.what()).find("bad.reg:" + std::to_string(c.line) + ": "), std::string::npos)
          << error.what();
      EXPECT_NE(std::string(error.what()).find(c.problem), std::string::npos) << error.what();
    }
  }
  EXPECT_FALSE(reg::KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE\\T"))
      << "a rejected file applies none of its keys";
  // A path that gives no text is named for what it is, never read as an empty file.
  const std::pair<std::string, std::string> unreadable[] = {
      {"/nonexistent/tessacom.reg", "/nonexistent/tessacom.reg: no such file"},
      {"/tmp", "/tmp: is a directory, not a .reg file"},
      {"/proc/self/mem", "/proc/self/mem: cannot be read: Input/output error"},  // opens; reads fail
  };
  for (const auto& [path, said] : unreadable) {
    try {
      reg::LoadRegFile(path);
      ADD_FAILURE() << "accepted: " << path;
    } catch (const reg::RegFileError& error) {
      EXPECT_EQ(std::string(error.what()), said);
      EXPECT_EQ(error.line(), 0u);
    }
  }
}

}  // namespace
