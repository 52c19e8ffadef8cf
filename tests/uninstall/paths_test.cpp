// Package folder resolution and removal on the stand-in machine.
#include "removal_fixture.h"

#include <filesystem>
#include <fstream>

using namespace win32stub;

namespace {

const char Programs[] = "C:\\Documents and Settings\\Tester\\Start Menu\\Programs";

class PackageFolders : public RemovalTest {
 protected:
  static void RegisterFolders(const std::string& programFiles, const std::string& programs) {
    SetString(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", programFiles);
    SetString(HKEY_CURRENT_USER, ShellFolders, "Programs", programs);
    SetString(HKEY_CURRENT_USER, ShellFolders, "Fonts", "C:\\WINDOWS\\Fonts");
    MakeFolder(programFiles);
    MakeFolder(programs);
  }
};

TEST_F(PackageFolders, ResolvesAndCreatesTheFolders) {
  RegisterFolders("C:\\Program Files", Programs);
  EXPECT_EQ(ResolvePackagePaths(), 1);
  EXPECT_STREQ(PackagePaths.InstallFolder, "C:\\Program Files\\Krelmo\\Lindorian");
  EXPECT_EQ(std::string(PackagePaths.ProgramGroupFolder), std::string(Programs) + "\\Lindorian");
  EXPECT_STREQ(PackagePaths.FontsFolder, "C:\\WINDOWS\\Fonts");
  EXPECT_TRUE(IsFolder(PackagePaths.InstallFolder));
  EXPECT_TRUE(IsFolder(PackagePaths.ProgramGroupFolder));
}

// A folder value that ends in a separator is used as it is: the paths built
// on it carry a doubled one, which Windows reads as one.
TEST_F(PackageFolders, KeepsTheSeparatorAFolderValueEndsIn) {
  RegisterFolders("C:\\Program Files\\", Programs);
  EXPECT_EQ(ResolvePackagePaths(), 1);
  EXPECT_STREQ(PackagePaths.ProgramFilesRoot, "C:\\Program Files\\");
  EXPECT_STREQ(PackagePaths.InstallFolder, "C:\\Program Files\\\\Krelmo\\Lindorian");
  EXPECT_TRUE(IsFolder(PackagePaths.InstallFolder));
}

// Each way resolution stops leaves the later members empty and every key closed.
TEST_F(PackageFolders, StopsAtTheFirstMissingOrUnusableValue) {
  EXPECT_EQ(ResolvePackagePaths(), 0);
  EXPECT_FALSE(IsResolved(PackagePaths.ProgramFilesRoot));

  // An empty Program Files value would put the package folders at the drive root.
  SetString(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", "");
  EXPECT_EQ(ResolvePackagePaths(), 0);
  EXPECT_FALSE(Exists("C:\\Krelmo"));

  // Exactly 260 bytes without a terminator leaves no room for one.
  SetValue(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", REG_SZ, std::string(260, 'p'));
  EXPECT_EQ(ResolvePackagePaths(), 0);
  EXPECT_FALSE(IsResolved(PackagePaths.ProgramFilesRoot));

  SetString(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", "C:\\Program Files");
  SetString(HKEY_CURRENT_USER, ShellFolders, "Fonts", "C:\\WINDOWS\\Fonts");
  EXPECT_EQ(ResolvePackagePaths(), 0);  // no "Programs"
  EXPECT_TRUE(IsResolved(PackagePaths.InstallFolder));
  EXPECT_FALSE(IsResolved(PackagePaths.ProgramGroupFolder));
  EXPECT_FALSE(IsResolved(PackagePaths.FontsFolder));
}

// A path that would pass 259 characters is never formed; its folder is
// left unresolved while the others still resolve.
TEST_F(PackageFolders, LeavesOverlongFoldersUnresolved) {
  std::string programsAtLimit = PathOfLength(259 - 10);  // + "\Lindorian"
  RegisterFolders("C:\\Program Files", programsAtLimit);
  EXPECT_EQ(ResolvePackagePaths(), 1);
  EXPECT_EQ(std::string(PackagePaths.ProgramGroupFolder).size(), 259u);
  EXPECT_TRUE(IsFolder(PackagePaths.ProgramGroupFolder));

  PackagePaths = PackagePathsRecord{};
  std::string programFiles = PathOfLength(259 - 7);  // + "\Krelmo" fits, "\Lindorian" does not
  RegisterFolders(programFiles, programsAtLimit + "x");
  EXPECT_EQ(ResolvePackagePaths(), 0);
  EXPECT_STREQ(PackagePaths.ProgramFilesRoot, programFiles.c_str());
  EXPECT_FALSE(IsResolved(PackagePaths.InstallFolder));
  EXPECT_FALSE(IsResolved(PackagePaths.ProgramGroupFolder));
  EXPECT_STREQ(PackagePaths.FontsFolder, "C:\\WINDOWS\\Fonts");

  ClearCallLog();
  RemoveProgramGroup();
  RemoveInstallFolders();
  EXPECT_EQ(DriveChanges(),
            std::vector<std::string>{"RemoveDirectoryA " + programFiles + "\\Krelmo"});
}

TEST_F(PackageFolders, RemovesTheTreeButKeepsDotFoldersAndReadOnlyFiles) {
  UseResolvedPaths();
  const std::string install = PackagePaths.InstallFolder;
  MakeFile(install + "\\ldeudb.tte");
  MakeFile(install + "\\.settings");
  MakeFile(install + "\\Docs\\Deep\\guide.txt");
  MakeFile(install + "\\.cache\\entry");
  MakeFile(install + "\\Locked\\readonly.txt");
  SetReadOnly(install + "\\Locked\\readonly.txt");

  RemoveInstallFolders();
  EXPECT_FALSE(Exists(install + "\\ldeudb.tte"));
  EXPECT_FALSE(Exists(install + "\\.settings"));
  EXPECT_FALSE(Exists(install + "\\Docs"));
  EXPECT_TRUE(Exists(install + "\\.cache\\entry"));
  EXPECT_TRUE(Exists(install + "\\Locked\\readonly.txt"));
}

TEST_F(PackageFolders, RemovesTheMakerFolderOnlyWhenEmpty) {
  UseResolvedPaths();
  MakeFile(std::string(PackagePaths.InstallFolder) + "\\Sub\\file.txt");
  MakeFile("C:\\Program Files\\Krelmo\\Other Product\\keep.txt");
  RemoveInstallFolders();
  EXPECT_FALSE(Exists(PackagePaths.InstallFolder));
  EXPECT_TRUE(Exists("C:\\Program Files\\Krelmo\\Other Product\\keep.txt"));

  std::filesystem::remove_all(HostPath("C:\\Program Files\\Krelmo\\Other Product"));
  RemoveInstallFolders();
  EXPECT_FALSE(Exists("C:\\Program Files\\Krelmo"));
  EXPECT_TRUE(IsFolder("C:\\Program Files"));
}

// The maker folder goes after the install folder, in the same call.
TEST_F(PackageFolders, RemovesTheMakerFolderTheInstallFolderLeavesEmpty) {
  UseResolvedPaths();
  MakeFile(std::string(PackagePaths.InstallFolder) + "\\ldeudb.tte");
  RemoveInstallFolders();
  EXPECT_FALSE(Exists("C:\\Program Files\\Krelmo"));
  EXPECT_TRUE(IsFolder("C:\\Program Files"));
}

// What is in use now (the running uninstaller, loaded EUDC files, a folder
// someone has open) is left to Windows to delete at the next restart: each
// file before the folder that holds it, the maker folder after the install
// folder, so that the restart can remove the folders.
TEST_F(PackageFolders, LeavesWhatIsInUseToTheRestartFilesBeforeTheirFolders) {
  UseResolvedPaths();
  const std::string install = PackagePaths.InstallFolder;
  const std::string group = PackagePaths.ProgramGroupFolder;
  for (const char* name : {"\\uninstall.exe", "\\ldeudb.tte", "\\Docs\\Images\\keys.png"}) {
    MakeFile(install + name);
    LockFile(install + name);
  }
  MakeFile(install + "\\Readme.txt");
  MakeFile(install + "\\Docs\\guide.txt");
  MakeFile(group + "\\Uninstall.lnk");
  LockFile(group);

  RemoveProgramGroup();
  RemoveInstallFolders();
  EXPECT_FALSE(Exists(install + "\\Readme.txt"));
  EXPECT_FALSE(Exists(install + "\\Docs\\guide.txt"));
  EXPECT_FALSE(Exists(group + "\\Uninstall.lnk"));
  EXPECT_EQ(DeletedAtRestart(),
            (std::vector<std::string>{group, install + "\\Docs\\Images\\keys.png",
                                      install + "\\Docs\\Images", install + "\\Docs",
                                      install + "\\ldeudb.tte", install + "\\uninstall.exe",
                                      install, "C:\\Program Files\\Krelmo"}));
}

// Only what would be deleted now is left for the restart: no read-only
// file, nothing skipped for its name, no link and nothing behind one, and
// no folder that would keep any of these. A failure to schedule is ignored
// like a failure to delete.
TEST_F(PackageFolders, LeavesNothingToTheRestartThatWouldNotGoNow) {
  UseResolvedPaths();
  const std::string install = PackagePaths.InstallFolder;
  MakeFile(install + "\\ReadOnly\\kept.txt");
  SetReadOnly(install + "\\ReadOnly\\kept.txt");
  MakeFile(install + "\\Dotted\\.cache\\kept.txt");
  MakeFile(install + "\\Named\\unknown ?.txt");
  MakeFile("C:\\Shared Data\\precious.txt");
  LockFile("C:\\Shared Data\\precious.txt");
  MakeFolderLink(install + "\\Linked\\Shared", "C:\\Shared Data");
  LockFile(install + "\\Linked\\Shared");
  for (const char* folder : {"\\ReadOnly", "\\Dotted", "\\Named", "\\Linked"}) {
    MakeFile(install + folder + "\\in use.txt");
    LockFile(install + folder + "\\in use.txt");
  }

  RemoveInstallFolders();
  EXPECT_EQ(DeletedAtRestart(),
            (std::vector<std::string>{
                install + "\\Dotted\\in use.txt", install + "\\Linked\\in use.txt",
                install + "\\Named\\in use.txt", install + "\\ReadOnly\\in use.txt"}));
  EXPECT_TRUE(Exists("C:\\Shared Data\\precious.txt"));

  Reset();
  UseResolvedPaths();
  FailDelayedMoves();
  MakeFile(install + "\\uninstall.exe");
  LockFile(install + "\\uninstall.exe");
  MakeFile(install + "\\Readme.txt");
  RemoveInstallFolders();
  EXPECT_FALSE(Exists(install + "\\Readme.txt"));
  EXPECT_TRUE(DeletedAtRestart().empty());
  EXPECT_EQ(CallsTo("MoveFileExA").size(), 1u);  // the folders are not tried without their files
}

// A link inside the package's folders leads somewhere else: the link goes,
// what it leads to stays.
TEST_F(PackageFolders, RemovesFolderLinksWithoutEnteringThem) {
  UseResolvedPaths();
  MakeFile("C:\\Shared Data\\Nested\\precious.txt");
  MakeFolderLink(std::string(PackagePaths.InstallFolder) + "\\Data\\shared", "C:\\Shared Data");
  MakeFolderLink(std::string(PackagePaths.ProgramGroupFolder) + "\\shared", "C:\\Shared Data");

  RemoveProgramGroup();
  RemoveInstallFolders();
  EXPECT_TRUE(Exists("C:\\Shared Data\\Nested\\precious.txt"));
  EXPECT_FALSE(Exists(PackagePaths.InstallFolder));
  EXPECT_FALSE(Exists(PackagePaths.ProgramGroupFolder));
}

// A package folder that is itself a link is not entered either: the link
// goes, the folder it leads to keeps everything.
TEST_F(PackageFolders, RemovesLinkedPackageFoldersWithoutEnteringThem) {
  UseResolvedPaths();
  MakeFile("C:\\Someone Else\\Nested\\precious.txt");
  MakeFile("C:\\Other Group\\tool.lnk");
  MakeFolderLink(PackagePaths.InstallFolder, "C:\\Someone Else");
  MakeFolderLink(PackagePaths.ProgramGroupFolder, "C:\\Other Group");

  RemoveProgramGroup();
  RemoveInstallFolders();
  EXPECT_TRUE(Exists("C:\\Someone Else\\Nested\\precious.txt"));
  EXPECT_TRUE(Exists("C:\\Other Group\\tool.lnk"));
  EXPECT_FALSE(Exists(PackagePaths.InstallFolder));
  EXPECT_FALSE(Exists(PackagePaths.ProgramGroupFolder));
  EXPECT_FALSE(Exists("C:\\Program Files\\Krelmo"));
  // One removal of each link and nothing after it: a path that named the
  // link could name a folder someone puts in its place.
  EXPECT_EQ(DriveChanges(), (std::vector<std::string>{
                                "RemoveDirectoryA " + std::string(PackagePaths.ProgramGroupFolder),
                                "RemoveDirectoryA " + std::string(PackagePaths.InstallFolder),
                                "RemoveDirectoryA C:\\Program Files\\Krelmo"}));
  EXPECT_TRUE(CallsTo("FindFirstFileA").empty());
}

// Removing a linked maker folder would take other products' folder with
// it, whatever it holds; the package's own folder inside still goes.
TEST_F(PackageFolders, KeepsAMakerFolderThatIsALink) {
  UseResolvedPaths();
  MakeFile("C:\\Vendors\\Lindorian\\readme.txt");
  MakeFile("C:\\Vendors\\Other Product\\keep.txt");
  MakeFolderLink("C:\\Program Files\\Krelmo", "C:\\Vendors");

  RemoveInstallFolders();
  EXPECT_FALSE(Exists("C:\\Vendors\\Lindorian"));
  EXPECT_TRUE(Exists("C:\\Vendors\\Other Product\\keep.txt"));
  EXPECT_TRUE(Exists("C:\\Program Files\\Krelmo\\Other Product\\keep.txt"));
}

// Best-fit mapping hands back a fullwidth reverse solidus as "\\", a
// division slash as "/", a fullwidth colon as ":" ("d:x.txt" names a stream
// of "d"): joined as they come, these names would reach the sentinels
// outside the package. Entries named so, with characters the code page
// lacks ("?") or with control characters, are left alone, and no call is
// made through them; ordinary ones still go.
TEST_F(PackageFolders, LeavesEntriesWhoseNamesTurnIntoPaths) {
  UseResolvedPaths();
  const std::string install = PackagePaths.InstallFolder;
  const std::string group = PackagePaths.ProgramGroupFolder;
  const std::string up = "..\xEF\xBC\xBC";  // "..＼"
  MakeFile("C:\\x.txt");
  MakeFile("C:\\Victim\\v.txt");
  MakeFile(install + "\\a\xEF\xBC\xBC" + up + up + up + up + "x.txt");
  MakeFile(install + "\\b\xEF\xBC\xBC" + up + up + up + up + "Victim\\inside.txt");
  MakeFile(group + "\\c\xE2\x88\x95..\xE2\x88\x95..\xE2\x88\x95x.txt");  // "c∕..∕..∕x.txt"
  MakeFile(install + "\\d\xEF\xBC\x9Ax.txt");                            // "d：x.txt"
  MakeFile(install + "\\unknown ?.txt");
  MakeFile(install + "\\tab\tname.txt");
  MakeFile(install + "\\readme.txt");
  MakeFile(group + "\\Readme.lnk");

  RemoveProgramGroup();
  RemoveInstallFolders();
  EXPECT_TRUE(Exists("C:\\x.txt"));
  EXPECT_TRUE(Exists("C:\\Victim\\v.txt"));
  EXPECT_FALSE(Exists(install + "\\readme.txt"));
  EXPECT_FALSE(Exists(group + "\\Readme.lnk"));
  EXPECT_TRUE(Exists(install + "\\unknown ?.txt"));
  EXPECT_TRUE(Exists(install + "\\tab\tname.txt"));
  for (const std::string& change : DriveChanges()) {
    EXPECT_EQ(change.find(".."), std::string::npos) << change;
    EXPECT_EQ(change.find(':', change.find("C:") + 2), std::string::npos) << change;
  }
}

// In code page 950 the trail byte of 許 (B3 5C), 功 (A5 5C) and 蓋 (BB 5C) is
// the byte of "\\": stepped by characters, these names are ordinary ones.
TEST_F(PackageFolders, RemovesDoubleByteNamesWithABackslashTrailByte) {
  SetAnsiCodePage(950);
  UseResolvedPaths();
  const std::string install = PackagePaths.InstallFolder;
  MakeFile(install + "\\\xB3\x5C.txt");
  MakeFile(install + "\\\xA5\x5C\\\xBB\x5C.txt");

  RemoveInstallFolders();
  EXPECT_FALSE(Exists("C:\\Program Files\\Krelmo"));
}

// An entry whose full path would pass 259 characters is skipped; the rest
// of the folder still goes.
TEST_F(PackageFolders, SkipsEntriesWhosePathWouldBeTooLong) {
  std::string folder = PathOfLength(240);
  MakeFile(folder + "\\short.txt");
  std::ofstream(HostPath(folder) + "/" + std::string(30, 'n')) << "x";  // 271 characters in all

  RemoveTree(folder.c_str());
  EXPECT_FALSE(Exists(folder + "\\short.txt"));
  EXPECT_TRUE(IsFolder(folder));
  EXPECT_EQ(DriveChanges(), (std::vector<std::string>{"DeleteFileA " + folder + "\\short.txt",
                                                      "RemoveDirectoryA " + folder}));
}

// Without resolved folders no step may build a path on an empty string:
// here "\*.*" would be the root of the drive.
TEST_F(PackageFolders, UnresolvedFoldersLeaveTheDriveAlone) {
  MakeFile("C:\\boot.ini");
  MakeFile("C:\\ldser.ttf");
  MakeFile("C:\\Tools\\tool.exe");
  SetString(HKEY_CURRENT_USER, EudcKey, Ming, "\\ldeudb.tte");

  RemoveTree("");
  RemoveProgramGroup();
  RemoveInstallFolders();
  RemoveFonts();
  RemoveEudcLinks();
  EXPECT_TRUE(DriveChanges().empty());
  EXPECT_TRUE(CallsTo("RemoveFontResourceA").empty());
  EXPECT_TRUE(CallsTo("SendMessageTimeoutA").empty());
  EXPECT_TRUE(StringValue(HKEY_CURRENT_USER, EudcKey, Ming));
}

}  // namespace
