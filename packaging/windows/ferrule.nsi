; The Windows installer of Ferrule, made by tools/build-windows.sh:
;   makensis -DVERSION=1.316 -DDIST=dist/Ferrule-win64 -DUNINSTALL_LIST=files.nsh
;            -DSIZE_KB=<size of DIST> -DOUTFILE=Ferrule-1.316-win64-setup.exe ferrule.nsi
; It installs for the current user only (no administrator rights): the deployed folder into
; %LOCALAPPDATA%\Programs\Ferrule, a Start-menu entry and an entry under Apps with the
; uninstaller. That folder is the user's own, so Ferrule keeps its settings folder Config\ beside
; Ferrule.exe there; the uninstaller removes exactly the files it installed and leaves Config\
; (settings, MAC record, QR pictures) in place. /S installs or uninstalls silently.

; A 64-bit installer, as the program is: it runs where Ferrule runs (and under a Wine without
; 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
!include "MUI2.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ferrule"

Name "Ferrule ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Ferrule"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "Ferrule"
VIAddVersionKey "CompanyName" "Corvel Inc."
VIAddVersionKey "FileDescription" "Ferrule ${VERSION} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Corvel Inc., MIT licence"

!define MUI_ICON "${DIST}/ferrule.ico"
!define MUI_UNICON "${DIST}/ferrule.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\Ferrule.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Ferrule"
  SetOutPath "$INSTDIR"
  File /r "${DIST}/*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortCut "$SMPROGRAMS\Ferrule.lnk" "$INSTDIR\Ferrule.exe" "" "$INSTDIR\ferrule.ico" 0
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Ferrule"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Corvel Inc."
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ferrule.ico"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; Delete and RMDir lines for what File /r put there, deepest folders last; RMDir leaves a
  ; folder that is not empty, so the settings folder keeps the installation folder too.
  !include "${UNINSTALL_LIST}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Ferrule.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
