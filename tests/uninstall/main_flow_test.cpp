// The uninstaller's main flow, window and entry, run against the stand-in.
#include "removal_fixture.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using win32stub::Call;
using win32stub::CallsTo;
using win32stub::Number;

const char* const Caption = "Lindorian Package 2.10";
const char* const Question = "To uninstall the Lindorian Package?";
const char* const Completion =
    "Uninstallation completed. Remember to restart Windows to take effect.";

const std::string Programs = "C:\\Documents and Settings\\Tester\\Start Menu\\Programs";
const std::string ProgramGroup = Programs + "\\Lindorian";
const std::string MakerFolder = "C:\\Program Files\\Krelmo";
const std::string InstallFolder = MakerFolder + "\\Lindorian";
const std::string Fonts = "C:\\WINDOWS\\Fonts";

// A machine on which the package is installed, with one item of every kind.
void InstallPackage() {
  using namespace win32stub;
  SetString(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", "C:\\Program Files");
  SetString(HKEY_CURRENT_USER, ShellFolders, "Programs", Programs);
  SetString(HKEY_CURRENT_USER, ShellFolders, "Fonts", Fonts);

  SetString(HKEY_LOCAL_MACHINE, std::string(Layouts) + "\\00000628", "layout file", "ldkeys.dll");
  SetString(HKEY_CURRENT_USER, Preload, "1", "00000409");
  SetString(HKEY_CURRENT_USER, Preload, "2", "00000628");
  MakeFile(SystemDirectory() + "\\ldkeys.dll", "MZ");

  MakeFile(Fonts + "\\ldser.ttf", "serif");
  MakeFile(Fonts + "\\ldfix.ttf", "fixed");
  SetString(HKEY_LOCAL_MACHINE, FontKey, "Lindorian Serif (TrueType)", "ldser.ttf");
  SetString(HKEY_LOCAL_MACHINE, FontKey, "Lindorian Fixed (TrueType)", "ldfix.ttf");

  CreateKey(HKEY_CURRENT_USER, WordOptions);
  MakeFile(AppDataFolder() + "\\Microsoft\\Word\\Startup\\Lindorian11.dot", "template");
  CreateKey(HKEY_LOCAL_MACHINE, ExcelRoot);
  MakeFile(AppDataFolder() + "\\Microsoft\\Excel\\Xlstart\\Lindorian11.xla", "add-in");

  MakeFile(ProgramGroup + "\\Uninstall.lnk", "link");
  MakeFile(InstallFolder + "\\ldeudb.tte", "ming");
  MakeFile(InstallFolder + "\\ldeuda.tte", "kai");
  MakeFile(InstallFolder + "\\Docs\\readme.txt", "text");
  SetString(HKEY_CURRENT_USER, EudcKey, Ming, InstallFolder + "\\ldeudb.tte");
  SetString(HKEY_CURRENT_USER, EudcKey, NewMing, InstallFolder + "\\ldeudb.tte");
  SetString(HKEY_CURRENT_USER, EudcKey, Kai, InstallFolder + "\\ldeuda.tte");
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         StartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// Which removal step (1 to 7, in the flow's order) a logged call belongs to;
// 0 for a call that is not a removal.
int StepOf(const Call& call) {
  const std::string& f = call.function;
  if (f == "LoadKeyboardLayoutA") return 1;
  if (f == "RemoveFontResourceA") return 2;
  if ((f == "SendMessageA" || f == "SendMessageTimeoutA") && call.Number(1) == WM_FONTCHANGE)
    return 2;
  if (f == "RegDeleteKeyA" || f == "RegDeleteValueA" || f == "RegSetValueExA") {
    const std::string& key = call.Text(0);
    if (StartsWithNoCase(key, "HKLM\\" + std::string(Layouts)) ||
        StartsWithNoCase(key, "HKCU\\" + std::string(Preload)))
      return 1;
    if (StartsWithNoCase(key, "HKLM\\" + std::string(FontKey))) return 2;
    if (StartsWithNoCase(key, "HKCU\\" + std::string(EudcKey))) return 6;
  }
  if (f == "DeleteFileA" || f == "RemoveDirectoryA") {
    const std::string& path = call.Text(0);
    if (EndsWithNoCase(path, "\\ldkeys.dll")) return 1;
    if (StartsWithNoCase(path, Fonts + "\\")) return 2;
    if (EndsWithNoCase(path, "Lindorian11.dot")) return 3;
    if (EndsWithNoCase(path, "Lindorian11.xla")) return 4;
    if (StartsWithNoCase(path, ProgramGroup)) return 5;
    if (StartsWithNoCase(path, MakerFolder)) return 7;
  }
  return 0;
}

class MainFlowTest : public RemovalTest {
 protected:
  void SetUp() override {
    RemovalTest::SetUp();
    MainWindow = nullptr;
    BackgroundBitmap = nullptr;
  }

  static int Run(int showCommand = SW_SHOWNORMAL) {
    return UninstallMain(win32stub::ModuleInstance(), showCommand);
  }

  // Calls that changed the registry or the drive, other than the folders
  // the path resolution creates.
  static std::vector<std::string> Removals() {
    std::vector<std::string> seen;
    for (const Call& call : win32stub::CallLog())
      if (call.function == "DeleteFileA" || call.function == "RemoveDirectoryA" ||
          call.function == "RegDeleteKeyA" || call.function == "RegDeleteValueA" ||
          call.function == "RegSetValueExA" || call.function == "RemoveFontResourceA" ||
          call.function == "LoadKeyboardLayoutA")
        seen.push_back(call.function);
    return seen;
  }
};

TEST_F(MainFlowTest, RegistersTheClassAndOpensThePictureWindow) {
  win32stub::QueueMessageBoxAnswer(IDCANCEL);
  HINSTANCE instance = win32stub::ModuleInstance();
  EXPECT_EQ(UninstallMain(instance, SW_SHOWMAXIMIZED), 0);

  // The class record points at resources and objects the program loaded.
  auto registrations = CallsTo("RegisterClassExA");
  ASSERT_EQ(registrations.size(), 1u);
  const Call& c = registrations[0];
  EXPECT_NE(c.result, 0);
  EXPECT_EQ(c.Number(0), static_cast<long long>(sizeof(WNDCLASSEXA)));
  EXPECT_EQ(c.Number(1), 0) << "class style";
  EXPECT_EQ(c.Number(2), Number(reinterpret_cast<const void*>(&UninstallWindowProc)));
  EXPECT_EQ(c.Number(3), 0);
  EXPECT_EQ(c.Number(4), 0);
  EXPECT_EQ(c.Number(5), Number(instance));
  std::set<long long> icons;
  for (const Call& load : CallsTo("LoadIconA")) {
    EXPECT_EQ(load.Number(0), Number(instance));
    EXPECT_TRUE(StartsWithNoCase(load.Text(1), "waste") && load.Text(1).size() == 5);
    icons.insert(load.result);
  }
  EXPECT_TRUE(icons.count(c.Number(6))) << "large icon";
  EXPECT_TRUE(icons.count(c.Number(11))) << "small icon";
  EXPECT_NE(c.Number(6), 0);
  EXPECT_NE(c.Number(11), 0);
  auto cursors = CallsTo("LoadCursorA");
  ASSERT_EQ(cursors.size(), 1u);
  EXPECT_EQ(cursors[0].Number(0), 0);
  EXPECT_EQ(cursors[0].Number(1), 32512) << "IDC_ARROW";
  EXPECT_EQ(c.Number(7), cursors[0].result);
  auto brushes = CallsTo("GetStockObject");
  ASSERT_EQ(brushes.size(), 1u);
  EXPECT_EQ(brushes[0].Number(0), WHITE_BRUSH);
  EXPECT_EQ(c.Number(8), brushes[0].result);
  EXPECT_EQ(c.Number(9), 0) << "menu";
  EXPECT_EQ(c.Text(10), "Lindorian");

  auto creations = CallsTo("CreateWindowExA");
  ASSERT_EQ(creations.size(), 1u);
  const Call& w = creations[0];
  EXPECT_EQ(w.Number(0), 0) << "extended style";
  EXPECT_EQ(w.Text(1), "Lindorian");
  EXPECT_EQ(w.Text(2), "Lindorian Package Uninstall");
  EXPECT_EQ(w.Number(3), 0x00CF0000);
  EXPECT_EQ(w.Number(4), CW_USEDEFAULT);
  EXPECT_EQ(w.Number(5), CW_USEDEFAULT);
  EXPECT_EQ(w.Number(6), 640);
  EXPECT_EQ(w.Number(7), 480);
  EXPECT_EQ(w.Number(8), 0) << "parent";
  EXPECT_EQ(w.Number(9), 0) << "menu";
  EXPECT_EQ(w.Number(10), Number(instance));
  EXPECT_EQ(w.Number(11), 0) << "creation data";
  EXPECT_EQ(Number(MainWindow), w.result);

  auto bitmaps = CallsTo("LoadBitmapA");
  ASSERT_EQ(bitmaps.size(), 1u);
  EXPECT_EQ(bitmaps[0].Number(0), Number(instance));
  EXPECT_TRUE(StartsWithNoCase(bitmaps[0].Text(1), "bkgnd") && bitmaps[0].Text(1).size() == 5);
  EXPECT_NE(bitmaps[0].result, 0);
  EXPECT_EQ(Number(BackgroundBitmap), bitmaps[0].result);

  auto shows = CallsTo("ShowWindow");
  ASSERT_EQ(shows.size(), 1u);
  EXPECT_EQ(shows[0].Number(0), Number(MainWindow));
  EXPECT_EQ(shows[0].Number(1), SW_SHOWMAXIMIZED);

  // Shown, then painted at once with the picture already loaded; all
  // before the user is asked.
  auto names = win32stub::CallNames();
  auto at = [&](const std::string& name) {
    return std::find(names.begin(), names.end(), name) - names.begin();
  };
  EXPECT_LT(at("LoadBitmapA"), at("ShowWindow"));
  EXPECT_LT(at("ShowWindow"), at("UpdateWindow"));
  EXPECT_LT(at("UpdateWindow"), at("BitBlt"));
  EXPECT_LT(at("BitBlt"), at("MessageBoxA"));
  auto copies = CallsTo("BitBlt");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].Number(9), Number(BackgroundBitmap)) << "the first paint shows the picture";
}

