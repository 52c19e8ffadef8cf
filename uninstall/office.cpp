// The Word 2003 template and the Excel 2003 add-in in the start-up folders.
#include "uninstall.h"
#include <shlobj.h>

static const char WordOptionsPath[] = "Software\\Microsoft\\Office\\11.0\\Word\\Options";
static const char ExcelInstallRootPath[] = "Software\\Microsoft\\Office\\11.0\\Excel\\InstallRoot";

static const char WordTemplateFile[] = "Lindorian11.dot";
static const char UserWordTemplate[] = "Microsoft\\Word\\Startup\\Lindorian11.dot";
static const char UserExcelAddin[] = "Microsoft\\Excel\\Xlstart\\Lindorian11.xla";
static const char MachineExcelAddin[] = "XLStart\\Lindorian11.xla";

static int GetAppDataFolder(char* folder) {
  folder[0] = 0;
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, folder))) {
    folder[0] = 0;
    return 0;
  }
  return IsResolved(folder);
}

// The file name follows the folder value directly, with no separator added.
// An empty value would name a file in the current folder, which is nothing
// of the package's.
static void DeleteFileUnderPrefix(const char* prefix, const char* file) {
  char path[MAX_PATH];
  if (IsResolved(prefix) && ConcatPath(path, prefix, file)) DeleteFileA(path);
}

static void DeleteFileUnderAppData(const char* appData, const char* file) {
  char path[MAX_PATH];
  if (JoinPath(path, appData, file)) DeleteFileA(path);
}

int RemoveWordTemplate() {
  HKEY options;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, WordOptionsPath, 0, KEY_ALL_ACCESS, &options) !=
      ERROR_SUCCESS)
    return 1;
  // Word's own start-up setting wins over its default per-user folder.
  char startupPath[MAX_PATH];
  char appData[MAX_PATH];
  if (ReadStringValue(options, "STARTUP-PATH", startupPath, MAX_PATH))
    DeleteFileUnderPrefix(startupPath, WordTemplateFile);
  else if (GetAppDataFolder(appData))
    DeleteFileUnderAppData(appData, UserWordTemplate);
  RegCloseKey(options);
  return 1;
}

int RemoveExcelAddin() {
  HKEY installRoot;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ExcelInstallRootPath, 0, KEY_ALL_ACCESS, &installRoot) !=
      ERROR_SUCCESS)
    return 1;
  // The add-in goes to the per-user folder whenever there is one.
  char appData[MAX_PATH];
  char excelFolder[MAX_PATH];
  if (GetAppDataFolder(appData))
    DeleteFileUnderAppData(appData, UserExcelAddin);
  else if (ReadStringValue(installRoot, "Path", excelFolder, MAX_PATH))
    DeleteFileUnderPrefix(excelFolder, MachineExcelAddin);
  RegCloseKey(installRoot);
  return 1;
}
