// A fresh emulated Windows XP machine per test, and short ways to read back
// what the patch did to it.
#pragma once

#include "patch/functions.h"
#include "patch/report.h"
#include "patch/takeover.h"
#include "patch/texts.h"
#include "patch/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using emulated::Op;

// What makes the DLL search safe, which every run does first.
constexpr Op DllSearchOps[] = {Op::SetDllDirectoryA, Op::SetDefaultDllDirectories,
                               Op::GetSystemDirectoryA, Op::LoadLibraryExA};
inline bool SearchesDlls(Op op) {
  return std::find(std::begin(DllSearchOps), std::end(DllSearchOps), op) != std::end(DllSearchOps);
}

class Machine : public ::testing::Test {
protected:
  void SetUp() override { emulated::Reset(); }

  static int Run() { return WinMain(nullptr, nullptr, nullptr, 0); }

  // Creates each path below the patch key.
  static void Tree(const std::vector<std::string> &paths) {
    emulated::CreateKey(PatchKeyPath);
    for (const auto &path : paths) {
      emulated::CreateKey(Below(path));
    }
  }

  static std::string Below(const std::string &path) {
    return std::string(PatchKeyPath) + "\\" + path;
  }

  static std::vector<emulated::Call> CallsOf(Op op) {
    std::vector<emulated::Call> calls;
    for (const auto &call : emulated::Calls()) {
      if (call.op == op) {
        calls.push_back(call);
      }
    }
    return calls;
  }

  // Paths of the keys deleted, in the order they went.
  static std::vector<std::string> Deleted() {
    std::vector<std::string> paths;
    for (const auto &call : CallsOf(Op::NtDeleteKey)) {
      if (call.result == emulated::StatusSuccess) {
        paths.push_back(call.key);
      }
    }
    return paths;
  }

  // Deletes the patch key as the run does in the one view of 32-bit
  // Windows, with boxes and no log; `report` tells what the walk counted.
  Report report = {false, INVALID_HANDLE_VALUE, false, false, 0, 0, 0, 0, &MessageBoxA};
  Takeover takeover = {};
  LONG DeletePatchKey() {
    const Walk walk = {0,
                       SystemFunction<NtDeleteKeyFunction>("ntdll.dll", "NtDeleteKey"),
                       SystemFunction<decltype(&RegOpenKeyExW)>("advapi32.dll", "RegOpenKeyExW"),
                       SystemFunction<decltype(&RegEnumKeyExW)>("advapi32.dll", "RegEnumKeyExW"),
                       &report,
                       &takeover,
                       nullptr};
    return DeleteKey(HKEY_LOCAL_MACHINE, Trail{PatchKeyPathW, nullptr}, walk).error;
  }

  // The calls of the run but the look-ups of functions some Windows lacks,
  // what makes the DLL search safe, and the question whether anyone can
  // see a box.
  static std::vector<Op> Ops() {
    std::vector<Op> ops;
    for (const auto &call : emulated::Calls()) {
      if (call.op != Op::GetModuleHandleA && call.op != Op::GetProcAddress &&
          !SearchesDlls(call.op) && call.op != Op::GetProcessWindowStation &&
          call.op != Op::GetUserObjectInformationA) {
        ops.push_back(call.op);
      }
    }
    return ops;
  }

  static std::size_t Warnings() {
    std::size_t count = 0;
    for (const auto &box : emulated::Boxes()) {
      if (box.caption == WarningCaption && box.text == ChildNotDeletedText &&
          box.type == MB_ICONWARNING && box.owner == nullptr) {
        ++count;
      }
    }
    return count;
  }

  static bool AnyRegistryCall() {
    for (const auto &call : emulated::Calls()) {
      if (emulated::IsRegistry(call.op)) {
        return true;
      }
    }
    return false;
  }

  static void ExpectLastBox(const char *text, const char *caption, UINT icon) {
    ASSERT_FALSE(emulated::Boxes().empty());
    const emulated::Box &box = emulated::Boxes().back();
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(caption, box.caption);
    EXPECT_FALSE(box.captionIsNull);
    EXPECT_EQ(icon, box.type);
    EXPECT_EQ(nullptr, box.owner);
  }

  static void ExpectNothingLeftOpen() {
    EXPECT_EQ(0u, emulated::OpenHandles());
    EXPECT_EQ(0u, emulated::OpenFiles());
    EXPECT_EQ(0u, emulated::LiveSids());
    EXPECT_TRUE(emulated::DeletedWhileOpen().empty());
  }
};
