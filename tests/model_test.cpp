// The stand-in answers as Windows NT 5.x does; every other test relies on it.
#include "machine.h"

#include <cstring>

namespace {

using Model = Machine;

HKEY Open(const char *path) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key));
  return key;
}

TEST_F(Model, NamesIgnoreCaseAndEnumerateSortedAsCreated) {
  for (const char *name : {"b", "A", "_x", "C"}) {
    emulated::CreateKey(std::string("K\\") + name);
  }
  HKEY key = Open("k");
  std::vector<std::string> names;
  char name[MAX_PATH];
  DWORD length = MAX_PATH;
  for (DWORD i = 0;
       RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, length = MAX_PATH) {
    EXPECT_EQ(std::strlen(name), length);
    names.push_back(name);
  }
  // Windows compares upper-cased names, so '_' sorts after the letters.
  EXPECT_EQ((std::vector<std::string>{"A", "b", "C", "_x"}), names);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, CallsOf(Op::RegEnumKeyExA).back().result);
  RegCloseKey(key);
}

TEST_F(Model, ShortNameBufferIsRefusedAndLeftAlone) {
  emulated::CreateKey("K\\Name");
  HKEY key = Open("K");
  char name[8] = "-------";
  DWORD length = 4; // "Name" needs 5 with its terminating zero
  EXPECT_EQ(ERROR_MORE_DATA,
            RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("-------", name);
  length = 5;
  EXPECT_EQ(ERROR_SUCCESS,
            RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("Name", name);
  EXPECT_EQ(4u, length);
  RegCloseKey(key);
}

TEST_F(Model, DeletionRulesAndErrorCodes) {
  emulated::CreateKey("K\\Child");
  HKEY bad = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  HKEY out = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nope", 0, KEY_ALL_ACCESS, &out));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K\\Nope"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(bad, "K"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bad));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "k\\CHILD"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K"));
  EXPECT_EQ(0u, emulated::KeyCount() - 1); // only Software is left
}

TEST_F(Model, DeletingAnOpenKeyIsAllowedButRecorded) {
  emulated::CreateKey("K");
  HKEY key = Open("K");
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K"));
  EXPECT_EQ((std::vector<std::string>{"K"}), emulated::DeletedWhileOpen());
  char name[MAX_PATH];
  DWORD length = MAX_PATH;
  EXPECT_EQ(ERROR_KEY_DELETED,
            RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, emulated::OpenHandles());
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(0u, emulated::OpenHandles());
}

TEST_F(Model, VersionQueryTakesOnlyTheTwoRecordSizes) {
  emulated::SetVersion(5, 2);
  OSVERSIONINFOEXA version{};
  for (DWORD size : {0u, 100u, 147u, 149u}) {
    version.dwOSVersionInfoSize = size;
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&version))) << size;
    EXPECT_EQ(0u, version.dwMajorVersion);
  }
  for (DWORD size : {148u, 156u}) {
    version.dwOSVersionInfoSize = size;
    EXPECT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&version))) << size;
    EXPECT_EQ(5u, version.dwMajorVersion);
    EXPECT_EQ(2u, version.dwMinorVersion);
  }
}

TEST_F(Model, FilesFailAsWindowsFailsThem) {
  auto open = [](const std::string &name) {
    HANDLE file = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(file), ERROR_SUCCESS);
  };
  emulated::CreateFolder("\\\\server\\share");
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), open("\\\\SERVER\\share\\run.log"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), open("C:\\Missing\\run.log"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), open("C:\\Work"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), open("\"run.log\""));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), open(std::string(MAX_PATH, 'x')));
  EXPECT_FALSE(emulated::FileExists("C:\\Missing\\run.log"));

  // A full disk takes what fits; an injected fault writes nothing.
  emulated::SetDiskSpace(3);
  emulated::FailAt(Op::WriteFile, 2, ERROR_NETNAME_DELETED);
  HANDLE file = CreateFileA("run.log", FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 9;
  EXPECT_FALSE(WriteFile(file, "abcd", 4, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(3u, written);
  EXPECT_FALSE(WriteFile(file, "e", 1, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NETNAME_DELETED), GetLastError());
  EXPECT_EQ(0u, written);
  EXPECT_EQ("abc", emulated::FileText("run.log"));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Model, MembershipIsOnlyEverAboutAdministrators) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID users = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users));
  BOOL member = TRUE;
  EXPECT_TRUE(CheckTokenMembership(nullptr, users, &member));
  EXPECT_FALSE(member);
  EXPECT_FALSE(CheckTokenMembership(reinterpret_cast<HANDLE>(4), users, &member));
  EXPECT_EQ(1u, emulated::LiveSids());
  EXPECT_EQ(nullptr, FreeSid(users));
  EXPECT_EQ(0u, emulated::LiveSids());
}