TEST_F(MainFlowTest, CompletesEvenWhenThereIsNothingToRemove) {
  EXPECT_EQ(Run(), 0);
  auto boxes = CallsTo("MessageBoxA");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].Number(0), Number(MainWindow));
  EXPECT_NE(boxes[0].Number(0), 0);
  EXPECT_EQ(boxes[0].Text(1), Question);
  EXPECT_EQ(boxes[0].Text(2), Caption);
  EXPECT_EQ(boxes[0].Number(3), MB_OKCANCEL);
  EXPECT_EQ(boxes[1].Number(0), Number(MainWindow));
  EXPECT_EQ(boxes[1].Text(1), Completion);
  EXPECT_EQ(boxes[1].Text(2), Caption);
  EXPECT_EQ(boxes[1].Number(3), MB_OK);
  EXPECT_TRUE(win32stub::IsFolder(win32stub::SystemDirectory()));
}

TEST_F(MainFlowTest, RunsTheSevenStepsInTheirOrderBetweenTheTwoBoxes) {
  InstallPackage();
  EXPECT_EQ(Run(), 0);

  const auto& log = win32stub::CallLog();
  std::vector<int> steps;
  std::size_t first = log.size(), last = 0;
  for (std::size_t i = 0; i < log.size(); ++i)
    if (int step = StepOf(log[i])) {
      steps.push_back(step);
      first = std::min(first, i);
      last = i;
    }
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()))
      << "the steps ran out of order or interleaved";
  EXPECT_EQ(std::set<int>(steps.begin(), steps.end()), (std::set<int>{1, 2, 3, 4, 5, 6, 7}))
      << "every step leaves its trace";

  auto boxes = CallsTo("MessageBoxA");
  ASSERT_EQ(boxes.size(), 2u);
  std::vector<std::size_t> boxAt;
  for (std::size_t i = 0; i < log.size(); ++i)
    if (log[i].function == "MessageBoxA") boxAt.push_back(i);
  EXPECT_LT(boxAt[0], first) << "nothing is removed before the user agrees";
  EXPECT_GT(boxAt[1], last) << "the completion message comes after the last step";
  EXPECT_EQ(boxes[1].Text(1), Completion);

  // The package is gone; what it does not own stays.
  using namespace win32stub;
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::string(Layouts) + "\\00000628"));
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, Preload), std::vector<std::string>{"1"});
  EXPECT_FALSE(Exists(SystemDirectory() + "\\ldkeys.dll"));
  EXPECT_FALSE(Exists(Fonts + "\\ldser.ttf"));
  EXPECT_FALSE(Exists(Fonts + "\\ldfix.ttf"));
  EXPECT_TRUE(ValueNames(HKEY_LOCAL_MACHINE, FontKey).empty());
  EXPECT_FALSE(Exists(AppDataFolder() + "\\Microsoft\\Word\\Startup\\Lindorian11.dot"));
  EXPECT_FALSE(Exists(AppDataFolder() + "\\Microsoft\\Excel\\Xlstart\\Lindorian11.xla"));
  EXPECT_TRUE(ValueNames(HKEY_CURRENT_USER, EudcKey).empty());
  EXPECT_FALSE(Exists(ProgramGroup));
  EXPECT_FALSE(Exists(MakerFolder));
  EXPECT_TRUE(Exists(Programs));
  EXPECT_TRUE(Exists("C:\\Program Files"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, WordOptions)) << "Office's own keys stay";
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, ExcelRoot));
}

