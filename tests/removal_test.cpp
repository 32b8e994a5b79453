// The subtree walk: what it deletes, in which order, with which calls, and
// how it gets past keys that will not go.
#include "machine.h"

namespace {

using Removal = Machine;

TEST_F(Removal, MissingOrEmptyKeyCostsOneOpen) {
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeletePatchKey());
  EXPECT_EQ((std::vector<Op>{Op::RegOpenKeyExW}), Ops());

  emulated::Reset();
  Tree({});
  EXPECT_EQ(ERROR_SUCCESS, DeletePatchKey());
  EXPECT_EQ((std::vector<Op>{Op::RegOpenKeyExW, Op::NtDeleteKey, Op::RegCloseKey}), Ops());
  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  EXPECT_TRUE(emulated::Boxes().empty());
  ExpectNothingLeftOpen();
}

TEST_F(Removal, EveryKeyIsOpenedBelowItsParentsHandleAndDeletedThroughItsOwn) {
  Tree({"A\\B", "C"});
  emulated::SetValue(Below("A\\B"), "Setting", "1");

  EXPECT_EQ(ERROR_SUCCESS, DeletePatchKey());

  // A leaf costs its parent's enumeration, its open, its deletion and its
  // close; a key with subkeys is refused once, then emptied.
  std::vector<std::string> trace;
  for (const auto &call : emulated::Calls()) {
    if (emulated::IsRegistry(call.op)) {
      trace.push_back(std::string(emulated::Name(call.op)) + " " +
                      call.args.substr(0, call.args.find(" ->")) + " = " +
                      std::to_string(call.result));
    }
  }
  EXPECT_EQ((std::vector<std::string>{
                "RegOpenKeyExW HKLM, \"Software\\Crystal Semiconductor\", 8, 0x10008 = 0",
                "NtDeleteKey 0x100 = -1073741535", // STATUS_CANNOT_DELETE: it has subkeys
                "RegEnumKeyExW 0x100, 0, 256 = 0",
                "RegOpenKeyExW 0x100, \"A\", 8, 0x10008 = 0",
                "NtDeleteKey 0x104 = -1073741535",
                "RegEnumKeyExW 0x104, 0, 256 = 0",
                "RegOpenKeyExW 0x104, \"B\", 8, 0x10008 = 0",
                "NtDeleteKey 0x108 = 0",
                "RegCloseKey 0x108 = 0",
                "RegEnumKeyExW 0x104, 0, 256 = 259",
                "NtDeleteKey 0x104 = 0",
                "RegCloseKey 0x104 = 0",
                "RegEnumKeyExW 0x100, 0, 256 = 0",
                "RegOpenKeyExW 0x100, \"C\", 8, 0x10008 = 0",
                "NtDeleteKey 0x10c = 0",
                "RegCloseKey 0x10c = 0",
                "RegEnumKeyExW 0x100, 0, 256 = 259",
                "NtDeleteKey 0x100 = 0",
                "RegCloseKey 0x100 = 0",
            }),
            trace);
  EXPECT_EQ((std::vector<std::string>{Below("A\\B"), Below("A"), Below("C"), PatchKeyPath}),
            Deleted());
  ExpectNothingLeftOpen();
}

TEST_F(Removal, AnyDepthAndWidthGoes) {
  // About 2,000 characters from HKLM: no path is ever built.
  std::string deep = "D";
  while (Below(deep).size() < 2000) {
    deep += "\\" + std::string(40, 'D');
  }
  Tree({deep});
  for (int i = 0; i < 300; ++i) {
    emulated::SetValue(Below("W\\" + std::to_string(i)), "Value", "x");
  }
  std::size_t before = emulated::KeyCount();

  EXPECT_EQ(ERROR_SUCCESS, DeletePatchKey());

  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
  EXPECT_EQ(before - emulated::KeyCount(), Deleted().size());
  EXPECT_EQ(0u, Warnings());
  ExpectNothingLeftOpen();
}

