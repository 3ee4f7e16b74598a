; The Windows setup program: installs Ebbmark into Program Files, registers
; and starts the service, adds a Start-menu entry and an entry in Apps and
; Features with its uninstaller. "/S" runs it without a window.
;
; An upgrade stops the service, replaces the programs and starts it again;
; Ebbmark.ini and the user's own *.msg templates beside the programs are
; never installed, so never overwritten, and the uninstaller leaves them.
;
; makensis -DVERSION=0.1.0 -DARCH=win64 -DSTAGE=<folder> -DOUTFILE=<setup.exe> [-DICON=<ico>] ebbmark.nsi
; STAGE holds EbbmarkSvc.exe, Ebbmark.exe, relay-sim.exe, README.md,
; README.html, examples\ and scenarios\ (what scripts/build-windows packs).

!ifndef VERSION | ARCH | STAGE | OUTFILE
  !error "VERSION, ARCH, STAGE and OUTFILE must be defined"
!endif

; The win64 setup program is a 64-bit program itself: it sees the 64-bit
; Program Files and registry as they are.
!if "${ARCH}" == "win64"
  Target amd64-unicode
!else
  Target x86-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include LogicLib.nsh

!define PRODUCT "Ebbmark"
!define SERVICE "Ebbmark"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ebbmark"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
; An upgrade goes where the first install went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
!ifdef ICON
  Icon "${ICON}"
  UninstallIcon "${ICON}"
!endif

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "The Ebbmark developers"
VIAddVersionKey "LegalCopyright" "The Ebbmark developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Ebbmark"
  SetOutPath "$INSTDIR"
  ; A running service holds its program: stop it before replacing it. On a
  ; first install there is nothing to stop and the failure is harmless.
  ${If} ${FileExists} "$INSTDIR\EbbmarkSvc.exe"
    DetailPrint "Stopping the Ebbmark service"
    nsExec::Exec '"$SYSDIR\net.exe" stop ${SERVICE}'
    Pop $0
  ${EndIf}

  File "${STAGE}\EbbmarkSvc.exe"
  File "${STAGE}\Ebbmark.exe"
  File "${STAGE}\relay-sim.exe"
  File "${STAGE}\README.md"
  File /nonfatal "${STAGE}\README.html"
  SetOutPath "$INSTDIR\examples"
  File "${STAGE}\examples\*.*"
  SetOutPath "$INSTDIR\scenarios"
  File "${STAGE}\scenarios\*.*"
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Ebbmark.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Ebbmark developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Ebbmark.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; Registers the service (an upgrade finds it registered already, which the
  ; silent install leaves as it is), then starts it.
  DetailPrint "Registering the Ebbmark service"
  nsExec::Exec '"$INSTDIR\EbbmarkSvc.exe" install silent'
  Pop $0
  DetailPrint "Starting the Ebbmark service"
  nsExec::Exec '"$SYSDIR\net.exe" start ${SERVICE}'
  Pop $0
  ${If} $0 != 0
    MessageBox MB_ICONEXCLAMATION "The Ebbmark service could not be started. Open Ebbmark from the Start menu to check its settings and start it." /SD IDOK
  ${EndIf}
SectionEnd

Section "Uninstall"
  ; Stops the service and removes its registration and event source.
  DetailPrint "Removing the Ebbmark service"
  nsExec::Exec '"$INSTDIR\EbbmarkSvc.exe" uninstall silent'
  Pop $0

  Delete /REBOOTOK "$INSTDIR\EbbmarkSvc.exe"
  Delete "$INSTDIR\Ebbmark.exe"
  Delete "$INSTDIR\relay-sim.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\README.html"
  RMDir /r "$INSTDIR\examples"
  RMDir /r "$INSTDIR\scenarios"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The settings and the user's templates stay; the folder goes when empty.
  RMDir "$INSTDIR"
SectionEnd
