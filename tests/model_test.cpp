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

TEST_F(Model, MessageBoxesTellANullCaptionFromAnEmptyOne) {
  EXPECT_EQ(IDOK, MessageBoxA(nullptr, "t", nullptr, MB_ICONWARNING));
  EXPECT_EQ(IDOK, MessageBoxA(nullptr, "t", "", MB_ICONWARNING));
  ASSERT_EQ(2u, emulated::Boxes().size());
  EXPECT_TRUE(emulated::Boxes()[0].captionIsNull);
  EXPECT_FALSE(emulated::Boxes()[1].captionIsNull);
}

} // namespace
