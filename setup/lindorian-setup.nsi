; lindorian-setup.exe: puts the package on a machine exactly where
; uninstall.exe later looks for it, and what Windows 8 to 11 and deployment
; tools expect beside it: an Apps & features entry and the layout in the
; user's input list. uninstall.exe knows nothing of those two; Setup's own
; removal companion, ldremove.exe, runs uninstall.exe and then takes them
; back.
;
; It installs for the user who runs it ("for me", the default) or for
; everyone who uses the computer (see ChooseInstallMode). For everyone, it
; writes nothing into the running account's profile: Windows runs the
; per-user step lduser.exe at each user's next sign-in (Active Setup), and
; that gives the user the input list's entry and the preload entry.
;
;   the install folder   ProgramFilesDir\Krelmo\Lindorian: uninstall.exe,
;                        ldremove.exe, lduser.exe, the keyboard chart,
;                        Readme.txt, OFL.txt (the fonts' license)
;   the program group    the user's Programs folder\Lindorian, or the
;                        common Programs folder\Lindorian for everyone:
;                        shortcuts to the removal companion ("Uninstall")
;                        and to the chart
;   the layout module    ldkeys.dll in the system folder; on 64-bit Windows
;                        the one for the processor in the native system
;                        folder and the one for 32-bit programs in SysWOW64
;   the registration     HKLM\SYSTEM\CurrentControlSet\Control\
;                        Keyboard Layouts\<variant>0628
;   the input list       Windows 8 and later: the layout under the user's
;                        default input language (InstallLayoutOrTip, see
;                        AddToInputList); for everyone, lduser.exe's
;   the preload entry    HKCU\Keyboard Layout\Preload, after the last entry;
;                        for everyone, lduser.exe's
;   the Active Setup     for everyone: HKLM\Software\Microsoft\Active Setup\
;   component            Installed Components\<ACTIVE_SETUP_ID>, in the
;                        32-bit view, which has Windows run lduser.exe
;                        (see RegisterActiveSetup)
;   the fonts            ldser.ttf and ldfix.ttf in the user's Fonts shell
;                        folder, registered under HKLM\Software\Microsoft\
;                        Windows NT\CurrentVersion\Fonts, added to the
;                        running system and announced to every window
;   the Apps & features  HKLM\Software\Microsoft\Windows\CurrentVersion\
;   entry                Uninstall\Lindorian, in the 32-bit view: removal
;                        through ldremove.exe, and the mode installed (see
;                        WriteUninstallEntry)
;
; This is a 32-bit program, and uninstall.exe is one too: on 64-bit Windows
; both see the 32-bit view of the registry (ProgramFilesDir there is
; Program Files (x86)). The layout and preload keys are the same in both
; views, and so is the Fonts key: WOW64 shares it rather than redirecting
; it to WOW6432Node, so the registrations written here are the ones Windows
; loads at start-up and the ones uninstall.exe deletes.
;
; A file whose installed copy already holds the bytes Setup brings is left
; as it is: a repair that changes nothing needs no restart.
;
; A file in use cannot be replaced: a loaded font, or a layout module that
; a signed-in user's programs have loaded. Setup then writes the new file
; into the install folder and has Windows move it into place at the next
; restart (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT), completes
; everything else, and asks for a restart. Kept in the install folder, a
; waiting file goes with the rest of the folder if uninstall.exe runs
; before that restart, and the move then finds nothing to move.
;
; uninstall.exe has Windows delete at the next restart what is in use when
; it runs. Before writing anything, Setup takes those deletions of the
; package's own files and folders back out of the restart's list, so that
; a reinstallation before the restart is not undone by it. The helper
; ldsetup.dll, unpacked into the plug-ins folder, does that, and compares
; files.
;
; Built by the host build (setup/CMakeLists.txt):
;   makensis -INPUTCHARSET UTF8 -DDIST=<dist folder> -DSTAGE=<folder with
;            the pictures and Readme.txt> -DHELPER=<ldsetup.dll>
;            -DCOMPANION=<ldremove.exe> -DUSER_STEP=<lduser.exe>
;            -DOUTFILE=<exe> -DPRODUCT=... -DVERSION=... -DMAKER=...
;            -DENTRY_KEY=... -DACTIVE_SETUP_ID=... -DACTIVE_SETUP_VERSION=...
;            -DUSER_KEY=... -DUSER_RECORD=... -DEXIT_RESTART=...
;            -DEXIT_FAILED=... [-DSIGNED_PLUGINS=<folder>] lindorian-setup.nsi
; The package's name, version, maker, entry key name, Active Setup id and
; version, the per-user record's key and value, and Setup's exit codes come
; from cmake/package.cmake, which the winget manifests read too.
;
; Command line: /S installs silently; /AllUsers or /CurrentUser names the
; mode (see ChooseInstallMode).
;
; Exit codes: 0 installed; EXIT_RESTART (3010) installed, but files that
; were in use are replaced at the next restart (the code deployment tools
; read as "restart needed"); 1 cancelled by the user (NSIS's own code);
; EXIT_FAILED (2) refused or failed, the reason shown in a message box
; (silent mode /S shows none).

; An ANSI installer still starts on Windows 95/98/ME, so it can say there
; that the package needs Windows NT; a Unicode one would not start at all.
Unicode false
; A signed build packs signed copies of NSIS's plug-ins: Setup unpacks them
; into its plug-ins folder and loads them, and Windows' code integrity
; checks every module a signed program loads. Named before NSIS's own
; folder, these are the ones makensis takes.
!ifdef SIGNED_PLUGINS
  !addplugindir /x86-ansi "${SIGNED_PLUGINS}"
!endif
SetCompressor /SOLID lzma
; Without this, makensis stores each packed file's modification time, which
; is when the build wrote it: two builds of the same sources would differ.
; The installed files carry the time of their installation instead.
SetDateSave off
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include WinVer.nsh
!include x64.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!define MAKER_FOLDER "Krelmo"
!define PACKAGE_FOLDER "Lindorian"
!define MODULE "ldkeys.dll"
!define LAYOUT_TEXT "Lindorian"
!define LANGUAGE_HALF "0628"
!define LAYOUTS_KEY "SYSTEM\CurrentControlSet\Control\Keyboard Layouts"
!define PRELOAD_KEY "Keyboard Layout\Preload"
!define SHELL_FOLDERS_KEY "Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"
!define FONTS_KEY "Software\Microsoft\Windows NT\CurrentVersion\Fonts"
!define SERIF_FONT "ldser.ttf"
!define SERIF_NAME "Lindorian Serif (TrueType)"
!define FIXED_FONT "ldfix.ttf"
!define FIXED_NAME "Lindorian Fixed (TrueType)"
!define MOVEFILE_REPLACE_AT_RESTART 5  ; MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT
!define SMTO_ABORTIFHUNG 2
!define SESSION_MANAGER_KEY "SYSTEM\CurrentControlSet\Control\Session Manager"
!define HELPER_DLL "$PLUGINSDIR\ldsetup.dll"
!define COMPANION_EXE "ldremove.exe"
!define USER_STEP_EXE "lduser.exe"
; The component that has Windows run lduser.exe at each user's sign-in
; (HKLM), and each user's copy of its Version that Windows keeps (HKCU, the
; same path, or the second one for a component in the 32-bit view).
!define ACTIVE_SETUP_KEY "Software\Microsoft\Active Setup\Installed Components\${ACTIVE_SETUP_ID}"
!define USER_ACTIVE_SETUP_WOW64_KEY "Software\Wow6432Node\Microsoft\Active Setup\Installed Components\${ACTIVE_SETUP_ID}"
; The entry's key name (ENTRY_KEY) is what winget and other deployment
; tools take for the product code: fixed, so that a repair rewrites the
; same entry.
!define UNINSTALL_ENTRY_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${ENTRY_KEY}"
; The string given to InstallLayoutOrTip, kept in the entry for the removal.
!define INPUT_LIST_VALUE "InstalledLayoutOrTip"
!define ILOT_INSTALL 0
!define ILOT_UNINSTALL 1
; The mode installed, kept in the entry: AllUsers or CurrentUser.
!define INSTALL_MODE_VALUE "InstallMode"
; The shortcuts' names in the two page languages: a group made in either
; is taken back by a Setup running in the other.
!define UNINSTALL_LINK_ENGLISH "Uninstall"
!define UNINSTALL_LINK_CHINESE "解除安裝"
!define CHART_LINK_ENGLISH "Keyboard chart"
!define CHART_LINK_CHINESE "鍵盤配置圖"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; Replaced in .onInit by the folder uninstall.exe computes; /D= is ignored.
InstallDir "$PROGRAMFILES\${MAKER_FOLDER}\${PACKAGE_FOLDER}"
BrandingText "${MAKER}"
ShowInstDetails show

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${MAKER}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) ${MAKER}"