// Cancel, closing the box, or a box that could not be shown: all the same.
TEST_F(MainFlowTest, AnyAnswerButOkRemovesNothing) {
  for (int answer : {IDCANCEL, 0, 7 /* IDNO */}) {
    SCOPED_TRACE(answer);
    SetUp();
    InstallPackage();
    win32stub::QueueMessageBoxAnswer(answer);
    EXPECT_EQ(Run(), 0);

    EXPECT_EQ(CallsTo("MessageBoxA").size(), 1u) << "no completion message";
    EXPECT_EQ(Removals(), std::vector<std::string>{});
    using namespace win32stub;
    EXPECT_TRUE(Exists(SystemDirectory() + "\\ldkeys.dll"));
    EXPECT_TRUE(Exists(InstallFolder + "\\ldeudb.tte"));
    EXPECT_TRUE(Exists(ProgramGroup + "\\Uninstall.lnk"));
    EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, EudcKey).size(), 3u);
    EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, Preload).size(), 2u);
    // The resolution ran before the question and created the folders.
    EXPECT_FALSE(CallsTo("CreateDirectoryA").empty());
    EXPECT_EQ(OpenKeyCount(), 0);
  }
}

TEST_F(MainFlowTest, FolderResolutionCreatesThePackageFoldersBeforeTheQuestion) {
  win32stub::SetString(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", "C:\\Program Files");
  win32stub::SetString(HKEY_CURRENT_USER, ShellFolders, "Programs", Programs);
  win32stub::SetString(HKEY_CURRENT_USER, ShellFolders, "Fonts", Fonts);
  win32stub::MakeFolder("C:\\Program Files");
  win32stub::MakeFolder(Programs);
  win32stub::QueueMessageBoxAnswer(IDCANCEL);
  Run();
  EXPECT_TRUE(win32stub::IsFolder(InstallFolder));
  EXPECT_TRUE(win32stub::IsFolder(ProgramGroup));
  EXPECT_STREQ(PackagePaths.InstallFolder, InstallFolder.c_str());
}

TEST_F(MainFlowTest, FailedClassRegistrationEndsSilently) {
  InstallPackage();
  win32stub::FailClassRegistration();
  EXPECT_EQ(Run(), 0);
  for (const char* absent :
       {"CreateWindowExA", "LoadBitmapA", "ShowWindow", "MessageBoxA", "CreateDirectoryA"})
    EXPECT_TRUE(CallsTo(absent).empty()) << absent;
  EXPECT_EQ(Removals(), std::vector<std::string>{});
  EXPECT_TRUE(win32stub::Windows().empty());
}

TEST_F(MainFlowTest, WithoutAWindowTheBoxesHaveNoOwnerAndTheFlowGoesOn) {
  InstallPackage();
  win32stub::FailWindowCreation();
  EXPECT_EQ(Run(), 0);
  auto boxes = CallsTo("MessageBoxA");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].Number(0), 0);
  EXPECT_EQ(boxes[1].Number(0), 0);
  EXPECT_FALSE(win32stub::Exists(InstallFolder));
}

