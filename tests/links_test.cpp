// Registry links in the subtree: each goes as a link, and what it points at
// stays exactly as it was, wherever the link stands and whatever it names.
#include "machine.h"

namespace {

constexpr char Victim[] = "\\Registry\\Machine\\Software\\Victim";

class Links : public Machine {
protected:
  void SetUp() override {
    Machine::SetUp();
    // A key outside ours with a subtree, values and an empty leaf: what a
    // followed link would lose.
    emulated::SetValue("Software\\Victim", "Config", "keep");
    emulated::SetValue("Software\\Victim\\Service", "Start", "2");
    emulated::CreateKey("Software\\Victim\\Service\\Parameters\\Empty");
    before = emulated::Outside({PatchKeyPath});
  }

  // The run ended in the success box, the key and everything below it is
  // gone, and nothing outside it changed.
  void ExpectOnlyTheKeyWent() {
    ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
    EXPECT_EQ(0u, Warnings());
    EXPECT_FALSE(emulated::KeyExists(PatchKeyPath));
    EXPECT_EQ(before, emulated::Outside({PatchKeyPath}));
    ExpectNothingLeftOpen();
  }

  static std::size_t LinksRemoved() {
    std::size_t count = 0;
    for (const auto &call : CallsOf(Op::NtDeleteKey)) {
      count += call.result == emulated::StatusSuccess ? 1 : 0;
    }
    return count;
  }

  std::vector<std::string> before;
};

TEST_F(Links, LinkToAKeyOutsideGoesAsALinkAtAnyDepth) {
  for (const char *link : {"Link", "A\\B\\C\\Link"}) {
    SCOPED_TRACE(link);
    SetUp();
    Tree({"A\\B\\C", "Z"});
    emulated::CreateLink(Below(link), Victim);
    emulated::CreateLink(Below("Leaf"), std::string(Victim) + "\\Service\\Parameters\\Empty");

    EXPECT_EQ(0, Run());

    ExpectOnlyTheKeyWent();
    EXPECT_EQ(2u, LinksRemoved());
  }
}

TEST_F(Links, PatchKeyThatIsItselfALinkGoesAsALink) {
  emulated::CreateLink(PatchKeyPath, Victim);

  EXPECT_EQ(0, Run());

  ExpectOnlyTheKeyWent();
  EXPECT_EQ(1u, LinksRemoved());
  EXPECT_TRUE(CallsOf(Op::RegDeleteKeyA).empty());
}

TEST_F(Links, DanglingLinkGoes) {
  Tree({"A"});
  emulated::CreateLink(Below("A\\Gone"), "\\Registry\\Machine\\Software\\Nowhere");
  emulated::CreateLink(Below("User"), "\\Registry\\User\\S-1-5-18\\Software");

  EXPECT_EQ(0, Run());

  ExpectOnlyTheKeyWent();
  EXPECT_EQ(2u, LinksRemoved());
}

TEST_F(Links, LinkIntoTheSubtreeIsNotWalkedTwice) {
  const std::string inside = "\\Registry\\Machine\\Software\\Crystal Semiconductor\\Z";
  Tree({"A\\B", "Z\\Y"});
  emulated::CreateLink(Below("A\\ToZ"), inside);
  emulated::CreateLink(Below("M"), inside + "\\Y");

  EXPECT_EQ(0, Run());

  ExpectOnlyTheKeyWent();
  // Z and its subkey are each deleted once, as themselves, not through M.
  EXPECT_EQ((std::vector<std::string>{Below("A\\B"), Below("A"), Below("Z\\Y"), Below("Z"),
                                      PatchKeyPath}),
            Deleted());
}

TEST_F(Links, OrdinaryKeysAreTestedOnlyWhenFoundEmpty) {
  Tree({"A\\B", "A\\C", "D"});
  emulated::SetValue(Below("D"), "SymbolicLinkValue", "not a link: the wrong type");

  EXPECT_EQ(0, Run());

  ExpectOnlyTheKeyWent();
  // One link test for each of the three leaves, none for A or the key.
  EXPECT_EQ(3u, CallsOf(Op::RegQueryValueExA).size());
  EXPECT_TRUE(CallsOf(Op::NtDeleteKey).empty());
  for (const auto &call : CallsOf(Op::GetProcAddress)) {
    EXPECT_EQ(std::string::npos, call.args.find("NtDeleteKey"));
  }
}

TEST_F(Links, LinkThatWillNotGoIsWarnedAboutAndNeverFollowed) {
  struct Case {
    const char *name;
    Op op;
    LONG error;
  };
  const Case cases[] = {
      {"deletion refused", Op::NtDeleteKey, emulated::StatusAccessDenied},
      {"link test refused", Op::RegQueryValueExA, ERROR_ACCESS_DENIED},
      {"link not opened", Op::RegOpenKeyExA, ERROR_ACCESS_DENIED},
      {"NtDeleteKey not found", Op::GetProcAddress, ERROR_PROC_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Tree({"A", "Z"});
    emulated::CreateLink(Below("Link"), std::string(Victim) + "\\Service\\Parameters\\Empty");
    emulated::FailOnKey(c.op, c.op == Op::GetProcAddress ? "" : Below("Link"), c.error);

    EXPECT_EQ(0, Run());

    EXPECT_EQ(1u, Warnings());
    ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
    EXPECT_EQ((std::vector<std::string>{"Link"}), emulated::Subkeys(PatchKeyPath));
    EXPECT_EQ(before, emulated::Outside({PatchKeyPath}));
    ExpectNothingLeftOpen();
  }
}

} // namespace