TEST_F(Model, FaultsHitTheirKeyInAnyCaseOrTheirCallOnly) {
  emulated::CreateKey("K\\A");
  emulated::CreateKey("K\\B");
  emulated::FailOnKey(Op::RegDeleteKeyA, "k\\a", ERROR_ACCESS_DENIED);
  emulated::FailAt(Op::RegOpenKeyExA, 2, ERROR_INVALID_HANDLE);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K\\A"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "K\\B"));
  key = Open("K");
  RegCloseKey(key);
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_ALL_ACCESS, &key));
  key = Open("K");
  RegCloseKey(key);
  EXPECT_EQ(0u, emulated::OpenHandles());
}

HKEY OpenAs(const char *path, DWORD options, LONG expected = ERROR_SUCCESS) {
  HKEY key = nullptr;
  EXPECT_EQ(expected, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, options, KEY_ALL_ACCESS, &key))
      << path << " with options " << options;
  return key;
}

std::string FirstSubkey(HKEY key) {
  char name[MAX_PATH] = "";
  DWORD length = MAX_PATH;
  LONG result = RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
  return result == ERROR_SUCCESS ? name : "error " + std::to_string(result);
}

TEST_F(Model, LinksAreFollowedUnlessTheLastComponentIsOpenedAsItself) {
  emulated::SetValue("Target\\Sub", "Value", "1");
  emulated::CreateLink("Software\\Link", "\\Registry\\Machine\\TARGET");

  HKEY through = OpenAs("Software\\Link", 0);
  EXPECT_EQ("Sub", FirstSubkey(through));
  HKEY link = OpenAs("Software\\link\\", REG_OPTION_OPEN_LINK);
  EXPECT_EQ("error 259", FirstSubkey(link));                      // a link as itself has no subkeys
  HKEY sub = OpenAs("Software\\Link\\Sub", REG_OPTION_OPEN_LINK); // only the last is kept
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(sub, "Value", nullptr, nullptr, nullptr, nullptr));

  DWORD type = REG_NONE;
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExA(link, "SymbolicLinkValue", nullptr, &type, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_LINK), type);
  EXPECT_EQ(2 * std::strlen("\\Registry\\Machine\\TARGET"), size); // UTF-16, no zero
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(through, "SymbolicLinkValue", nullptr, &type, nullptr, nullptr));
  for (HKEY key : {through, link, sub}) {
    RegCloseKey(key);
  }
}