// After an unresolved Program Files folder the flow still asks and runs the
// steps, and nothing is removed from a path built on an empty folder.
TEST_F(MainFlowTest, UnresolvedFoldersAreSkippedNotTakenAsTheDriveRoot) {
  InstallPackage();
  win32stub::SetValue(HKEY_LOCAL_MACHINE, CurrentVersion, "ProgramFilesDir", REG_SZ,
                      std::string(300, 'x') + '\0');  // too long to read
  win32stub::MakeFile("C:\\boot.ini", "keep");
  win32stub::MakeFile("C:\\Data\\letter.txt", "keep");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(CallsTo("MessageBoxA").size(), 2u);
  EXPECT_TRUE(win32stub::Exists("C:\\boot.ini"));
  EXPECT_TRUE(win32stub::Exists("C:\\Data\\letter.txt"));
  EXPECT_TRUE(win32stub::Exists(InstallFolder + "\\ldeudb.tte")) << "its location was never learnt";
  // Steps that do not depend on the Program Files folder still ran.
  EXPECT_FALSE(win32stub::Exists(win32stub::SystemDirectory() + "\\ldkeys.dll"));
}

TEST_F(MainFlowTest, PaintingCopiesThePictureAndReleasesTheContexts) {
  win32stub::QueueMessageBoxAnswer(IDCANCEL);
  Run();
  HWND window = MainWindow;
  win32stub::ClearCallLog();
  const int live = win32stub::LiveGdiObjectCount();

  EXPECT_EQ(UninstallWindowProc(window, WM_PAINT, 0, 0), 0);
  std::vector<std::string> expected = {"BeginPaint", "CreateCompatibleDC", "SelectObject",
                                       "BitBlt",     "EndPaint",           "DeleteDC"};
  EXPECT_EQ(win32stub::CallNames(), expected);
  const auto& log = win32stub::CallLog();
  ASSERT_EQ(log.size(), expected.size());
  long long paintContext = log[0].result, memory = log[1].result;
  EXPECT_EQ(log[1].Number(0), paintContext) << "compatible with the window's context";
  EXPECT_EQ(log[2].Number(0), memory);
  EXPECT_EQ(log[2].Number(1), Number(BackgroundBitmap));
  const Call& copy = log[3];
  std::vector<long long> args;
  for (std::size_t i = 0; i < 10; ++i) args.push_back(copy.Number(i));
  EXPECT_EQ(args,
            (std::vector<long long>{paintContext, 0, 0, 640, 480, memory, 0, 0,
                                    static_cast<long long>(SRCCOPY), Number(BackgroundBitmap)}));
  EXPECT_EQ(log[4].Number(1), paintContext);
  EXPECT_EQ(log[5].Number(0), memory);
  EXPECT_EQ(win32stub::LiveGdiObjectCount(), live) << "every context of the paint released";
}