; --- pages -------------------------------------------------------------------

!define MUI_WELCOMEFINISHPAGE_BITMAP "${STAGE}\welcome.bmp"
!define MUI_HEADERIMAGE
!define MUI_HEADERIMAGE_BITMAP "${STAGE}\header.bmp"
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!insertmacro MUI_PAGE_WELCOME
Page custom ModePage ModePageLeave
; The installation page stays up with its details until Next is pressed.
!define MUI_FINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "$(FinishText)"
; When files in use wait for a restart, the page says so and offers the
; restart; nothing restarts unless the user picks it: the programs that
; hold the files may have unsaved work.
!define MUI_FINISHPAGE_TEXT_REBOOT "$(FinishRestartText)"
!define MUI_FINISHPAGE_REBOOTLATER_DEFAULT
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\Readme.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

; The page language follows the user's Windows language, English otherwise.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "TradChinese"

LangString WelcomeText ${LANG_ENGLISH} "Setup will install the Lindorian keyboard layout, the fonts Lindorian Serif and Lindorian Fixed, the keyboard chart and the uninstaller.$\r$\n$\r$\nThe EUDC character files and the Word and Excel templates are not part of this setup.$\r$\n$\r$\n$_CLICK"
LangString WelcomeText ${LANG_TRADCHINESE} "安裝程式將安裝 Lindorian 鍵盤配置、Lindorian Serif 與 Lindorian Fixed 字型、鍵盤配置圖與解除安裝程式。$\r$\n$\r$\n造字 (EUDC) 檔案以及 Word 與 Excel 範本不在本安裝程式內。$\r$\n$\r$\n$_CLICK"
LangString FinishText ${LANG_ENGLISH} "$(^NameDA) has been installed.$\r$\n$\r$\nSign out and back in, or restart Windows, to find the Lindorian layout among your input languages.$\r$\n$\r$\nClick Finish to close Setup."
LangString FinishText ${LANG_TRADCHINESE} "$(^NameDA) 已安裝完成。$\r$\n$\r$\n請登出後再登入，或重新啟動 Windows，即可在輸入語言中找到 Lindorian 鍵盤配置。$\r$\n$\r$\n按 [完成(F)] 關閉安裝程式。"
LangString FinishRestartText ${LANG_ENGLISH} "$(^NameDA) has been installed. Some of its files were in use: Windows replaces them when it restarts.$\r$\n$\r$\nRestart Windows now to complete the installation?"
LangString FinishRestartText ${LANG_TRADCHINESE} "$(^NameDA) 已安裝。部分檔案正在使用中：Windows 會在重新啟動時取代這些檔案。$\r$\n$\r$\n要立即重新啟動 Windows 以完成安裝嗎？"
LangString InUse ${LANG_ENGLISH} "$R4 is in use: it is replaced when Windows restarts."
LangString InUse ${LANG_TRADCHINESE} "$R4 正在使用中：將於 Windows 重新啟動時取代。"
LangString NeedsNT ${LANG_ENGLISH} "$(^NameDA) needs Windows NT, 2000, XP or later. Nothing was installed."
LangString NeedsNT ${LANG_TRADCHINESE} "$(^NameDA) 需要 Windows NT、2000、XP 或更新版本。未安裝任何項目。"
LangString NoModule ${LANG_ENGLISH} "$(^NameDA) has no keyboard layout for this processor: it is for 32-bit Windows and for 64-bit Windows on x64 and ARM64 processors. Nothing was installed."
LangString NoModule ${LANG_TRADCHINESE} "$(^NameDA) 沒有適用於此處理器的鍵盤配置：本套件適用於 32 位元 Windows，以及 x64 與 ARM64 處理器上的 64 位元 Windows。未安裝任何項目。"
LangString NeedsAdmin ${LANG_ENGLISH} "Installing $(^NameDA) needs administrator rights. Sign in as an administrator and run Setup again. Nothing was installed."
LangString NeedsAdmin ${LANG_TRADCHINESE} "安裝 $(^NameDA) 需要系統管理員權限。請以系統管理員身分登入後重新執行安裝程式。未安裝任何項目。"
LangString Failed ${LANG_ENGLISH} "Setup stopped: it could not write $R9.$\r$\nRun Setup again once that is put right."
LangString Failed ${LANG_TRADCHINESE} "安裝程式已停止：無法寫入 $R9。$\r$\n排除問題後請重新執行安裝程式。"
LangString UninstallLink ${LANG_ENGLISH} "${UNINSTALL_LINK_ENGLISH}"
LangString UninstallLink ${LANG_TRADCHINESE} "${UNINSTALL_LINK_CHINESE}"
LangString ChartLink ${LANG_ENGLISH} "${CHART_LINK_ENGLISH}"
LangString ChartLink ${LANG_TRADCHINESE} "${CHART_LINK_CHINESE}"
LangString ModeTitle ${LANG_ENGLISH} "Choose Users"
LangString ModeTitle ${LANG_TRADCHINESE} "選擇使用者"
LangString ModeSubtitle ${LANG_ENGLISH} "Choose for whom to install $(^NameDA)."
LangString ModeSubtitle ${LANG_TRADCHINESE} "選擇要為哪些使用者安裝 $(^NameDA)。"
LangString ModeText ${LANG_ENGLISH} "Install the Lindorian layout and its Start-menu group:"
LangString ModeText ${LANG_TRADCHINESE} "安裝 Lindorian 鍵盤配置與其「開始」功能表群組："
LangString ModeForMe ${LANG_ENGLISH} "Only for &me"
LangString ModeForMe ${LANG_TRADCHINESE} "只供我使用(&M)"
LangString ModeForAll ${LANG_ENGLISH} "For &anyone who uses this computer"
LangString ModeForAll ${LANG_TRADCHINESE} "供使用這部電腦的任何人使用(&A)"
LangString ModeForAllNote ${LANG_ENGLISH} "For anyone, each user finds the layout after their next sign-in, you too, and the shortcuts are in every user's Start menu."
LangString ModeForAllNote ${LANG_TRADCHINESE} "選擇供任何人使用時，每位使用者（包括您）下次登入後即可找到此鍵盤配置，捷徑也會出現在每位使用者的「開始」功能表中。"
LangString BothModes ${LANG_ENGLISH} "Setup was given both /AllUsers and /CurrentUser: give one of them. Nothing was installed."
LangString BothModes ${LANG_TRADCHINESE} "安裝程式同時收到 /AllUsers 與 /CurrentUser：請只指定其中一個。未安裝任何項目。"

