// Registry links in the subtree: each goes as a link, and what it points at
// stays exactly as it was, wherever the link stands and whatever it names.
#include "machine.h"

#include <algorithm>

namespace {

constexpr char Victim[] = "\\Registry\\Machine\\Software\\Victim";

class Links : public Machine {
protected:
  void SetUp() override {
    Machine::SetUp();
    links.clear();
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

  // Makes a link, and remembers it.
  void Link(const std::string &path, const std::string &target) {
    emulated::CreateLink(path, target);
    links.push_back(path);
  }

  // How many of the links made went, each deleted as itself.
  std::size_t LinksRemoved() const {
    std::size_t count = 0;
    for (const auto &path : Deleted()) {
      count += std::count(links.begin(), links.end(), path) > 0 ? 1 : 0;
    }
    return count;
  }

  std::vector<std::string> links;

  std::vector<std::string> before;
};

TEST_F(Links, LinkToAKeyOutsideGoesAsALinkAtAnyDepth) {
  for (const char *link : {"Link", "A\\B\\C\\Link"}) {
    SCOPED_TRACE(link);
    SetUp();
    Tree({"A\\B\\C", "Z"});
    Link(Below(link), Victim);
    Link(Below("Leaf"), std::string(Victim) + "\\Service\\Parameters\\Empty");

    EXPECT_EQ(0, Run());

    ExpectOnlyTheKeyWent();
    EXPECT_EQ(2u, LinksRemoved());
    for (Op byPath : {Op::RegDeleteKeyA, Op::RegDeleteKeyExA, Op::RegQueryValueExA}) {
      EXPECT_TRUE(CallsOf(byPath).empty()) << emulated::Name(byPath);
    }
  }
}

TEST_F(Links, PatchKeyThatIsItselfALinkGoesAsALink) {
  Link(PatchKeyPath, Victim);

  EXPECT_EQ(0, Run());

  ExpectOnlyTheKeyWent();
  EXPECT_EQ(1u, LinksRemoved());
}

TEST_F(Links, DanglingLinkGoes) {
  Tree({"A"});
  Link(Below("A\\Gone"), "\\Registry\\Machine\\Software\\Nowhere");
  Link(Below("User"), "\\Registry\\User\\S-1-5-18\\Software");

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
  EXPECT_EQ((std::vector<std::string>{Below("A\\B"), Below("A\\ToZ"), Below("A"), Below("M"),
                                      Below("Z\\Y"), Below("Z"), PatchKeyPath}),
            Deleted());
}

TEST_F(Links, LinkThatWillNotGoIsWarnedAboutAndNeverFollowed) {
  for (Op op : {Op::NtDeleteKey, Op::RegOpenKeyExW}) {
    SCOPED_TRACE(emulated::Name(op));
    SetUp();
    Tree({"A", "Z"});
    emulated::CreateLink(Below("Link"), std::string(Victim) + "\\Service\\Parameters\\Empty");
    emulated::FailOnKey(op, Below("Link"),
                        op == Op::NtDeleteKey ? emulated::StatusAccessDenied : ERROR_ACCESS_DENIED);

    EXPECT_EQ(0, Run());

    EXPECT_EQ(1u, Warnings());
    ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
    EXPECT_EQ((std::vector<std::string>{"Link"}), emulated::Subkeys(PatchKeyPath));
    EXPECT_EQ(before, emulated::Outside({PatchKeyPath}));
    ExpectNothingLeftOpen();
  }
}

// Another process swaps a key of the subtree for a link to a key outside,
// at the worst moment: after the walk has found the key's name, or after it
// has opened the key's parent. The walk opens the link as itself, below the
// handle it holds, and deletes it through that handle: the target is never
// reached.
TEST_F(Links, KeySwappedForALinkWhileTheWalkRunsGoesAsALink) {
  // A leaf: what a deletion by path through the link would take.
  const std::string target = "Software\\Victim\\Service\\Parameters\\Empty";
  // Each case names the key to swap, and the open (counted from 1) before
  // which it is swapped: the open of that key itself, or of a key below it.
  struct Case {
    const char *name;
    const char *swapped;
    unsigned open;
  };
  const Case cases[] = {
      {"a leaf, after its enumeration", "A\\Leaf", 3},
      {"an inner key, after its enumeration", "A", 2},
      {"an inner key, after it was opened", "A", 3},
      {"the patch key, before it is opened", "", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Tree({"A\\Leaf", "A\\Other", "Z"});
    // The opens come after the four gate calls and the look-ups.
    Run();
    std::size_t at = 0;
    unsigned opens = 0;
    for (std::size_t i = 0; i < emulated::Calls().size() && !at; ++i) {
      opens += emulated::Calls()[i].op == Op::RegOpenKeyExW ? 1 : 0;
      at = opens == c.open ? i + 1 : 0;
    }
    SetUp();
    Tree({"A\\Leaf", "A\\Other", "Z"});
    const std::string swapped = c.swapped[0] ? Below(c.swapped) : PatchKeyPath;
    emulated::AtCall(at, [&] {
      emulated::RemoveTree(swapped);
      emulated::CreateLink(swapped, "\\Registry\\Machine\\" + target);
    });

    EXPECT_EQ(0, Run());

    EXPECT_EQ(before, emulated::Outside({PatchKeyPath}));
    EXPECT_TRUE(emulated::KeyExists(target));
    // What the walk found stays as it was told: gone, or warned about.
    if (emulated::KeyExists(PatchKeyPath)) {
      ExpectLastBox(FailureText, ErrorCaption, MB_ICONERROR);
    } else {
      ExpectLastBox(SuccessText, SuccessCaption, MB_ICONINFORMATION);
    }
    ExpectNothingLeftOpen();
  }
}

} // namespace