TEST_F(Model, DeletingByPathReachesTheTargetAndLeavesTheLinkDangling) {
  emulated::CreateKey("Target\\Sub");
  emulated::CreateLink("Software\\Link", "\\Registry\\Machine\\Target");

  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Link"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Link\\Sub"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Link"));
  EXPECT_FALSE(emulated::KeyExists("Target"));
  EXPECT_TRUE(emulated::IsLink("Software\\Link"));

  // Dangling now: it opens only as itself, and deleting it by path finds nothing.
  OpenAs("Software\\Link", 0, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Link"));
  RegCloseKey(OpenAs("Software\\Link", REG_OPTION_OPEN_LINK));
}

TEST_F(Model, LinkLoopsAndLinksOutOfTheMachineLeadNowhere) {
  emulated::CreateLink("Software\\A", "\\Registry\\Machine\\Software\\B");
  emulated::CreateLink("Software\\B", "\\Registry\\Machine\\Software\\A");
  emulated::CreateLink("Software\\U", "\\Registry\\User\\S-1-5-18");
  OpenAs("Software\\A\\X", REG_OPTION_OPEN_LINK, ERROR_FILE_NOT_FOUND);
  OpenAs("Software\\U", 0, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(0u, emulated::OpenHandles());
}

TEST_F(Model, NtDeleteKeyDeletesWhatItsHandleNames) {
  emulated::CreateKey("Target\\Sub");
  emulated::CreateLink("Software\\Link", "\\Registry\\Machine\\Target");
  FARPROC found = GetProcAddress(GetModuleHandleA("NTDLL.DLL"), "NtDeleteKey");
  ASSERT_NE(nullptr, found);
  auto ntDeleteKey = reinterpret_cast<LONG (*)(HANDLE)>(reinterpret_cast<void (*)()>(found));

  HKEY target = OpenAs("Target", 0);
  EXPECT_EQ(emulated::StatusCannotDelete, ntDeleteKey(target));
  HKEY readOnly = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Link", REG_OPTION_OPEN_LINK,
                                         0x20019 /* KEY_READ */, &readOnly));
  EXPECT_EQ(emulated::StatusAccessDenied, ntDeleteKey(readOnly));

  HKEY link = OpenAs("Software\\Link", REG_OPTION_OPEN_LINK);
  EXPECT_EQ(emulated::StatusSuccess, ntDeleteKey(link));
  EXPECT_FALSE(emulated::KeyExists("Software\\Link"));
  EXPECT_TRUE(emulated::KeyExists("Target\\Sub"));
  EXPECT_EQ(emulated::StatusKeyDeleted, ntDeleteKey(link));
  // The deleting handle does not count as left open; the read-only one does.
  EXPECT_EQ((std::vector<std::string>{"Software\\Link"}), emulated::DeletedWhileOpen());
  EXPECT_EQ(emulated::StatusInvalidHandle, ntDeleteKey(HKEY_LOCAL_MACHINE));
  for (HKEY key : {target, readOnly, link}) {
    RegCloseKey(key);
  }
}

TEST_F(Model, ValuesAreReadAsWindowsReadsThem) {
  emulated::SetValue("K", "Name", "abc");
  HKEY key = Open("K");
  DWORD type = REG_NONE;
  BYTE data[8] = {};
  DWORD size = 2;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "name", nullptr, &type, data, &size));
  EXPECT_EQ(4u, size); // with its terminating zero
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Name", nullptr, nullptr, data, &size));
  EXPECT_STREQ("abc", reinterpret_cast<const char *>(data));
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegQueryValueExA(key, "Name", nullptr, nullptr, data, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(key, "Other", nullptr, nullptr, nullptr, nullptr));
  RegCloseKey(key);
}

TEST_F(Model, SystemDllsExportOnlyWhatThisWindowsHas) {
  HMODULE ntdll = GetModuleHandleA("ntdll");
  EXPECT_EQ(ntdll, GetModuleHandleA("NtDll.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleA("nosuch.dll"));
  EXPECT_NE(nullptr, GetProcAddress(ntdll, "NtDeleteKey"));
  EXPECT_EQ(nullptr, GetProcAddress(GetModuleHandleA("advapi32.dll"), "NtDeleteKey"));
  EXPECT_EQ(nullptr, GetProcAddress(ntdll, "ntdeletekey")); // export names keep their case
  emulated::SetExported("NtDeleteKey", false);
  EXPECT_EQ(nullptr, GetProcAddress(ntdll, "NtDeleteKey"));
}

std::string SubkeyOf(const char *path, REGSAM view) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, &key);
  std::string first =
      result == ERROR_SUCCESS ? FirstSubkey(key) : "error " + std::to_string(result);
  RegCloseKey(key);
  return first;
}