; --- checks before anything changes -----------------------------------------

; Says why Setup stops, and stops it with exit code 2 before any change.
!macro Refuse message
  MessageBox MB_OK|MB_ICONSTOP "${message}" /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Quit
!macroend

Function .onInit
  ${IfNot} ${IsNT}
    !insertmacro Refuse "$(NeedsNT)"
  ${EndIf}
  ; 64-bit Windows loads the layout module built for its processor, and
  ; there are modules for x64 and ARM64 only.
  ${If} ${RunningX64}
  ${AndIfNot} ${IsNativeAMD64}
  ${AndIfNot} ${IsNativeARM64}
    !insertmacro Refuse "$(NoModule)"
  ${EndIf}
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Refuse "$(NeedsAdmin)"
  ${EndIf}
  Call FindInstallFolder
  Call UnpackHelper
  Call ChooseInstallMode
FunctionEnd

; The helper ldsetup.dll into the plug-ins folder, with the folder for the
; files to compare. Stops Setup when it cannot be written.
Function UnpackHelper
  InitPluginsDir
  CreateDirectory "$PLUGINSDIR\new"
  ClearErrors
  File "/oname=${HELPER_DLL}" "${HELPER}"
  ${If} ${Errors}
    StrCpy $R9 "${HELPER_DLL}"
    !insertmacro Refuse "$(Failed)"
  ${EndIf}
FunctionEnd

; --- for whom ------------------------------------------------------------------

; 1 to install for everyone who uses the computer, 0 for the running user.
Var AllUsers
; 1 when the command line or the account settles the mode: no page asks.
Var ModeGiven
; The mode an installation already on the machine has: AllUsers,
; CurrentUser, or empty when there is none. An entry without the value is
; from a Setup that installed for the running user only.
Var InstalledMode

; Setup installs for everyone when it runs as LocalSystem, as deployment
; tools (Intune, Configuration Manager, winget run by them) start it:
; SYSTEM's profile is no user's, its HKCU the logon screen's settings, and
; its Start menu one nobody sees. Otherwise /AllUsers and /CurrentUser
; choose; without either, a repair or upgrade keeps the mode installed, and
; a first installation is for the running user. The page then asks, unless
; Setup runs silently, with that mode chosen.
Function ChooseInstallMode
  ReadRegStr $InstalledMode HKLM "${UNINSTALL_ENTRY_KEY}" "${INSTALL_MODE_VALUE}"
  ${If} $InstalledMode != AllUsers
    StrCpy $InstalledMode ""
    ReadRegStr $0 HKLM "${UNINSTALL_ENTRY_KEY}" "UninstallString"
    ${If} $0 != ""
      StrCpy $InstalledMode CurrentUser
    ${EndIf}
  ${EndIf}
  StrCpy $AllUsers 0
  ${If} $InstalledMode == AllUsers
    StrCpy $AllUsers 1
  ${EndIf}
  StrCpy $ModeGiven 0
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/AllUsers" $0
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
    StrCpy $ModeGiven 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $1 "/CurrentUser" $0
  ${IfNot} ${Errors}
    ${If} $ModeGiven == 1
      !insertmacro Refuse "$(BothModes)"
    ${EndIf}
    StrCpy $AllUsers 0
    StrCpy $ModeGiven 1
  ${EndIf}
  System::Call "${HELPER_DLL}::RunsAsLocalSystem() i .r0 ?u"
  ${If} $0 == 1
    StrCpy $AllUsers 1
    StrCpy $ModeGiven 1
  ${EndIf}
