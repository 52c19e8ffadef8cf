// Common ground for the uninstaller's host tests: a fresh stand-in machine,
// the package paths cleared, the registry keys the steps use, and a few ways
// to look at what a step changed.
#pragma once

#include "uninstall.h"
#include "win32stub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The registry keys the uninstaller reads and changes.
inline constexpr char CurrentVersion[] = "Software\\Microsoft\\Windows\\CurrentVersion";
inline constexpr char ShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
inline constexpr char Layouts[] = "SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";
inline constexpr char Preload[] = "keyboard layout\\preload";
inline constexpr char FontKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
inline constexpr char EudcKey[] = "EUDC\\950";
inline constexpr char WordOptions[] = "Software\\Microsoft\\Office\\11.0\\Word\\Options";
inline constexpr char ExcelRoot[] = "Software\\Microsoft\\Office\\11.0\\Excel\\InstallRoot";
// The EUDC links' value names: the three face names as code page 950 bytes,
// 細明體, 新細明體, 標楷體.
inline constexpr char Ming[] = "\xB2\xD3\xA9\xFA\xC5\xE9";
inline constexpr char NewMing[] = "\xB7\x73\xB2\xD3\xA9\xFA\xC5\xE9";
inline constexpr char Kai[] = "\xBC\xD0\xB7\xA2\xC5\xE9";

class RemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win32stub::Reset();
    PackagePaths = PackagePathsRecord{};
  }

  void TearDown() override {
    EXPECT_EQ(win32stub::OpenKeyCount(), 0) << "a registry key was left open";
    EXPECT_EQ(win32stub::OpenFindCount(), 0) << "an enumeration was left open";
  }

  // PackagePaths as a resolved machine would have them.
  static void UseResolvedPaths() {
    Set(PackagePaths.ProgramFilesRoot, "C:\\Program Files");
    Set(PackagePaths.InstallFolder, "C:\\Program Files\\Krelmo\\Lindorian");
    Set(PackagePaths.ProgramGroupFolder,
        "C:\\Documents and Settings\\Tester\\Start Menu\\Programs\\Lindorian");
    Set(PackagePaths.FontsFolder, "C:\\WINDOWS\\Fonts");
  }

  static void Set(char* member, const std::string& text) {
    ASSERT_LT(text.size(), static_cast<std::size_t>(MAX_PATH));
    text.copy(member, text.size());
    member[text.size()] = 0;
  }

  // Paths handed to calls that change the drive now or at the restart, in
  // call order.
  static std::vector<std::string> DriveChanges() {
    std::vector<std::string> paths;
    for (const win32stub::Call& call : win32stub::CallLog())
      if (call.function == "DeleteFileA" || call.function == "RemoveDirectoryA" ||
          call.function == "CreateDirectoryA" || call.function == "MoveFileExA")
        paths.push_back(call.function + " " + call.Text(0));
    return paths;
  }

  // The paths left to Windows to delete at the next restart, in order.
  static std::vector<std::string> DeletedAtRestart() {
    std::vector<std::string> paths;
    for (const win32stub::Call& call : win32stub::CallsTo("MoveFileExA"))
      if (call.result) paths.push_back(call.Text(0));
    return paths;
  }

  // A folder path of exactly `length` characters below C:\, made of
  // components short enough for the host's file system.
  static std::string PathOfLength(std::size_t length) {
    std::string path = "C:";
    while (path.size() < length) {
      std::size_t component = std::min<std::size_t>(100, length - path.size() - 1);
      path += "\\" + std::string(component, 'd');
    }
    return path;
  }
};