TEST_F(Model, SixtyFourBitWindowsKeepsTwoViewsOfSoftware) {
  emulated::CreateKey("Software\\K\\In64");
  emulated::CreateKey("Software\\Wow6432Node\\K\\In32");
  emulated::CreateKey("System\\K\\Shared");

  // 32-bit Windows has one view and ignores the flags.
  EXPECT_EQ("In64", SubkeyOf("Software\\K", KEY_WOW64_32KEY));
  emulated::SetWindowsBits(64);
  for (unsigned bits : {32u, 64u}) {
    SCOPED_TRACE(bits);
    emulated::SetProcessBits(bits);
    EXPECT_EQ(bits == 32 ? "In32" : "In64", SubkeyOf("software\\k", 0));
    EXPECT_EQ("In64", SubkeyOf("Software\\K", KEY_WOW64_64KEY));
    EXPECT_EQ("In32", SubkeyOf("Software\\K", KEY_WOW64_32KEY));
    EXPECT_EQ("In32", SubkeyOf("Software\\Wow6432Node\\K", KEY_WOW64_32KEY));
    EXPECT_EQ("Shared", SubkeyOf("System\\K", KEY_WOW64_32KEY));
    EXPECT_EQ("K", SubkeyOf("Software", KEY_WOW64_32KEY)); // Software itself is redirected
    EXPECT_EQ("error 87", SubkeyOf("Software\\K", KEY_WOW64_32KEY | KEY_WOW64_64KEY));
  }
  EXPECT_EQ(0u, emulated::OpenHandles());
}