TEST_F(MainFlowTest, DestroyingTheWindowFreesThePictureAndQuits) {
  win32stub::QueueMessageBoxAnswer(IDCANCEL);
  Run();
  HBITMAP picture = BackgroundBitmap;
  ASSERT_NE(picture, nullptr);
  win32stub::ClearCallLog();

  EXPECT_EQ(UninstallWindowProc(MainWindow, WM_DESTROY, 0, 0), 0);
  EXPECT_EQ(win32stub::CallNames(), (std::vector<std::string>{"DeleteObject", "PostQuitMessage"}));
  EXPECT_EQ(win32stub::CallLog()[0].Number(0), Number(picture));
  EXPECT_EQ(win32stub::CallLog()[0].result, TRUE);
  EXPECT_EQ(win32stub::CallLog()[1].Number(0), 0) << "quit code";
  EXPECT_EQ(win32stub::LiveGdiObjectCount(), 0);
}

TEST_F(MainFlowTest, OtherMessagesGoToTheDefaultProcedure) {
  win32stub::QueueMessageBoxAnswer(IDCANCEL);
  Run();
  win32stub::ClearCallLog();
  win32stub::SetDefaultWindowProcResult(0x5EED);
  for (UINT message : {UINT{WM_CLOSE}, UINT{WM_ERASEBKGND}, UINT{WM_FONTCHANGE}, UINT{WM_CREATE}}) {
    SCOPED_TRACE(message);
    win32stub::ClearCallLog();
    EXPECT_EQ(UninstallWindowProc(MainWindow, message, 7, 9), 0x5EED);
    auto calls = CallsTo("DefWindowProcA");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Number(0), Number(MainWindow));
    EXPECT_EQ(calls[0].Number(1), message);
    EXPECT_EQ(calls[0].Number(2), 7);
    EXPECT_EQ(calls[0].Number(3), 9);
  }
}