FunctionEnd

Var ForMeButton
Var ForAllButton

; The page that asks "for me" or "for anyone who uses this computer", the
; mode ChooseInstallMode found checked.
Function ModePage
  ${If} $ModeGiven == 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(ModeTitle)" "$(ModeSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 20u "$(ModeText)"
  Pop $0
  ${NSD_CreateRadioButton} 10u 24u -10u 12u "$(ModeForMe)"
  Pop $ForMeButton
  ${NSD_AddStyle} $ForMeButton ${WS_GROUP}
  ${NSD_CreateRadioButton} 10u 40u -10u 12u "$(ModeForAll)"
  Pop $ForAllButton
  ${NSD_CreateLabel} 0 64u 100% 36u "$(ModeForAllNote)"
  Pop $0
  ${If} $AllUsers == 1
    ${NSD_Check} $ForAllButton
  ${Else}
    ${NSD_Check} $ForMeButton
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $ForAllButton $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $AllUsers 1
  ${Else}
    StrCpy $AllUsers 0
  ${EndIf}
FunctionEnd

; --- where the uninstaller looks ----------------------------------------------

Var MakerFolder

; $INSTDIR := ProgramFilesDir\Krelmo\Lindorian, with ProgramFilesDir read
; from the registry as uninstall.exe reads it (the 32-bit view on 64-bit
; Windows); $MakerFolder := the Krelmo folder around it.
Function FindInstallFolder
  ReadRegStr $0 HKLM "Software\Microsoft\Windows\CurrentVersion" "ProgramFilesDir"
  ${If} $0 == ""
    StrCpy $0 $PROGRAMFILES
  ${EndIf}
  StrCpy $MakerFolder "$0\${MAKER_FOLDER}"
  StrCpy $INSTDIR "$MakerFolder\${PACKAGE_FOLDER}"
FunctionEnd

; $1 := the user's shell folder $0 as uninstall.exe finds it: the Shell
; Folders value of that name. On entry $1 is what the shell says; asking the
; shell first makes it record that value.
Function ReadShellFolder
  ReadRegStr $2 HKCU "${SHELL_FOLDERS_KEY}" $0
  ${If} $2 != ""
    StrCpy $1 $2
  ${EndIf}
FunctionEnd

; $R2 := the user's Programs folder\Lindorian.
Function FindProgramGroup
  SetShellVarContext current
  StrCpy $0 Programs
  StrCpy $1 $SMPROGRAMS
  Call ReadShellFolder
  StrCpy $R2 "$1\${PACKAGE_FOLDER}"
FunctionEnd

; $R2 := the common Programs folder\Lindorian, the group every user's
; Start menu shows. The shell is asked in the context of all users and
; left in the user's, which the rest of the script names folders in.
Function FindCommonProgramGroup
  SetShellVarContext all
  StrCpy $R2 "$SMPROGRAMS\${PACKAGE_FOLDER}"
  SetShellVarContext current
FunctionEnd

; $R2 := the program group of the mode installing ($AllUsers).
Function FindModeProgramGroup
  ${If} $AllUsers == 1
    Call FindCommonProgramGroup
  ${Else}
    Call FindProgramGroup
  ${EndIf}
FunctionEnd

; $R3 := the user's Fonts folder.
Function FindFontsFolder
  StrCpy $0 Fonts
  StrCpy $1 $FONTS
  Call ReadShellFolder
  StrCpy $R3 $1
FunctionEnd

; --- files that may be in use -------------------------------------------------

; Unpack SOURCE NAME: $1 := $PLUGINSDIR\new\NAME holding SOURCE, the file
; Setup brings, to compare with the installed one. Stops Setup when it
; cannot be written.
!macro Unpack source name
  StrCpy $1 "$PLUGINSDIR\new\${name}"
  ClearErrors
  File "/oname=$1" "${source}"
  ${If} ${Errors}
    StrCpy $R9 $1
    Call Fail
  ${EndIf}
!macroend

; $0 := 1 when the files $R4 and $1 hold the same bytes. The helper goes
; after the call (?u), so that nothing holds the plug-ins folder at the end.
!macro CompareWithNew
  System::Call "${HELPER_DLL}::SameFileContents(t R4, t r1) i .r0 ?u"
!macroend

; PutInstallFile SOURCE NAME
; Writes SOURCE into the install folder as NAME, unless the file there holds
; the same bytes already. Stops Setup when it cannot be written.
!macro PutInstallFile source name
  !insertmacro Unpack "${source}" "${name}"
  StrCpy $R4 "$INSTDIR\${name}"
  !insertmacro CompareWithNew
  ${If} $0 != 1
    ClearErrors
    File "/oname=$R4" "${source}"
    ${If} ${Errors}
      StrCpy $R9 $R4
      Call Fail
    ${EndIf}
  ${EndIf}
!macroend

; PutFile SOURCE TARGET WAITING [native]
; Writes SOURCE to TARGET, unless TARGET holds the same bytes already: a
; file left as it is needs neither writing nor a restart. A TARGET in use
; cannot be written: SOURCE then goes to $INSTDIR\WAITING, and Windows
; moves it onto TARGET at the next restart. "native": TARGET is in the
; native system folder of 64-bit Windows, reached with file-system
; redirection off. Afterwards $R4 is TARGET, and $R7 is empty when TARGET
; holds SOURCE now. Stops Setup when neither can be done.
!macro PutFile source target waiting native
  StrCpy $R4 "${target}"
  StrCpy $R5 "$INSTDIR\${waiting}"
  StrCpy $R6 "${native}"
  !insertmacro Unpack "${source}" "${waiting}"
  Call BeginWrite
  ; "try": a file that cannot be written sets the error flag, without the
  ; box that would offer to retry or skip it.
  SetOverwrite try
  ${If} $R7 != same
    ClearErrors
    File "/oname=$R4" "${source}"
  ${EndIf}
  Call EndWrite
  ${If} $R7 != ""
    ClearErrors
    File "/oname=$R5" "${source}"
    Call ReplaceAtRestart
  ${EndIf}
  SetOverwrite lastused
!macroend

; Before TARGET ($R4) is written: redirection off for the native system
; folder; $R7 := "same" when TARGET holds the new file's bytes ($1)
; already, and otherwise no read-only attribute to refuse the write.
Function BeginWrite
  ${If} $R6 == native
    ${DisableX64FSRedirection}
  ${EndIf}
  StrCpy $R7 ""
  !insertmacro CompareWithNew
  ${If} $0 == 1
    StrCpy $R7 same
  ${Else}
    SetFileAttributes $R4 NORMAL
  ${EndIf}
FunctionEnd

; After the attempt to write TARGET ($R4): $R7 := empty when it holds the
; new file, written now or already, "in use" when it is a file that could
; not be written. Anything else (no folder for it, a folder in its place)
; stops Setup. Once TARGET holds the new file, a file waiting from an
; earlier repair whose restart has not come yet must go: its move would
; replace it.
Function EndWrite
  ${If} $R7 == same
    StrCpy $R7 ""
  ${ElseIf} ${Errors}
    StrCpy $R7 "in use"
    ${IfNot} ${FileExists} $R4
    ${OrIf} ${FileExists} "$R4\*.*"
      StrCpy $R7 failed
    ${EndIf}
  ${EndIf}
  ${If} $R6 == native
    ${EnableX64FSRedirection}
  ${EndIf}
  ${If} $R7 == failed
    StrCpy $R9 $R4
    Call Fail
  ${ElseIf} $R7 == ""
    Delete $R5
  ${EndIf}
FunctionEnd

; TARGET ($R4) is in use, and the error flag says whether its new file could
; be written to $R5 in the install folder. That file is moved onto TARGET at
; the next restart, and the finish page and the exit code ask for it.
Function ReplaceAtRestart
  ${If} ${Errors}
    StrCpy $R9 $R5
    Call Fail
  ${EndIf}
  ; A move waiting for the restart cannot cross volumes: with the install
  ; folder on another drive, it would be dropped at the restart.
  StrCpy $0 $R4 2
  StrCpy $1 $R5 2
  ${If} $0 != $1
    StrCpy $R9 $R4
    Call Fail
  ${EndIf}
  ; Scheduled with redirection off too, so that the name recorded is the
  ; native system folder's, whatever WOW64 makes of a 32-bit program's names.
  ${If} $R6 == native
    ${DisableX64FSRedirection}
  ${EndIf}
  System::Call "kernel32::MoveFileExA(t R5, t R4, i ${MOVEFILE_REPLACE_AT_RESTART}) i .r0"
  ${If} $R6 == native
    ${EnableX64FSRedirection}
  ${EndIf}
  ${If} $0 == 0
    StrCpy $R9 $R4
    Call Fail
  ${EndIf}
  SetRebootFlag true
  DetailPrint "$(InUse)"
FunctionEnd

; --- the keyboard layout ------------------------------------------------------

; $R0 := the KLID of the package's registration. uninstall.exe tries
; 00000628, 00010628, ... and stops at the first variant number without a
; key, so the package takes the registration there whose layout file is
; already ldkeys.dll (any letter case), else that first free number.
; Empty when all 65536 are taken by other layouts.
Function FindLayoutKey
  StrCpy $R1 0
  ${Do}
    IntFmt $R0 "%04X${LANGUAGE_HALF}" $R1
    ClearErrors
    EnumRegKey $0 HKLM "${LAYOUTS_KEY}\$R0" 0
    ${If} ${Errors}
      Return
    ${EndIf}
    ReadRegStr $0 HKLM "${LAYOUTS_KEY}\$R0" "Layout File"
    ${If} $0 == "${MODULE}"
      Return
    ${EndIf}
    IntOp $R1 $R1 + 1
  ${LoopUntil} $R1 > 0xFFFF
  StrCpy $R0 ""
FunctionEnd

; $R1 := a "Layout Id" no registration uses: one more than the highest in
; use, as four hex digits. A layout with a variant number other than 0000
; needs one: its handle is 0xF000 | id over the language, and the system
; finds the registration of a handle by that id. Empty when none is left.
Function NewLayoutId
  StrCpy $R1 0
  StrCpy $1 0
  ${Do}
    ClearErrors
    EnumRegKey $2 HKLM "${LAYOUTS_KEY}" $1
    ${If} ${Errors}
    ${OrIf} $2 == ""
      ${ExitDo}
    ${EndIf}
    ReadRegStr $3 HKLM "${LAYOUTS_KEY}\$2" "Layout Id"
    ${If} $3 != ""
      IntOp $3 "0x$3" & 0xFFF
      ${If} $3 > $R1
        StrCpy $R1 $3
      ${EndIf}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  IntOp $R1 $R1 + 1
  ${If} $R1 > 0xFFF
    StrCpy $R1 ""
  ${Else}
    IntFmt $R1 "%04X" $R1
  ${EndIf}
FunctionEnd

; The module in the system folder. 32-bit Windows has one system folder
; and takes the i386 module. 64-bit Windows takes two: the module for its
; processor in the native system folder, which programs of that processor
; load, and the WOW64 module in SysWOW64, which 32-bit programs load. This
; 32-bit installer's $SYSDIR is redirected to SysWOW64 unless it turns
; file-system redirection off, which PutFile does for "native" while it
; does nothing but write, check and schedule the one file. The processor is
; asked before.
Function InstallModule
  ${IfNot} ${RunningX64}
    !insertmacro PutFile "${DIST}\${MODULE}" "$SYSDIR\${MODULE}" "${MODULE}" ""
    Return
  ${EndIf}
  ${If} ${IsNativeARM64}
    !insertmacro PutFile "${DIST}\arm64\${MODULE}" "$WINDIR\System32\${MODULE}" "${MODULE}" native
  ${Else}
    !insertmacro PutFile "${DIST}\amd64\${MODULE}" "$WINDIR\System32\${MODULE}" "${MODULE}" native
  ${EndIf}
  !insertmacro PutFile "${DIST}\wow64\${MODULE}" "$WINDIR\SysWOW64\${MODULE}" "ldkeys-wow64.dll" ""
FunctionEnd

; Registers the layout under $R0.
Function RegisterLayout
  ; A registration being reused keeps the Layout Id it has.
  StrCpy $0 $R0 4
  StrCpy $R1 ""
  ${If} $0 != "0000"
    ReadRegStr $1 HKLM "${LAYOUTS_KEY}\$R0" "Layout Id"
    ${If} $1 == ""
      Call NewLayoutId
      ${If} $R1 == ""
        StrCpy $R9 "HKLM\${LAYOUTS_KEY}\$R0: no free Layout Id"
        Call Fail
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ClearErrors
  WriteRegStr HKLM "${LAYOUTS_KEY}\$R0" "Layout File" "${MODULE}"
  WriteRegStr HKLM "${LAYOUTS_KEY}\$R0" "Layout Text" "${LAYOUT_TEXT}"
  ${If} $R1 != ""
    WriteRegStr HKLM "${LAYOUTS_KEY}\$R0" "Layout Id" $R1
  ${EndIf}
  ${If} ${Errors}
    StrCpy $R9 "HKLM\${LAYOUTS_KEY}\$R0"
    Call Fail
  ${EndIf}
  DetailPrint "${LAYOUT_TEXT}: $R0"
FunctionEnd

; The preload list ends at the first missing number, where uninstall.exe
; stops reading it too; the KLID goes there unless it is already listed.
Function AddToPreload
  StrCpy $1 1
  ${Do}
    ClearErrors
    ReadRegStr $0 HKCU "${PRELOAD_KEY}" $1
    ${If} ${Errors}
      ${ExitDo}
    ${EndIf}
    ${If} $0 S== $R0
      Return
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  ClearErrors
  WriteRegStr HKCU "${PRELOAD_KEY}" $1 $R0
  ${If} ${Errors}
    StrCpy $R9 "HKCU\${PRELOAD_KEY}"
    Call Fail
  ${EndIf}
FunctionEnd

Var InputListEntry

; Windows 8 and later keep the user's input methods as their language list
; (HKCU\Control Panel\International\User Profile, one value "LLLL:KLID" per
; layout under each language) and derive the preload list from it: a layout
; only in the preload list does not show in Settings, and goes when the
; list next changes. input.dll's InstallLayoutOrTip("LLLL:KLID", 0) is the
; documented way to add one; ILOT_UNINSTALL (1) takes it out again. The
; layout may sit under any language, and Windows knows no language 0628
; (a user-defined primary language), so it goes under the user's default
; input language: the language half of the first preload entry, 0409 when
; there is none. A repair passes the string that the first installation
; recorded, so that the layout stays under one language.
;
; input.dll is loaded from the system folder by its full path (on 64-bit
; Windows this 32-bit program gets the 32-bit one in SysWOW64, which has
; the export too). Where it or the export is missing (Windows XP and 7,
; and Wine), nothing is called. Whatever the call does, nothing else
; changes: Setup goes on with the preload entry, which uninstall.exe
; relies on. The string goes into the Apps & features entry when the call
; succeeded, or a repair's string was recorded before, for ldremove.exe.
Function AddToInputList
  ReadRegStr $InputListEntry HKLM "${UNINSTALL_ENTRY_KEY}" "${INPUT_LIST_VALUE}"
  StrCpy $0 $InputListEntry "" 5
  StrLen $1 $InputListEntry
  ${If} $0 != $R0
  ${OrIf} $1 != 13
    StrCpy $InputListEntry ""
    Call DefaultInputLanguage
    StrCpy $0 "$0:$R0"
  ${Else}
    StrCpy $0 $InputListEntry
  ${EndIf}
  StrCpy $4 ${ILOT_INSTALL}
  Call CallInstallLayoutOrTip
  ${If} $3 != 0
    StrCpy $InputListEntry $0
  ${EndIf}
FunctionEnd

; $3 := what input.dll's InstallLayoutOrTip($0, $4) returns, 0 when
; input.dll or the export is missing and nothing is called.
Function CallInstallLayoutOrTip
  StrCpy $3 0
  System::Call "kernel32::LoadLibraryA(t '$SYSDIR\input.dll') i .r1"
  ${If} $1 == 0
    Return
  ${EndIf}
  System::Call "kernel32::GetProcAddress(i r1, m 'InstallLayoutOrTip') i .r2"
  ${If} $2 != 0
    System::Call "::$2(w r0, i r4) i .r3"
    DetailPrint "InstallLayoutOrTip $0, $4: $3"
  ${EndIf}
  System::Call "kernel32::FreeLibrary(i r1)"
FunctionEnd

; $0 := the language half of the user's first preload entry, as four
; upper-case hex digits; 0409 when the entry is missing or no KLID.
Function DefaultInputLanguage
  ReadRegStr $1 HKCU "${PRELOAD_KEY}" 1
  StrLen $2 $1
  StrCpy $0 $1 4 4
  IntOp $3 "0x$0" + 0
  IntFmt $3 "%04X" $3
  ; == ignores the letter case: "0x0c0a" is 0C0A.
  ${If} $2 != 8
  ${OrIf} $3 != $0
  ${OrIf} $3 == 0000
    StrCpy $3 0409
  ${EndIf}
  StrCpy $0 $3
FunctionEnd

; --- taking back what the other mode put in place --------------------------------

; Takes the KLID $R0 out of the running user's preload list: the entries
; after it move down one name, so that the list has no gap (Windows and
; uninstall.exe read it up to the first missing number). Nothing changes
; where it is not listed. Stops Setup when the list cannot be written.
Function RemoveFromPreload
  StrCpy $1 1
  ${Do}
    ClearErrors
    ReadRegStr $0 HKCU "${PRELOAD_KEY}" $1
    ${If} ${Errors}
      Return
    ${EndIf}
    ${If} $0 S== $R0
      ${ExitDo}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  StrCpy $3 ""
  ${Do}
    IntOp $2 $1 + 1
    ClearErrors
    ReadRegStr $0 HKCU "${PRELOAD_KEY}" $2
    ${If} ${Errors}
      ${ExitDo}
    ${EndIf}
    WriteRegStr HKCU "${PRELOAD_KEY}" $1 $0
    ${If} ${Errors}
      StrCpy $3 failed
      ${ExitDo}
    ${EndIf}
    StrCpy $1 $2
  ${Loop}
  ClearErrors
  ${If} $3 == ""
    DeleteRegValue HKCU "${PRELOAD_KEY}" $1
  ${EndIf}
  ${If} ${Errors}
  ${OrIf} $3 != ""
    StrCpy $R9 "HKCU\${PRELOAD_KEY}"
    Call Fail
  ${EndIf}
FunctionEnd

; Takes back the program group $R2 as Setup made it: its two shortcuts,
; named in either page language, and the folder once nothing else is in
; it. Nothing below it is entered. $0 is the group of the mode installing,
; which stays where both are one folder (a Programs folder redirected
; onto the common one).
Function RemoveProgramGroup
  ${If} $R2 == $0
    Return
  ${EndIf}
  Delete "$R2\${UNINSTALL_LINK_ENGLISH}.lnk"
  Delete "$R2\${UNINSTALL_LINK_CHINESE}.lnk"
  Delete "$R2\${CHART_LINK_ENGLISH}.lnk"
  Delete "$R2\${CHART_LINK_CHINESE}.lnk"
  RMDir $R2
FunctionEnd

; From "for me" to everyone: takes back what the earlier installation gave
; the running user, who then gets the layout from lduser.exe at their next
; sign-in like every other user. The input list's entry goes with the
; string that installation recorded (InstallLayoutOrTip with
; ILOT_UNINSTALL, as the removal companion takes it back), then the preload
; entry and the program group. The user's own record of lduser.exe and
; their copy of the component's Version go too, where an installation for
; everyone before gave them: with either left, Windows or lduser.exe would
; take the user to have the layout already.
Function TakeBackFromUser
  ReadRegStr $0 HKLM "${UNINSTALL_ENTRY_KEY}" "${INPUT_LIST_VALUE}"
  ${If} $0 != ""
    StrCpy $4 ${ILOT_UNINSTALL}
    Call CallInstallLayoutOrTip
    DeleteRegValue HKLM "${UNINSTALL_ENTRY_KEY}" "${INPUT_LIST_VALUE}"
  ${EndIf}
  Call RemoveFromPreload
  Push $R2
  Call FindProgramGroup
  Pop $0
  Call RemoveProgramGroup
  StrCpy $R2 $0
  DeleteRegValue HKCU "${USER_KEY}" "${USER_RECORD}"
  DeleteRegKey /ifempty HKCU "${USER_KEY}"
  DeleteRegKey /ifempty HKCU "Software\${MAKER_FOLDER}"
  DeleteRegKey HKCU "${ACTIVE_SETUP_KEY}"
  DeleteRegKey HKCU "${USER_ACTIVE_SETUP_WOW64_KEY}"
FunctionEnd

; From everyone to "for me": no user gets the layout at a sign-in any more,
; and the common program group goes. What lduser.exe gave other users
; stays in their profiles until the removal takes it from every profile.
Function TakeBackFromEveryone
  DeleteRegKey HKLM "${ACTIVE_SETUP_KEY}"
  Push $R2
  Call FindCommonProgramGroup
  Pop $0
  Call RemoveProgramGroup
  StrCpy $R2 $0
FunctionEnd

; The Active Setup component: at each user's next sign-in, before the
; desktop appears, Windows runs StubPath in the user's session, unelevated,
; unless the user's copy of Version (HKCU, same path) is as high, compared
; number by number; then it copies Version there. IsInstalled 1 turns the
; component on. Written in the 32-bit view, like the entry: Windows reads
; both views. A repair of the same version writes the same values, and
; nobody's step runs again; an upgrade's higher Version runs it once more
; for everyone.
Function RegisterActiveSetup
  ClearErrors
  WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "" "${PRODUCT}"
  WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "StubPath" '"$INSTDIR\${USER_STEP_EXE}"'
  WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "Version" "${ACTIVE_SETUP_VERSION}"
  WriteRegDWORD HKLM "${ACTIVE_SETUP_KEY}" "IsInstalled" 1
  ${If} ${Errors}
    StrCpy $R9 "HKLM\${ACTIVE_SETUP_KEY}"
    Call Fail
  ${EndIf}
FunctionEnd

; --- the fonts ----------------------------------------------------------------

; The fonts: into the Fonts folder, registered for the start of Windows,
; added to the running system and announced to every window, so that
; programs offer them at once. A font in use stays as it is loaded until
; the restart replaces it.
;
; A changed font is not first taken out of the running system with
; RemoveFontResource to free its file. That frees it only where nothing
; else holds it: every AddFontResource of it (each earlier Setup run adds
; it once more) needs a RemoveFontResource of its own, the sessions of
; other signed-in users load it for themselves, and a program that uses it
; keeps it open. Where the file stayed held, the font would be missing from
; the running system until the restart unless added back. A changed font in
; use waits for the restart like the module; one that has not changed is
; not written at all.
Function InstallFonts
  Call FindFontsFolder
  StrCpy $R8 ""
  !insertmacro PutFile "${DIST}\${SERIF_FONT}" "$R3\${SERIF_FONT}" "${SERIF_FONT}" ""
  Call AddFont
  !insertmacro PutFile "${DIST}\${FIXED_FONT}" "$R3\${FIXED_FONT}" "${FIXED_FONT}" ""
  Call AddFont
  ClearErrors
  WriteRegStr HKLM "${FONTS_KEY}" "${SERIF_NAME}" "${SERIF_FONT}"
  WriteRegStr HKLM "${FONTS_KEY}" "${FIXED_NAME}" "${FIXED_FONT}"
  ${If} ${Errors}
    StrCpy $R9 "HKLM\${FONTS_KEY}"
    Call Fail
  ${EndIf}
  ; A hung window is skipped at once, any other gets at most 3 s: the
  ; broadcast cannot hang Setup.
  ${If} $R8 != ""
    System::Call "user32::SendMessageTimeoutA(i ${HWND_BROADCAST}, i ${WM_FONTCHANGE}, i 0, i 0, i ${SMTO_ABORTIFHUNG}, i 3000, i 0)"
  ${EndIf}
FunctionEnd

; The font PutFile has just written now ($R4, $R7 empty) goes into the
; running system; $R8 records that one did.
Function AddFont
  ${If} $R7 == ""
    System::Call "gdi32::AddFontResourceA(t R4)"
    StrCpy $R8 added
  ${EndIf}
FunctionEnd

; --- what waits for the restart ------------------------------------------------

; uninstall.exe has Windows delete at the next restart what it could not
; delete while it ran: module copies and fonts in use, its own file, and
; the folders around them. Setup takes those deletions back out of the
; restart's list before it writes anything, or the restart would undo this
; installation; every other entry stays, in its order, and so do the
; replacements Setup itself has waiting. The places are those uninstall.exe
; removes: the install folder and the program group with everything in
; them, the maker folder itself (it may hold other products), the fonts,
; and the module copies by their System32 and SysWOW64 names. The program
; group is that of the mode installing ($R2). Stops Setup when the list
; cannot be written.
Function KeepPackageAtRestart
  Call FindFontsFolder
  StrCpy $1 $INSTDIR
  StrCpy $2 $R2
  StrCpy $3 $MakerFolder
  StrCpy $4 "$R3\${SERIF_FONT}"
  StrCpy $5 "$R3\${FIXED_FONT}"
  ; $SYSDIR is System32 for a 32-bit program on 64-bit Windows too: the
  ; native module's name, as the uninstaller records it.
  StrCpy $6 "$SYSDIR\${MODULE}"
  StrCpy $7 ""
  StrCpy $8 ""
  ${If} ${RunningX64}
    StrCpy $7 "$WINDIR\SysWOW64\${MODULE}"
  ${EndIf}
  System::Call "${HELPER_DLL}::DropPendingDeletions(t r1, t r2, t r3, t r4, t r5, t r6, t r7, t r8) i .r0 ?u"
  ${If} $0 != 1
    StrCpy $R9 "HKLM\${SESSION_MANAGER_KEY}"
    Call Fail
  ${EndIf}
FunctionEnd

; --- Apps & features ----------------------------------------------------------

; The entry that Settings > Apps, Programs and Features, winget and device
; management list the package by, and remove it through: UninstallString
; starts ldremove.exe, which runs uninstall.exe, takes the entry and the
; input list's entry back once the user has confirmed, and exits with a
; code deployment tools read (0, 3010, 1602 cancelled, 1603 failed).
; QuietUninstallString starts it with /S, the removal without a window or
; box that winget and deployment tools run. InstallMode is the mode
; installed, which a repair keeps. Written in the 32-bit view, where a
; 32-bit installer's entries belong; a repair writes the same key again.
; EstimatedSize, in KB, is what Setup put on the machine: every file it
; unpacked to compare with the installed one.
Function WriteUninstallEntry
  ${GetSize} "$PLUGINSDIR\new" "/S=0B /G=0" $0 $1 $2
  IntOp $0 $0 + 1023
  IntOp $0 $0 / 1024
  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "Publisher" "${MAKER}"
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe,0"
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "UninstallString" '"$INSTDIR\${COMPANION_EXE}"'
  WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "QuietUninstallString" '"$INSTDIR\${COMPANION_EXE}" /S'
  ${If} $AllUsers == 1
    WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "${INSTALL_MODE_VALUE}" AllUsers
  ${Else}
    WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "${INSTALL_MODE_VALUE}" CurrentUser
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_ENTRY_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_ENTRY_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_ENTRY_KEY}" "EstimatedSize" $0
  ${If} $InputListEntry != ""
    WriteRegStr HKLM "${UNINSTALL_ENTRY_KEY}" "${INPUT_LIST_VALUE}" $InputListEntry
  ${EndIf}
  ${If} ${Errors}
    StrCpy $R9 "HKLM\${UNINSTALL_ENTRY_KEY}"
    Call Fail
  ${EndIf}
