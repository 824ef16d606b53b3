; The Windows installer of Kestrel. Built by scripts/package-windows:
;   makensis -DVERSION=<version> -DBIN=<folder of the .exe files> -DOUTFILE=<setup.exe> kestrel.nsi
;
; Installed for the account that runs it, into its local application data:
; Kestrel writes its parameter files beside itself and replaces itself on an
; update, so its folder must be writable by the account the program runs as,
; which Program Files is not for a user without administrator rights.

; A 64-bit installer for the 64-bit program: Wine then needs no 32-bit part.
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef BIN
  !error "BIN is not defined"
!endif
!ifndef OUTFILE
  !define OUTFILE "kestrel-setup-${VERSION}.exe"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "Kestrel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Kestrel"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Kestrel"
  SetOutPath "$INSTDIR"
  File "${BIN}\kestrel.exe"
  File "${BIN}\kestrel-send.exe"
  ; The simulator stays an example: the driver Kestrel runs is corvid.exe,
  ; which only the administrator puts into this folder.
  SetOutPath "$INSTDIR\examples"
  File "/oname=corvid-sim.exe" "${BIN}\corvid.exe"
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Kestrel"
  CreateShortcut "$SMPROGRAMS\Kestrel\Kestrel.lnk" "$INSTDIR\kestrel.exe"
  CreateShortcut "$SMPROGRAMS\Kestrel\Uninstall Kestrel.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${RUN_KEY}" "Kestrel" '"$INSTDIR\kestrel.exe"'

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Kestrel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes only what the installer put there: the administrator's corvid.exe,
; and with it the folder, stay.
Section "Uninstall"
  DeleteRegValue HKCU "${RUN_KEY}" "Kestrel"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$SMPROGRAMS\Kestrel\Kestrel.lnk"
  Delete "$SMPROGRAMS\Kestrel\Uninstall Kestrel.lnk"
  RMDir "$SMPROGRAMS\Kestrel"
  Delete "$INSTDIR\kestrel.exe"
  Delete "$INSTDIR\kestrel-send.exe"
  Delete "$INSTDIR\examples\corvid-sim.exe"
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