// The process entry: the show command from the start-up information, and
// exit code 0 on every path.
TEST_F(MainFlowTest, EntryPassesTheRequestedShowCommandAndExitsWithZero) {
  struct Case {
    DWORD flags;
    WORD show;
    int expected;
    bool failRegistration;
  };
  for (Case c : {Case{STARTF_USESHOWWINDOW, SW_SHOWMINNOACTIVE, SW_SHOWMINNOACTIVE, false},
                 Case{0, SW_SHOWMAXIMIZED, SW_SHOWDEFAULT, false},
                 Case{STARTF_USESHOWWINDOW, SW_SHOWNORMAL, -1, true}}) {
    SCOPED_TRACE(c.expected);
    SetUp();
    win32stub::SetStartupInfo(c.flags, c.show);
    if (c.failRegistration) win32stub::FailClassRegistration();
    win32stub::QueueMessageBoxAnswer(IDCANCEL);
    UINT code = 99;
    try {
      UninstallStart();
      ADD_FAILURE() << "the entry returned instead of ending the process";
    } catch (const win32stub::ProcessExit& exit) {
      code = exit.code;
    }
    EXPECT_EQ(code, 0u);
    auto shows = CallsTo("ShowWindow");
    if (c.expected < 0) {
      EXPECT_TRUE(shows.empty());
    } else {
      ASSERT_EQ(shows.size(), 1u);
      EXPECT_EQ(shows[0].Number(1), c.expected);
    }
  }
}

}  // namespace
