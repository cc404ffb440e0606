; The Windows installer, made on Linux by Debian's makensis (packaging/release.sh):
;   makensis -DVERSION=<version> -DFILE_VERSION=<a.b.c.d> -DSTAGE=<folder> -DOUTFILE=<setup.exe>
;            quarnel.nsi
; STAGE holds Quarnel.dll, Quarnel.vst3\, Quarnel.clap, LICENSE.txt, NOTICE.txt, README.md and
; CHANGELOG.md.
;
; Per machine (administrator rights): the VST3 bundle goes into Common Files\VST3 and the CLAP
; file into Common Files\CLAP, where every host looks; the VST 2.4 DLL into the folder the user
; picks (INSTDIR, "C:\Program Files\VSTPlugins" by default); the documents and the uninstaller
; into Program Files\Quarnel. The uninstaller is registered in the system's list of programs.
; Silent: setup.exe /S [/D=<VST 2.4 folder>] (/D= last, unquoted, as NSIS wants it).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "MUI2.nsh"
!include "x64.nsh"

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef FILE_VERSION
  !error "FILE_VERSION (four numbers) is not defined"
!endif
!ifndef STAGE
  !error "STAGE is not defined"
!endif
!ifndef OUTFILE
  !error "OUTFILE is not defined"
!endif

!define PRODUCT "Quarnel"
!define VENDOR "kel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarnel"
!define APP_FOLDER "$PROGRAMFILES64\Quarnel"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\VSTPlugins"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${FILE_VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${VENDOR}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "MIT licence"

!define MUI_ABORTWARNING
!define MUI_DIRECTORYPAGE_TEXT_TOP "The VST3 and CLAP plug-ins go into the system's common plug-in folders, where every host finds them. Choose the folder for the VST 2.4 plug-in (Quarnel.dll): the one your host scans for VST 2 plug-ins."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "VST 2.4 plug-in folder"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetOutPath "$COMMONFILES64\VST3"
  File /r "${STAGE}\Quarnel.vst3"
  SetOutPath "$COMMONFILES64\CLAP"
  File "${STAGE}\Quarnel.clap"
  SetOutPath "$INSTDIR"
  File "${STAGE}\Quarnel.dll"
  SetOutPath "${APP_FOLDER}"
  File "${STAGE}\LICENSE.txt"
  File "${STAGE}\NOTICE.txt"
  File "${STAGE}\README.md"
  File "${STAGE}\CHANGELOG.md"
  WriteUninstaller "${APP_FOLDER}\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${VENDOR}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "${APP_FOLDER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Vst2Folder" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"${APP_FOLDER}\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"${APP_FOLDER}\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "Vst2Folder"
  ${If} $0 != ""
    Delete "$0\Quarnel.dll"
    ; The folder goes only if the installer's file was all it held.
    RMDir "$0"
  ${EndIf}
  RMDir /r "$COMMONFILES64\VST3\Quarnel.vst3"
  Delete "$COMMONFILES64\CLAP\Quarnel.clap"
  RMDir "$COMMONFILES64\CLAP"
  Delete "${APP_FOLDER}\LICENSE.txt"
  Delete "${APP_FOLDER}\NOTICE.txt"
  Delete "${APP_FOLDER}\README.md"
  Delete "${APP_FOLDER}\CHANGELOG.md"
  Delete "${APP_FOLDER}\Uninstall.exe"
  RMDir "${APP_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