FunctionEnd

; --- installation -------------------------------------------------------------

; Stops the installation with exit code 2, naming what failed ($R9).
Function Fail
  DetailPrint "$(Failed)"
  MessageBox MB_OK|MB_ICONSTOP "$(Failed)" /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Abort
FunctionEnd

Section
  Call FindLayoutKey
  ${If} $R0 == ""
    StrCpy $R9 "HKLM\${LAYOUTS_KEY}: no free variant number for ${LANGUAGE_HALF}"
    Call Fail
  ${EndIf}
  Call FindModeProgramGroup
  Call KeepPackageAtRestart

  SetOutPath $INSTDIR
  !insertmacro PutInstallFile "${DIST}\uninstall.exe" uninstall.exe
  !insertmacro PutInstallFile "${COMPANION}" "${COMPANION_EXE}"
  !insertmacro PutInstallFile "${USER_STEP}" "${USER_STEP_EXE}"
  !insertmacro PutInstallFile "${DIST}\ldkeys-chart.png" ldkeys-chart.png
  !insertmacro PutInstallFile "${DIST}\ldkeys-chart.svg" ldkeys-chart.svg
  !insertmacro PutInstallFile "${STAGE}\Readme.txt" Readme.txt
  !insertmacro PutInstallFile "${DIST}\OFL.txt" OFL.txt

  Call InstallModule
  Call RegisterLayout
  ; For everyone, the running account's profile gets nothing: the user
  ; gets the layout at their next sign-in, from lduser.exe.
  ${If} $AllUsers != 1
    Call AddToInputList
    Call AddToPreload
  ${EndIf}
  Call InstallFonts

  ; The shortcuts start their programs in the system folder: the removal
  ; must not run with the install folder, which it removes, as its current
  ; folder. "Uninstall" starts the companion, so that the Apps & features
  ; entry goes too.
  SetOutPath $SYSDIR
  ClearErrors
  CreateDirectory $R2
  CreateShortcut "$R2\$(UninstallLink).lnk" "$INSTDIR\${COMPANION_EXE}"
  CreateShortcut "$R2\$(ChartLink).lnk" "$INSTDIR\ldkeys-chart.png"
  ${If} ${Errors}
    StrCpy $R9 $R2
    Call Fail
  ${EndIf}
  ${If} $AllUsers == 1
    Call RegisterActiveSetup
    ${If} $InstalledMode == CurrentUser
      Call TakeBackFromUser
    ${EndIf}
  ${ElseIf} $InstalledMode == AllUsers
    Call TakeBackFromEveryone
  ${EndIf}
  Call WriteUninstallEntry

  ${If} ${RebootFlag}
    SetErrorLevel ${EXIT_RESTART}
  ${EndIf}
SectionEnd