// Children that stay, each for its own reason: each is warned about once and
// stepped over, so that its later siblings still go, and every key above it
// stays too (each warned about by its own parent).
TEST_F(Removal, ChildThatStaysIsWarnedAboutAndSteppedOver) {
  struct Case {
    const char *name;
    Op op;
    const char *key;
    LONG error;
    std::size_t warnings; // the child, then each key between it and the top
    const char *left;     // the deepest key left
  };
  const Case cases[] = {
      {"deletion refused", Op::NtDeleteKey, "B", emulated::StatusAccessDenied, 1, "B"},
      {"open refused", Op::RegOpenKeyExW, "A\\Locked", ERROR_ACCESS_DENIED, 2, "A\\Locked\\Inner"},
      {"deep deletion refused", Op::NtDeleteKey, "A\\Locked\\Inner", emulated::StatusAccessDenied,
       3, "A\\Locked\\Inner"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    emulated::Reset();
    Tree({"A\\Locked\\Inner", "A\\Open\\Inner", "B\\Inner", "C", "Z"});
    emulated::FailOnKey(c.op, Below(c.key), c.error);

    EXPECT_EQ(SubkeyStayed, DeletePatchKey());

    EXPECT_EQ(c.warnings, Warnings());
    EXPECT_EQ(c.warnings, emulated::Boxes().size());
    EXPECT_TRUE(emulated::KeyExists(Below(c.left)));
    for (const char *gone : {"A\\Open", "B\\Inner", "C", "Z"}) {
      EXPECT_FALSE(emulated::KeyExists(Below(gone))) << gone;
    }
    ExpectNothingLeftOpen();
  }
}

TEST_F(Removal, FailedEnumerationEndsThePassAndTheLevelIsListedAgain) {
  Tree({"A", "B", "C"});
  // The first enumeration finds A, the second fails: the pass ends, and as
  // it removed A, the level is listed again, and the rest go.
  emulated::FailAt(Op::RegEnumKeyExW, 2, ERROR_INVALID_HANDLE);

  EXPECT_EQ(ERROR_SUCCESS, DeletePatchKey());
  EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));

  // An enumeration that always fails ends the level at once.
  emulated::Reset();
  Tree({"A", "B"});
  emulated::FailOnKey(Op::RegEnumKeyExW, PatchKeyPath, ERROR_INVALID_HANDLE);

  EXPECT_EQ(SubkeyStayed, DeletePatchKey());

  EXPECT_EQ((std::vector<std::string>{"A", "B"}), emulated::Subkeys(PatchKeyPath));
  EXPECT_TRUE(emulated::Boxes().empty());
  ExpectNothingLeftOpen();
}

// Names that the ANSI code page lacks, or holds only as a look-alike
// through its best-fit table: every key is listed, opened and deleted by
// the name the registry holds, so that no name becomes another key's, or a
// path through a link that stays.
TEST_F(Removal, EveryKeyGoesByTheNameTheRegistryHolds) {
  const std::vector<std::string> names = {
      "Caf\xCE\xA9",                            // Omega, 'O' in the code page
      "\xE9\x9F\xB3",                           // CJK, '?'
      "C",                                      // and its fullwidth twin
      "\xEF\xBC\xA3",                           // fullwidth C, 'C'
      "\xEF\xBC\xBC\x41",                       // fullwidth reverse solidus, a leading '\'
      "\xEF\xBD\x98\xEF\xBC\xBCL\xEF\xBC\xBCv", // fullwidth "x\L\v", a path through x\L
  };
  Tree(names);
  emulated::CreateKey("Software\\Victim\\v\\deep");
  emulated::CreateLink(Below("x\\L"), "\\Registry\\Machine\\Software\\Victim");
  emulated::FailOnKey(Op::NtDeleteKey, Below("x\\L"), emulated::StatusAccessDenied);
  const auto outside = emulated::Outside({PatchKeyPath});

  // The control: a walk by the narrow names escapes through the link.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, PatchKeyPath, 0, KEY_READ, &key));
  char name[MAX_PATH] = "";
  DWORD length = MAX_PATH;
  for (DWORD i = 0; std::string(name) != "x\\L\\v"; ++i, length = MAX_PATH) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr));
  }
  HKEY escaped = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, name, REG_OPTION_OPEN_LINK, KEY_READ, &escaped));
  length = MAX_PATH;
  EXPECT_EQ(ERROR_SUCCESS,
            RegEnumKeyExA(escaped, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ("deep", name); // Software\Victim\v's
  RegCloseKey(escaped);
  RegCloseKey(key);

  EXPECT_EQ(SubkeyStayed, DeletePatchKey());

  EXPECT_EQ((std::vector<std::string>{"x"}), emulated::Subkeys(PatchKeyPath));
  EXPECT_EQ((std::vector<std::string>{"L"}), emulated::Subkeys(Below("x")));
  EXPECT_EQ(outside, emulated::Outside({PatchKeyPath}));
  EXPECT_EQ(names.size(), Deleted().size());
  EXPECT_EQ(2u, Warnings()); // the link, and x above it
  ExpectNothingLeftOpen();
}

// Another process's deletions while the walk runs: what is gone is gone,
// and nothing is warned about.
TEST_F(Removal, KeysRemovedByAnotherProcessCountAsGone) {
  struct Case {
    const char *name;
    std::size_t at; // the call before which the other process acts
    const char *removed;
  };
  // The calls: open the key (1), its refused deletion (2), the enumeration
  // that finds A (3), the open of A (4), A's refused deletion (5), ...
  const Case cases[] = {
      {"the next child, between its enumeration and its open", 4, "A"},
      {"the parent, between the enumeration of a child and its open", 7, "A"},
      {"a key the walk holds open", 5, "A"},
      {"the patch key itself, while held", 3, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    emulated::Reset();
    Tree({"A\\B", "A\\C", "Z"});
    // After the six calls that look up the walk's functions.
    emulated::AtCall(
        6 + c.at, [&c] { emulated::RemoveTree(c.removed[0] ? Below(c.removed) : PatchKeyPath); });

    LONG result = DeletePatchKey();

    EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) << result;
    EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
    EXPECT_EQ(0u, Warnings());
    ExpectNothingLeftOpen();
  }
}

} // namespace