TEST_F(Model, DeletionsHappenInTheirView) {
  emulated::SetWindowsBits(64);
  for (const char *path : {"Software\\K\\A", "Software\\K\\B", "Software\\Wow6432Node\\K\\A",
                           "Software\\Wow6432Node\\K\\B"}) {
    emulated::CreateKey(path);
  }
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\K\\A", KEY_WOW64_64KEY, 1));
  EXPECT_EQ(ERROR_SUCCESS,
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\K\\A", KEY_WOW64_64KEY, 0));
  EXPECT_FALSE(emulated::KeyExists("Software\\K\\A"));
  EXPECT_TRUE(emulated::KeyExists("Software\\Wow6432Node\\K\\A"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\K\\B")); // 32-bit process
  EXPECT_FALSE(emulated::KeyExists("Software\\Wow6432Node\\K\\B"));
  EXPECT_TRUE(emulated::KeyExists("Software\\K\\B"));
}

TEST_F(Model, Wow64IsAskedOfTheCurrentProcessOnly) {
  using IsWow64ProcessFunction = BOOL (*)(HANDLE, PBOOL);
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "IsWow64Process")));
  ASSERT_NE(nullptr, isWow64Process);
  // 32-bit XP: IsWow64Process but not RegDeleteKeyExA; XP x64 has both.
  EXPECT_EQ(nullptr, GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA"));
  BOOL wow64 = TRUE;
  EXPECT_TRUE(isWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_FALSE(wow64);
  emulated::SetWindowsBits(64);
  EXPECT_NE(nullptr, GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA"));
  EXPECT_TRUE(isWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_TRUE(wow64);
  emulated::SetProcessBits(64);
  EXPECT_TRUE(isWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_FALSE(wow64);
  EXPECT_FALSE(isWow64Process(reinterpret_cast<HANDLE>(4), &wow64));
}

TEST_F(Model, MessageBoxesTellANullCaptionFromAnEmptyOne) {
  EXPECT_EQ(IDOK, MessageBoxA(nullptr, "t", nullptr, MB_ICONWARNING));
  EXPECT_EQ(IDOK, MessageBoxA(nullptr, "t", "", MB_ICONWARNING));
  ASSERT_EQ(2u, emulated::Boxes().size());
  EXPECT_TRUE(emulated::Boxes()[0].captionIsNull);
  EXPECT_FALSE(emulated::Boxes()[1].captionIsNull);
}

// Where Wine's registry conformance tests, which pass on Windows, found the
// model answering otherwise.
TEST_F(Model, AnswersAsWindowsConformanceTestsSay) {
  // Values list in the order they were made, and one set again keeps its
  // place.
  for (const char *name : {"b", "A", "c", "b"}) {
    emulated::SetValue("K\\Sub", name, "xyz");
  }
  HKEY key = Open("K");
  HKEY sub = Open("K\\Sub");
  std::vector<std::string> names;
  WCHAR name[8];
  DWORD length = 8;
  for (DWORD i = 0;
       RegEnumValueW(sub, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, length = 8) {
    names.push_back(std::string(1, static_cast<char>(name[0])));
  }
  EXPECT_EQ((std::vector<std::string>{"b", "A", "c"}), names);
  // Data that overflows: the type, the size and the name are told all the
  // same; a name that overflows is left alone.
  DWORD type = REG_NONE, size = 2;
  BYTE data[2];
  length = 8;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(sub, 0, name, &length, nullptr, &type, data, &size));
  EXPECT_EQ((std::vector<DWORD>{REG_SZ, 8, 1, 'b'}),
            (std::vector<DWORD>{type, size, length, static_cast<DWORD>(name[0])}));
  name[0] = '-';
  length = 1;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(sub, 0, name, &length, nullptr, &type, data, &size));
  EXPECT_EQ((std::vector<DWORD>{1, '-'}), (std::vector<DWORD>{length, name[0]}));
  // The longest names, the largest value, the descriptor and the time.
  DWORD counts[6] = {};
  FILETIME before = {}, after = {};
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &counts[0], &counts[1], nullptr,
                             &counts[2], &counts[3], &counts[4], &counts[5], &before));
  EXPECT_EQ(1u, counts[0]);
  EXPECT_EQ(3u, counts[1]); // "Sub"
  EXPECT_EQ(0u, counts[2]);
  EXPECT_LT(0u, counts[5]);
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryInfoKeyW(sub, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &counts[2],
                             &counts[3], &counts[4], nullptr, nullptr));
  EXPECT_EQ((std::vector<DWORD>{3, 1, 8}), (std::vector<DWORD>(counts + 2, counts + 5)));
  emulated::SetValue("K", "new", "1");
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr, &after);
  EXPECT_NE(before.dwLowDateTime, after.dwLowDateTime);
  RegCloseKey(sub);
  RegCloseKey(key);
  // A failed open leaves a null handle; MAXIMUM_ALLOWED gets what the DACL
  // grants, and is refused only where it grants nothing.
  HKEY out = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nope", 0, KEY_READ, &out));
  EXPECT_EQ(nullptr, out);
  emulated::CreateKey("ReadAndDelete");
  emulated::SetKeySecurity("ReadAndDelete", "O:SYD:P(A;;KR;;;WD)(A;;SD;;;BA)");
  emulated::CreateKey("Shut");
  emulated::SetKeySecurity("Shut", "O:SYD:P(A;;KA;;;SY)");
  EXPECT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "ReadAndDelete", 0, MAXIMUM_ALLOWED, &out));
  auto ntDeleteKey = SystemFunction<NtDeleteKeyFunction>("ntdll.dll", "NtDeleteKey");
  EXPECT_EQ(emulated::StatusSuccess, ntDeleteKey(out));
  RegCloseKey(out);
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Shut", 0, MAXIMUM_ALLOWED, &out));
  // Below HKLM\Software, KEY_WOW64_32KEY reaches the 32-bit view.
  emulated::SetWindowsBits(64);
  emulated::CreateKey("Software\\Wow6432Node\\Only32");
  HKEY software = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0,
                                         KEY_READ | KEY_WOW64_64KEY, &software));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(software, "Only32", 0, KEY_READ | KEY_WOW64_32KEY, &out));
  RegCloseKey(out);
  RegCloseKey(software);
  ExpectNothingLeftOpen();
}

} // namespace
