; The Windows installer of telescope.plug, written by make-dist.sh:
;   makensis -DVERSION=x.y.z -DCOPYRIGHT=text -DSTAGE=folder -DOUTFILE=setup.exe
;            [-DINDI_LIBRARY=DRAV.dll] [-DASCOM_LIBRARY=DRAV.dll] [-DSSE2_FEATURE=n]
;            installer.nsi
; STAGE holds telescope.plug, README.txt and LICENSE.txt, already dated.
; INDI_LIBRARY and ASCOM_LIBRARY, when given, are offered with the vendor's
; library as the one control library the plug-in loads from its fixed path,
; each with its settings (DRAV-INDI.ini or DRAV-ASCOM.ini in every user's
; application data).
;
; Silent use:
;   setup.exe /S [/INDI | /ASCOM | /VENDOR] [/HOST=name] [/PORT=n]
;             [/ALPACA=host:port/n | /DISCOVER] [/DEVICE=name] [/D=C:\folder]
;   uninstall-telescope.exe /S
; /NOINDI is the earlier spelling of /VENDOR. Without one of them the library
; is the one installed before (an upgrade or repair keeps it); without /D=
; the folder used before.
; Exit codes: 3 a processor without SSE2; 4 a file to change is in use (the
; sky chart runs): nothing changed; 5 a bad /PORT= (or /HOST=, /DEVICE=,
; /ALPACA=, or two libraries chosen).
;
; A file is ours when its bytes are those we put there: their size and MD5
; are recorded in the state key at install. A control library that is not
; ours (the vendor's, or the vendor's update over ours) is never deleted.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
AllowSkipFiles off

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include nsDialogs.nsh

!ifndef SSE2_FEATURE
  !define SSE2_FEATURE 10 ; PF_XMMI64_INSTRUCTIONS_AVAILABLE
!endif
!define EXIT_IN_USE 4
!define EXIT_BAD_OPTION 5
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\telescope.plug"
; What this installer did, for the uninstaller and the next installer; also
; remembers the folder.
!define STATE_KEY "Software\telescope.plug"
!define UNINSTALLER "uninstall-telescope.exe"
; The plug-in loads its control library from this fixed path.
!define LIBRARY_FOLDER "C:\Program Files\Common Files\System"
!define LIBRARY "${LIBRARY_FOLDER}\DRAV.dll"
; A library that was there before is kept aside under this name.
!define KEPT_LIBRARY "${LIBRARY_FOLDER}\DRAV.dll.kept-by-telescope.plug"
; Ours is written under this name first, then swapped in.
!define NEW_LIBRARY_NAME "DRAV.dll.new-by-telescope.plug"
!define NEW_LIBRARY "${LIBRARY_FOLDER}\${NEW_LIBRARY_NAME}"
!define MOVEFILE_REPLACE_EXISTING 1
!define SETTINGS_NAME "DRAV-INDI.ini"
!define DEFAULT_HOST "127.0.0.1"
!define DEFAULT_PORT "7624"
!define ASCOM_SETTINGS_NAME "DRAV-ASCOM.ini"
; ASCOM Remote's port, offered when a server is named.
!define DEFAULT_ALPACA_PORT "11111"
!ifdef INDI_LIBRARY | ASCOM_LIBRARY
  !define OUR_LIBRARY
!endif

Name "telescope.plug ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Planetarium\Plug-ins"
InstallDirRegKey HKLM "${STATE_KEY}" "PluginFolder"
BrandingText "telescope.plug ${VERSION}"
ShowInstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "telescope.plug"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "telescope.plug installer"
VIAddVersionKey "LegalCopyright" "${COPYRIGHT}"
VIAddVersionKey "CompanyName" "the telescope.plug authors"

Var Busy        ; the files in use, one a line
!ifdef OUR_LIBRARY
  Var MadeLibraryFolder ; 1: this install made the control library's folder
  Var Choice      ; the control library chosen: vendor, INDI or ASCOM
!endif
Var LibraryName ; "INDI control library" or "ASCOM control library"
Var LibraryKind ; INDI or ASCOM, as the state key records it
!ifdef INDI_LIBRARY
  Var IndiHost
  Var IndiPort
  Var IndiDevice
  Var HostField
  Var PortField
  Var DeviceField
  Var IndiButton
!endif
!ifdef ASCOM_LIBRARY
  Var Discover    ; 1: the ASCOM library discovers Alpaca servers
  Var AlpacaHost  ; else the server and device it is given
  Var AlpacaPort
  Var AlpacaNumber
  Var AscomDevice
  Var AscomButton
  Var DiscoverButton
  Var NamedButton
  Var AlpacaHostField
  Var AlpacaPortField
  Var AlpacaNumberField
  Var AscomDeviceField
!endif
!ifdef OUR_LIBRARY
  Var VendorButton
  ; The settings file WriteSettings writes: its name, the label and summary
  ; of its messages, its record in the state key, a new file's heading, and
  ; up to three keys (Key3 may be empty) with their values. A key whose Seen
  ; starts at 1 is not written, and its lines go.
  Var SetName
  Var SetLabel
  Var SetSummary
  Var SetRecord
  Var SetHeading
  Var Key1
  Var Key2
  Var Key3
  Var Value1
  Var Value2
  Var Value3
  Var Seen1
  Var Seen2
  Var Seen3
!endif

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!ifdef OUR_LIBRARY
  Page custom LibraryPage LibraryLeave
!endif
!define MUI_DIRECTORYPAGE_TEXT_TOP "Choose the folder where your planetarium program looks for its plug-ins. telescope.plug is installed there; restart the program afterwards to see it."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Plug-in folder"
!ifdef OUR_LIBRARY
  !define MUI_PAGE_CUSTOMFUNCTION_SHOW DirectoryShow
!endif
!insertmacro MUI_PAGE_DIRECTORY
!ifdef INDI_LIBRARY
  Page custom SettingsPage SettingsLeave
!endif
!ifdef ASCOM_LIBRARY
  Page custom AscomPage AscomLeave
!endif
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!macro SaveRegisters
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
!macroend
!macro RestoreRegisters
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; The functions both the installer and the uninstaller call (un is "" or "un.").
!macro SharedFunctions un

; $R0 a path -> $R1 "size:md5" of its bytes, "" when it cannot be read.
Function ${un}Fingerprint
  !insertmacro SaveRegisters
  StrCpy $R1 ""
  System::Call 'kernel32::CreateFileW(w R0, i 0x80000000, i 7, p 0, i 3, i 0x80, p 0) p .r0'
  ${If} $0 <> -1
    System::Call 'kernel32::GetFileSize(p r0, p 0) i .r1'
    IntOp $2 $1 + 1
    System::Alloc $2
    Pop $2
    System::Call 'kernel32::ReadFile(p r0, p r2, i r1, *i 0 r3, p 0) i .r4'
    System::Call 'kernel32::CloseHandle(p r0)'
    ${If} $4 <> 0
    ${AndIf} $3 = $1
      System::Call 'advapi32::CryptAcquireContextW(*p 0 r5, p 0, p 0, i 1, i 0xF0000000) i .r4'
      ${If} $4 <> 0
        ; CALG_MD5, HP_HASHVAL
        System::Call 'advapi32::CryptCreateHash(p r5, i 0x8003, p 0, i 0, *p 0 r6) i .r4'
        ${If} $4 <> 0
          System::Call 'advapi32::CryptHashData(p r6, p r2, i r1, i 0) i .r4'
          System::Alloc 16
          Pop $7
          System::Call 'advapi32::CryptGetHashParam(p r6, i 2, p r7, *i 16, i 0) i .r3'
          ${If} $4 <> 0
          ${AndIf} $3 <> 0
            StrCpy $R1 "$1:"
            ${For} $3 0 15
              IntOp $8 $7 + $3
              System::Call '*$8(&i1 .r4)'
              IntOp $4 $4 & 0xFF
              IntFmt $4 "%02x" $4
              StrCpy $R1 "$R1$4"
            ${Next}
          ${EndIf}
          System::Free $7
          System::Call 'advapi32::CryptDestroyHash(p r6)'
        ${EndIf}
        System::Call 'advapi32::CryptReleaseContext(p r5, i 0)'
      ${EndIf}
    ${EndIf}
    System::Free $2
  ${EndIf}
  !insertmacro RestoreRegisters
FunctionEnd

; $R0 the control library's path -> $R1 1 when it is the one we installed:
; its bytes as recorded; an install made before they were recorded ran its
; own library, whose version resource names telescope.plug.
Function ${un}IsOurLibrary
  !insertmacro SaveRegisters
  StrCpy $R1 0
  ReadRegDWORD $0 HKLM "${STATE_KEY}" "ControlLibrary"
  ReadRegStr $1 HKLM "${STATE_KEY}" "ControlLibraryFingerprint"
  ${If} $0 = 1
  ${AndIf} ${FileExists} $R0
    ${If} $1 != ""
      Call ${un}Fingerprint
      ${If} $R1 == $1
        StrCpy $R1 1
      ${Else}
        StrCpy $R1 0
      ${EndIf}
    ${Else}
      System::Call 'version::GetFileVersionInfoSizeW(w R0, *i 0) i .r2'
      ${If} $2 > 0
        System::Alloc $2
        Pop $3
        System::Call 'version::GetFileVersionInfoW(w R0, i 0, i r2, p r3) i .r4'
        ${If} $4 <> 0
          System::Call 'version::VerQueryValueW(p r3, w "\StringFileInfo\040904b0\ProductName", *p 0 r5, *i 0 r6) i .r4'
          ${If} $4 <> 0
            System::Call '*$5(&w64 .r7)'
            ${If} $7 S== "telescope.plug"
              StrCpy $R1 1
            ${EndIf}
          ${EndIf}
        ${EndIf}
        System::Free $3
      ${EndIf}
    ${EndIf}
  ${EndIf}
  !insertmacro RestoreRegisters
FunctionEnd

; $R0 a path: added to $Busy when the file exists and cannot be opened to be
; written and deleted (a loaded DLL, or a file another program holds).
Function ${un}NoteIfInUse
  Push $0
  ${If} ${FileExists} $R0
    System::Call 'kernel32::CreateFileW(w R0, i 0x40010000, i 7, p 0, i 3, i 0x80, p 0) p .r0'
    ${If} $0 = -1
      StrCpy $Busy "$Busy$\r$\n    $R0"
    ${Else}
      System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
  ${EndIf}
  Pop $0
FunctionEnd

; With $Busy not empty: asks to close the sky chart and retry (returns with
; $R1 1) or cancel (silent: always), which ends the program with exit code
; 4 before anything was changed.
Function ${un}AskWhileBusy
  StrCpy $R1 0
  ${If} $Busy != ""
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "These files are in use:$Busy$\r$\n$\r$\nClose the planetarium program (and any other program using them), then choose Retry. Cancel leaves everything as it is." /SD IDCANCEL IDRETRY retry
    SetErrorLevel ${EXIT_IN_USE}
    Quit
    retry:
    StrCpy $R1 1
  ${EndIf}
FunctionEnd

; $R0 a settings file's name -> $R0 that file of every user, as the control
; libraries look for it.
Function ${un}SettingsPath
  SetShellVarContext all
  StrCpy $R0 "$APPDATA\$R0"
  SetShellVarContext current
FunctionEnd

; -> $LibraryName, $LibraryKind: the library of ours that the state key
; records (an install made before the kind was recorded had the INDI one).
Function ${un}RecordedLibrary
  ReadRegStr $LibraryKind HKLM "${STATE_KEY}" "ControlLibraryKind"
  ${If} $LibraryKind != "ASCOM"
    StrCpy $LibraryKind "INDI"
  ${EndIf}
  StrCpy $LibraryName "$LibraryKind control library"
FunctionEnd

; Takes our control library out of the fixed path and puts back the library
; kept aside there. A library that is not ours stays, and so does then the
; kept one, under its kept name: the user is told. $R2 is set to 1 when
; something could not be done; the state key then says what is left. What
; failed before (a plug-in that could not be deleted) changes nothing here.
Function ${un}RemoveLibrary
  !insertmacro SaveRegisters
  Call ${un}RecordedLibrary
  StrCpy $R0 "${LIBRARY}"
  Call ${un}IsOurLibrary
  ReadRegDWORD $0 HKLM "${STATE_KEY}" "ControlLibrary"
  ReadRegDWORD $1 HKLM "${STATE_KEY}" "VendorLibraryKept"
  StrCpy $2 0 ; 1: ours stays, and so does its record
  StrCpy $3 0 ; 1: a step of the library's failed
  ; A new copy that an install could not swap in (a scanner held it).
  Delete "${NEW_LIBRARY}"
  ${If} $R1 = 1
    ClearErrors
    Delete "${LIBRARY}"
    ${If} ${Errors}
      StrCpy $2 1
      StrCpy $3 1
    ${EndIf}
  ${ElseIf} ${FileExists} "${LIBRARY}"
  ${AndIf} $0 = 1
    DetailPrint "${LIBRARY} is not the library telescope.plug installed: left as it is."
  ${EndIf}
  ${If} $2 = 0
    DeleteRegValue HKLM "${STATE_KEY}" "ControlLibrary"
    DeleteRegValue HKLM "${STATE_KEY}" "ControlLibraryFingerprint"
    DeleteRegValue HKLM "${STATE_KEY}" "ControlLibraryKind"
  ${EndIf}
  ${If} $1 = 1
  ${AndIf} $3 <> 1
    ${If} ${FileExists} "${KEPT_LIBRARY}"
      ${If} ${FileExists} "${LIBRARY}"
        MessageBox MB_OK|MB_ICONINFORMATION "${LIBRARY} is not the $LibraryName that telescope.plug installed (the mount's vendor has probably updated it), so it stays. The library that was there before telescope.plug was installed is kept as$\r$\n    ${KEPT_LIBRARY}$\r$\nDelete it or keep it as you wish." /SD IDOK
        DetailPrint "Left ${KEPT_LIBRARY} under its kept name."
        DeleteRegValue HKLM "${STATE_KEY}" "VendorLibraryKept"
      ${Else}
        ClearErrors
        Rename "${KEPT_LIBRARY}" "${LIBRARY}"
        ${If} ${Errors}
          StrCpy $3 1
        ${Else}
          DeleteRegValue HKLM "${STATE_KEY}" "VendorLibraryKept"
        ${EndIf}
      ${EndIf}
    ${Else}
      DeleteRegValue HKLM "${STATE_KEY}" "VendorLibraryKept"
    ${EndIf}
  ${EndIf}
  ${If} $3 = 1
    StrCpy $R2 1
  ${Else}
    ReadRegDWORD $1 HKLM "${STATE_KEY}" "CreatedLibraryFolder"
    ${If} $1 = 1
      RMDir "${LIBRARY_FOLDER}"
      DeleteRegValue HKLM "${STATE_KEY}" "CreatedLibraryFolder"
    ${EndIf}
  ${EndIf}
  !insertmacro RestoreRegisters
FunctionEnd

; $R6 a settings file's name, $R7 its record: removes the file when it holds
; exactly what we wrote there.
Function ${un}RemoveSettingsFile
  ReadRegStr $R3 HKLM "${STATE_KEY}" $R7
  ${If} $R3 != ""
    StrCpy $R0 $R6
    Call ${un}SettingsPath
    Call ${un}Fingerprint
    ${If} $R1 == $R3
      Delete $R0
    ${Else}
      DetailPrint "$R0 was changed after telescope.plug wrote it: left as it is."
    ${EndIf}
    DeleteRegValue HKLM "${STATE_KEY}" $R7
  ${EndIf}
FunctionEnd

; Both libraries' settings files, as RemoveSettingsFile does: they go only
; with the last library of ours (a move from one to the other leaves the
; other's, for a move back).
Function ${un}RemoveSettings
  StrCpy $R6 "${SETTINGS_NAME}"
  StrCpy $R7 "SettingsFingerprint"
  Call ${un}RemoveSettingsFile
  StrCpy $R6 "${ASCOM_SETTINGS_NAME}"
  StrCpy $R7 "AscomSettingsFingerprint"
  Call ${un}RemoveSettingsFile
FunctionEnd

; Notes in $Busy the files that removing our library would change.
Function ${un}NoteLibraryInUse
  StrCpy $R0 "${LIBRARY}"
  Call ${un}IsOurLibrary
  ${If} $R1 = 1
    Call ${un}NoteIfInUse
    ReadRegDWORD $R1 HKLM "${STATE_KEY}" "VendorLibraryKept"
    ${If} $R1 = 1
      StrCpy $R0 "${KEPT_LIBRARY}"
      Call ${un}NoteIfInUse
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro SharedFunctions ""
!insertmacro SharedFunctions "un."

Section "-Check"
  Call CheckInUse
SectionEnd

Section "telescope.plug" SecPlugin
  SectionIn RO
  ; Moving to another folder takes the plug-in out of the one used before.
  ReadRegStr $0 HKLM "${STATE_KEY}" "PluginFolder"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    Delete "$0\telescope.plug"
    Delete "$0\${UNINSTALLER}"
    ReadRegStr $1 HKLM "${STATE_KEY}" "CreatedFolder"
    ${If} $1 == $0
      RMDir "$0"
      DeleteRegValue HKLM "${STATE_KEY}" "CreatedFolder"
    ${EndIf}
  ${EndIf}
  ; A folder made here goes again on uninstall, if nothing else is left in it.
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    WriteRegStr HKLM "${STATE_KEY}" "CreatedFolder" "$INSTDIR"
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "${STAGE}/telescope.plug"
SectionEnd

!ifdef OUR_LIBRARY
; The first half of installing $LibraryName ($LibraryKind): -> $R2 1 to go on
; with writing ours as the new copy, $R3 1 when the library there is to be
; kept aside. Ours is written beside the fixed path first, and swapped in
; only once it is whole: whatever fails on the way leaves a library at the
; fixed path, the vendor's, or ours with the vendor's under its kept name and
; the records saying so. Ours of the other kind is replaced as it is.
Function PrepareLibrary
  StrCpy $R2 1
  StrCpy $R3 0
  StrCpy $R0 "${LIBRARY}"
  Call IsOurLibrary
  ${If} $R1 <> 1
  ${AndIf} ${FileExists} "${LIBRARY}"
    ; The vendor's library (perhaps an update over ours) is kept aside.
    ${If} ${FileExists} "${KEPT_LIBRARY}"
      MessageBox MB_OK|MB_ICONEXCLAMATION "${KEPT_LIBRARY} already exists, so the control library at ${LIBRARY} cannot be kept aside. The $LibraryName was not installed; neither file was changed. Move one of them elsewhere and run the installer again." /SD IDOK
      ; Whatever was ours there is gone.
      DeleteRegValue HKLM "${STATE_KEY}" "ControlLibrary"
      DeleteRegValue HKLM "${STATE_KEY}" "ControlLibraryFingerprint"
      DeleteRegValue HKLM "${STATE_KEY}" "ControlLibraryKind"
      StrCpy $R2 0
      Return
    ${EndIf}
    StrCpy $R3 1
  ${EndIf}
  StrCpy $MadeLibraryFolder 0
  ${IfNot} ${FileExists} "${LIBRARY_FOLDER}\*.*"
    StrCpy $MadeLibraryFolder 1
    WriteRegDWORD HKLM "${STATE_KEY}" "CreatedLibraryFolder" 1
  ${EndIf}
  SetOutPath "${LIBRARY_FOLDER}"
  ; A file under the new name is one an earlier install left. Should the
  ; extraction that follows fail (a full disk, a scanner that takes the file
  ; away), the install ends there and .onInstFailed takes the new file away.
  Delete "${NEW_LIBRARY}"
FunctionEnd

; The second half, once the new copy is written: keeps the vendor's aside
; ($R3 1) and swaps ours in, recording it.
Function SwapInLibrary
  ${If} $R3 = 1
    ClearErrors
    Rename "${LIBRARY}" "${KEPT_LIBRARY}"
    ${If} ${Errors}
      Delete "${NEW_LIBRARY}"
      MessageBox MB_OK|MB_ICONEXCLAMATION "The control library at ${LIBRARY} could not be kept aside. The $LibraryName was not installed; nothing there was changed." /SD IDOK
      Return
    ${EndIf}
    WriteRegDWORD HKLM "${STATE_KEY}" "VendorLibraryKept" 1
  ${EndIf}
  StrCpy $0 "${NEW_LIBRARY}"
  StrCpy $1 "${LIBRARY}"
  System::Call 'kernel32::MoveFileExW(w r0, w r1, i ${MOVEFILE_REPLACE_EXISTING}) i .r3'
  ${If} $3 = 0
    Delete "${NEW_LIBRARY}"
    ; The vendor's goes back; if it cannot, the record tells the uninstaller.
    ${If} $R3 = 1
      ClearErrors
      Rename "${KEPT_LIBRARY}" "${LIBRARY}"
      ${If} ${Errors}
        MessageBox MB_OK|MB_ICONEXCLAMATION "The $LibraryName could not be installed as ${LIBRARY}. The library that was there is kept as$\r$\n    ${KEPT_LIBRARY}$\r$\nand is put back when you uninstall telescope.plug." /SD IDOK
        Return
      ${EndIf}
      DeleteRegValue HKLM "${STATE_KEY}" "VendorLibraryKept"
    ${EndIf}
    MessageBox MB_OK|MB_ICONEXCLAMATION "The $LibraryName could not be installed as ${LIBRARY}; what was there stays as it was." /SD IDOK
    Return
  ${EndIf}
  StrCpy $R0 "${LIBRARY}"
  Call Fingerprint
  WriteRegDWORD HKLM "${STATE_KEY}" "ControlLibrary" 1
  WriteRegStr HKLM "${STATE_KEY}" "ControlLibraryFingerprint" $R1
  WriteRegStr HKLM "${STATE_KEY}" "ControlLibraryKind" $LibraryKind
FunctionEnd

; A section that installs one library of ours, then writes its settings.
!macro LibrarySection KIND ID FILE
Section /o "-${KIND} control library" ${ID}
  StrCpy $LibraryKind "${KIND}"
  StrCpy $LibraryName "${KIND} control library"
  Call PrepareLibrary
  ${If} $R2 = 1
    File "/oname=${NEW_LIBRARY_NAME}" "${FILE}"
    Call SwapInLibrary
  ${EndIf}
  Call Write${KIND}Settings
SectionEnd
!macroend
!ifdef INDI_LIBRARY
  !insertmacro LibrarySection INDI SecIndi "${INDI_LIBRARY}"
!endif
!ifdef ASCOM_LIBRARY
  !insertmacro LibrarySection ASCOM SecAscom "${ASCOM_LIBRARY}"
!endif

; An install that ended early (an extraction failed) leaves no new library
; behind, nor the library's folder if it made it (its current folder is
; left first: a process's current folder cannot be removed).
Function .onInstFailed
  Delete "${NEW_LIBRARY}"
  ${If} $MadeLibraryFolder = 1
    SetOutPath "$TEMP"
    RMDir "${LIBRARY_FOLDER}"
    DeleteRegValue HKLM "${STATE_KEY}" "CreatedLibraryFolder"
  ${EndIf}
FunctionEnd

; With the vendor's library chosen, an earlier install's library goes (and
; the settings).
Section "-Without the control library"
  ${If} $Choice == "vendor"
    StrCpy $R2 0
    Call RemoveLibrary
    ${If} $R2 = 1
      MessageBox MB_OK|MB_ICONEXCLAMATION "The $LibraryName at ${LIBRARY} could not be removed." /SD IDOK
    ${EndIf}
    Call RemoveSettings
  ${EndIf}
SectionEnd

; $Choice -> the one section of ours that runs, if any; a choice that this
; installer cannot install is the vendor's library.
Function ApplyChoice
  ${If} $Choice != "INDI"
  ${AndIf} $Choice != "ASCOM"
    StrCpy $Choice "vendor"
  ${EndIf}
!ifdef INDI_LIBRARY
  !insertmacro UnselectSection ${SecIndi}
  ${If} $Choice == "INDI"
    !insertmacro SelectSection ${SecIndi}
  ${EndIf}
!else
  ${If} $Choice == "INDI"
    StrCpy $Choice "vendor"
  ${EndIf}
!endif
!ifdef ASCOM_LIBRARY
  !insertmacro UnselectSection ${SecAscom}
  ${If} $Choice == "ASCOM"
    !insertmacro SelectSection ${SecAscom}
  ${EndIf}
!else
  ${If} $Choice == "ASCOM"
    StrCpy $Choice "vendor"
  ${EndIf}
!endif
FunctionEnd
!else
Section "-Without the control library"
  StrCpy $R2 0
  Call RemoveLibrary
  Call RemoveSettings
SectionEnd
!endif

; Before anything is changed: every file this install replaces, deletes or
; renames must be free.
Function CheckInUse
  again:
  StrCpy $Busy ""
  StrCpy $R0 "$INSTDIR\telescope.plug"
  Call NoteIfInUse
  ReadRegStr $0 HKLM "${STATE_KEY}" "PluginFolder"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    StrCpy $R0 "$0\telescope.plug"
    Call NoteIfInUse
  ${EndIf}
!ifdef OUR_LIBRARY
  ${If} $Choice != "vendor"
    ; Ours is replaced, the vendor's renamed.
    StrCpy $R0 "${LIBRARY}"
    Call NoteIfInUse
  ${Else}
    Call NoteLibraryInUse
  ${EndIf}
!else
  Call NoteLibraryInUse
!endif
  Call AskWhileBusy
  ${If} $R1 = 1
    Goto again
  ${EndIf}
FunctionEnd

Section "-Register"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${STATE_KEY}" "PluginFolder" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "telescope.plug ${VERSION} (telescope controller plug-in)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "the telescope.plug authors"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put in place and nothing else: the plug-in
; folder's other files (a telelog.txt among them) stay, so does a control
; library that is not ours, and so do the folders unless the installer made
; them and they are empty now. Should something fail, the records of what
; is left stay, and so does the uninstaller.
Section "Uninstall"
  again:
  StrCpy $Busy ""
  StrCpy $R0 "$INSTDIR\telescope.plug"
  Call un.NoteIfInUse
  Call un.NoteLibraryInUse
  Call un.AskWhileBusy
  ${If} $R1 = 1
    Goto again
  ${EndIf}

  StrCpy $R2 0
  ClearErrors
  Delete "$INSTDIR\telescope.plug"
  ${If} ${Errors}
    StrCpy $R2 1
  ${EndIf}
  Call un.RemoveLibrary
  Call un.RemoveSettings
  ${If} $R2 = 1
    MessageBox MB_OK|MB_ICONEXCLAMATION "Some files could not be removed; telescope.plug stays in the list of installed programs so that you can uninstall it again once the planetarium program is closed." /SD IDOK
    SetErrorLevel ${EXIT_IN_USE}
    Return
  ${EndIf}
  Delete "$INSTDIR\${UNINSTALLER}"
  ReadRegStr $2 HKLM "${STATE_KEY}" "CreatedFolder"
  ${If} $2 == $INSTDIR
    RMDir "$INSTDIR"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${STATE_KEY}"
SectionEnd

!ifdef OUR_LIBRARY
; --- The settings files: DRAV-INDI.ini (host, port, device) and
; DRAV-ASCOM.ini (alpaca, device) ---

; $R0 a line -> $R4 its key (blanks around it taken), $R5 its value (blanks
; taken), $R4 empty for a blank, comment or section line and a line without =.
Function SplitLine
  Push $0
  Push $1
  StrCpy $R4 ""
  StrCpy $R5 ""
  StrCpy $1 $R0
  ; line end and blanks at both ends
  ${Do}
    StrCpy $0 $1 1 -1
    ${If} $0 == "$\r"
    ${OrIf} $0 == "$\n"
    ${OrIf} $0 == " "
    ${OrIf} $0 == "$\t"
      StrCpy $1 $1 -1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  ${Do}
    StrCpy $0 $1 1
    ${If} $0 == " "
    ${OrIf} $0 == "$\t"
      StrCpy $1 $1 "" 1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  StrCpy $0 $1 1
  ${If} $0 != "#"
  ${AndIf} $0 != ";"
  ${AndIf} $0 != "["
    StrCpy $0 0
    ${Do}
      StrCpy $R5 $1 1 $0
      ${If} $R5 == ""
        ${ExitDo}
      ${ElseIf} $R5 == "="
        StrCpy $R4 $1 $0
        IntOp $0 $0 + 1
        StrCpy $R5 $1 "" $0
        ${ExitDo}
      ${EndIf}
      IntOp $0 $0 + 1
    ${Loop}
    ${If} $R4 == ""
      StrCpy $R5 ""
    ${EndIf}
    Push $R4
    Call Trim
    Pop $R4
    Push $R5
    Call Trim
    Pop $R5
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; Blanks at both ends of VAR.
!macro TrimVariable VAR
  Push ${VAR}
  Call Trim
  Pop ${VAR}
!macroend

; Blanks at both ends of the string on the stack.
Function Trim
  Exch $0
  Push $1
  ${Do}
    StrCpy $1 $0 1
    ${If} $1 == " "
    ${OrIf} $1 == "$\t"
      StrCpy $0 $0 "" 1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  ${Do}
    StrCpy $1 $0 1 -1
    ${If} $1 == " "
    ${OrIf} $1 == "$\t"
      StrCpy $0 $0 -1
    ${Else}
      ${ExitDo}
    ${EndIf}
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd

; $3 an open file: skips a UTF-8 byte-order mark at its start (written
; again to $4 when $4 is not empty).
Function SkipByteOrderMark
  Push $0
  Push $1
  Push $2
  FileReadByte $3 $0
  FileReadByte $3 $1
  FileReadByte $3 $2
  ${If} $0 = 0xEF
  ${AndIf} $1 = 0xBB
  ${AndIf} $2 = 0xBF
    ${If} $4 != ""
      FileWriteByte $4 $0
      FileWriteByte $4 $1
      FileWriteByte $4 $2
    ${EndIf}
  ${Else}
    FileSeek $3 0 SET
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; $Key1..3 from the settings file $SetName into $Value1..3, as the library
; reads them (the last of a key counts); a key the file lacks keeps its value.
Function ReadSettings
  !insertmacro SaveRegisters
  StrCpy $R0 $SetName
  Call SettingsPath
  ClearErrors
  FileOpen $3 $R0 r
  ${IfNot} ${Errors}
    StrCpy $4 ""
    Call SkipByteOrderMark
    ${Do}
      ClearErrors
      FileRead $3 $R0
      ${If} ${Errors}
        ${ExitDo}
      ${EndIf}
      Call SplitLine
      ${If} $R4 == ""
      ${ElseIf} $R4 S== $Key1
        StrCpy $Value1 $R5
      ${ElseIf} $R4 S== $Key2
        StrCpy $Value2 $R5
      ${ElseIf} $R4 S== $Key3
        StrCpy $Value3 $R5
      ${EndIf}
    ${Loop}
    FileClose $3
  ${EndIf}
  !insertmacro RestoreRegisters
FunctionEnd

; In WriteSettings' loop over the lines: line $R0 (its end $8) of key $R4
; when that is key N, written as the key's value the first time, dropped
; after that (the last counts).
!macro SettingsKeyLine N
  ${ElseIf} $R4 S== $Key${N}
    ${If} $Seen${N} != 1
      FileWrite $4 "$Key${N}=$Value${N}$8"
      StrCpy $Seen${N} 1
      StrCpy $2 $8
    ${EndIf}
!macroend
; A key not met in the file is added at its end.
!macro SettingsKeyAdded N
  ${If} $Seen${N} != 1
  ${AndIf} $Key${N} != ""
    FileWrite $4 "$Key${N}=$Value${N}$\r$\n"
  ${EndIf}
!macroend

; Writes $Key1..3 into the settings file $SetName, each in place of the
; first line of its key (later ones are dropped, since the last counts),
; missing ones at the end; every other line stays as it was. A new file
; gets the heading and the keys. $SetRecord records the result when the file
; is ours.
Function WriteSettings
  !insertmacro SaveRegisters
  StrCpy $R0 $SetName
  Call SettingsPath
  StrCpy $6 $R0
  ; Was the file ours (or none), it is ours afterwards.
  ReadRegStr $R3 HKLM "${STATE_KEY}" $SetRecord
  StrCpy $7 1
  ${If} ${FileExists} $6
    Call Fingerprint
    ${If} $R3 == ""
    ${OrIf} $R1 != $R3
      StrCpy $7 0
    ${EndIf}
  ${EndIf}
  ${GetParent} $6 $0
  CreateDirectory $0
  ClearErrors
  FileOpen $4 "$6.new" w
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONEXCLAMATION "The $SetLabel settings could not be written to $6." /SD IDOK
    Goto done
  ${EndIf}
  StrCpy $2 1       ; what is written so far ends with a line end
  ClearErrors
  FileOpen $3 $6 r
  ${If} ${Errors}
    FileWrite $4 $SetHeading
  ${Else}
    Call SkipByteOrderMark
    ${Do}
      ClearErrors
      FileRead $3 $R0
      ${If} ${Errors}
        ${ExitDo}
      ${EndIf}
      StrCpy $8 ""
      StrCpy $0 $R0 1 -1
      ${If} $0 == "$\n"
        StrCpy $8 "$\n"
        StrCpy $0 $R0 2 -2
        ${If} $0 == "$\r$\n"
          StrCpy $8 "$\r$\n"
        ${EndIf}
      ${EndIf}
      Call SplitLine
      ${If} $R4 == ""
        FileWrite $4 $R0
        StrCpy $2 $8
      !insertmacro SettingsKeyLine 1
      !insertmacro SettingsKeyLine 2
      !insertmacro SettingsKeyLine 3
      ${Else}
        FileWrite $4 $R0
        StrCpy $2 $8
      ${EndIf}
    ${Loop}
    FileClose $3
    ${If} $2 == ""
      FileWrite $4 "$\r$\n"
    ${EndIf}
  ${EndIf}
  !insertmacro SettingsKeyAdded 1
  !insertmacro SettingsKeyAdded 2
  !insertmacro SettingsKeyAdded 3
  FileClose $4
  ; The new file takes the old one's place in one step, so that a failure
  ; keeps the old one. A read-only one is replaced, as it was deleted before.
  System::Call 'kernel32::GetFileAttributesW(w r6) i .r0'
  IntOp $1 $0 & 1
  ${If} $0 <> -1
  ${AndIf} $1 = 1
    IntOp $0 $0 & 0xFFFFFFFE
    System::Call 'kernel32::SetFileAttributesW(w r6, i r0)'
  ${EndIf}
  StrCpy $0 "$6.new"
  System::Call 'kernel32::MoveFileExW(w r0, w r6, i ${MOVEFILE_REPLACE_EXISTING}) i .r1'
  ${If} $1 = 0
    Delete "$6.new"
    MessageBox MB_OK|MB_ICONEXCLAMATION "The $SetLabel settings could not be written to $6." /SD IDOK
    Goto done
  ${EndIf}
  DetailPrint "$SetSummary in $6"
  ${If} $7 = 1
    StrCpy $R0 $6
    Call Fingerprint
    WriteRegStr HKLM "${STATE_KEY}" $SetRecord $R1
  ${Else}
    DeleteRegValue HKLM "${STATE_KEY}" $SetRecord
  ${EndIf}
  done:
  !insertmacro RestoreRegisters
FunctionEnd
!endif

!ifdef INDI_LIBRARY
; --- The INDI library's settings ---

; The settings writer and reader set to DRAV-INDI.ini.
Function UseIndiSettings
  StrCpy $SetName "${SETTINGS_NAME}"
  StrCpy $SetLabel "INDI"
  StrCpy $SetRecord "SettingsFingerprint"
  StrCpy $SetHeading "# The INDI control library's settings, written by the telescope.plug installer.$\r$\n# Other keys (timeout, connect, epoch, unpark, log): see the INDI library's read-me.$\r$\n"
  StrCpy $Key1 "host"
  StrCpy $Key2 "port"
  StrCpy $Key3 "device"
FunctionEnd

; $IndiHost, $IndiPort, $IndiDevice from the file, where it has them.
Function ReadIndiSettings
  Call UseIndiSettings
  StrCpy $Value1 $IndiHost
  StrCpy $Value2 $IndiPort
  StrCpy $Value3 $IndiDevice
  Call ReadSettings
  StrCpy $IndiHost $Value1
  StrCpy $IndiPort $Value2
  StrCpy $IndiDevice $Value3
FunctionEnd

Function WriteINDISettings
  Call UseIndiSettings
  StrCpy $Value1 $IndiHost
  StrCpy $Value2 $IndiPort
  StrCpy $Value3 $IndiDevice
  StrCpy $Seen1 0
  StrCpy $Seen2 0
  StrCpy $Seen3 0
  StrCpy $SetSummary "INDI settings: host=$IndiHost port=$IndiPort device=$IndiDevice"
  Call WriteSettings
FunctionEnd

; $IndiHost, $IndiPort, $IndiDevice -> $R1 empty when valid, else what is wrong.
Function CheckSettings
  Push $0
  Push $1
  StrCpy $R1 ""
  Push $IndiHost
  Call Trim
  Pop $IndiHost
  Push $IndiDevice
  Call Trim
  Pop $IndiDevice
  Push $IndiPort
  Call Trim
  Pop $IndiPort
  StrLen $0 $IndiHost
  ${If} $0 = 0
  ${OrIf} $0 > 255
    StrCpy $R1 "The server's name or address is needed (up to 255 characters)."
  ${EndIf}
  StrLen $0 $IndiDevice
  ${If} $0 > 63
    StrCpy $R1 "The device's name is too long (up to 63 characters)."
  ${EndIf}
  ; 1 to 65535, decimal digits without a leading zero: the number reads
  ; back as the same text.
  IntOp $0 $IndiPort + 0
  ${If} $0 S!= $IndiPort
  ${OrIf} $0 < 1
  ${OrIf} $0 > 65535
    StrCpy $R1 "The port must be a number from 1 to 65535."
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

Function SettingsPage
  ${IfNot} ${SectionIsSelected} ${SecIndi}
    Abort
  ${EndIf}
  StrCpy $R0 "${SETTINGS_NAME}"
  Call SettingsPath
  !insertmacro MUI_HEADER_TEXT "INDI server" "Where the INDI control library finds the mount."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 40u "The INDI control library drives the mount through an INDI server, on this computer or on another one (a Raspberry Pi at the telescope). These settings are saved for every user in $R0; a DRAV-INDI.ini in a user's own %APPDATA% is read instead of it."
  Pop $0
  ${NSD_CreateLabel} 0 46u 70u 12u "Server (host):"
  Pop $0
  ${NSD_CreateText} 75u 44u -75u 12u $IndiHost
  Pop $HostField
  ${NSD_CreateLabel} 0 64u 70u 12u "Port:"
  Pop $0
  ${NSD_CreateNumber} 75u 62u 50u 12u $IndiPort
  Pop $PortField
  ${NSD_CreateLabel} 0 82u 70u 12u "Device:"
  Pop $0
  ${NSD_CreateText} 75u 80u -75u 12u $IndiDevice
  Pop $DeviceField
  ${NSD_CreateLabel} 75u 96u -75u 24u "The mount's name on the server, for example EQMod Mount. Empty: the first mount the server shows."
  Pop $0
  Call InstallButton
  nsDialogs::Show
FunctionEnd

Function SettingsLeave
  ${NSD_GetText} $HostField $IndiHost
  ${NSD_GetText} $PortField $IndiPort
  ${NSD_GetText} $DeviceField $IndiDevice
  Call CheckSettings
  ${If} $R1 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION $R1
    Abort
  ${EndIf}
FunctionEnd
!endif

!ifdef ASCOM_LIBRARY
; --- The ASCOM library's settings ---

; The settings writer and reader set to DRAV-ASCOM.ini.
Function UseAscomSettings
  StrCpy $SetName "${ASCOM_SETTINGS_NAME}"
  StrCpy $SetLabel "ASCOM"
  StrCpy $SetRecord "AscomSettingsFingerprint"
  StrCpy $SetHeading "# The ASCOM control library's settings, written by the telescope.plug installer.$\r$\n# Without alpaca=host:port/n it discovers Alpaca servers. Other keys (timeout, epoch, unpark, log): see the ASCOM library's read-me.$\r$\n"
  StrCpy $Key1 "alpaca"
  StrCpy $Key2 "device"
  StrCpy $Key3 ""
FunctionEnd

; $R0 "host:port/n" -> $AlpacaHost, $AlpacaPort, $AlpacaNumber: the number
; after the last /, the port after the last : before it (an IPv6 address
; comes in brackets); a part that is missing is empty. An empty $R0 is
; discovery ($Discover 1).
Function SplitAlpaca
  Push $0
  Push $1
  StrCpy $Discover 0
  ${If} $R0 == ""
    StrCpy $Discover 1
  ${EndIf}
  StrCpy $AlpacaHost $R0
  StrCpy $AlpacaPort ""
  StrCpy $AlpacaNumber ""
  StrLen $0 $AlpacaHost
  ${DoWhile} $0 > 0
    IntOp $0 $0 - 1
    StrCpy $1 $AlpacaHost 1 $0
    ${If} $1 == "/"
      IntOp $1 $0 + 1
      StrCpy $AlpacaNumber $AlpacaHost "" $1
      StrCpy $AlpacaHost $AlpacaHost $0
      ${ExitDo}
    ${EndIf}
  ${Loop}
  StrLen $0 $AlpacaHost
  ${DoWhile} $0 > 0
    IntOp $0 $0 - 1
    StrCpy $1 $AlpacaHost 1 $0
    ${If} $1 == ":"
      IntOp $1 $0 + 1
      StrCpy $AlpacaPort $AlpacaHost "" $1
      StrCpy $AlpacaHost $AlpacaHost $0
      ${ExitDo}
    ${ElseIf} $1 == "]"
      ${ExitDo}
    ${EndIf}
  ${Loop}
  Pop $1
  Pop $0
FunctionEnd

; The server, device and discovery from the file, where it has them.
Function ReadAscomSettings
  Call UseAscomSettings
  StrCpy $Value1 ""
  StrCpy $Value2 $AscomDevice
  Call ReadSettings
  ${If} $Value1 != ""
    StrCpy $R0 $Value1
    Call SplitAlpaca
  ${EndIf}
  StrCpy $AscomDevice $Value2
FunctionEnd

; Discovery writes no alpaca= line, and takes away those there were.
Function WriteASCOMSettings
  Call UseAscomSettings
  StrCpy $Value1 "$AlpacaHost:$AlpacaPort/$AlpacaNumber"
  StrCpy $Value2 $AscomDevice
  StrCpy $Seen1 $Discover
  StrCpy $Seen2 0
  StrCpy $Seen3 0
  ${If} $Discover = 1
    StrCpy $SetSummary "ASCOM settings: discovery device=$AscomDevice"
  ${Else}
    StrCpy $SetSummary "ASCOM settings: alpaca=$Value1 device=$AscomDevice"
  ${EndIf}
  Call WriteSettings
FunctionEnd

; $R1 a decimal number with no sign nor leading zero, from $R2 to $R3 ->
; $R1 1 when it is one.
Function IsNumberIn
  Push $0
  IntOp $0 $R1 + 0
  ${If} $0 S== $R1
  ${AndIf} $0 >= $R2
  ${AndIf} $0 <= $R3
    StrCpy $R1 1
  ${Else}
    StrCpy $R1 0
  ${EndIf}
  Pop $0
FunctionEnd

; The ASCOM settings -> $R1 empty when valid, else what is wrong. A named
; server's address holds no blank nor /.
Function CheckAscomSettings
  Push $0
  Push $1
  Push $R2
  Push $R3
  !insertmacro TrimVariable $AlpacaHost
  !insertmacro TrimVariable $AlpacaPort
  !insertmacro TrimVariable $AlpacaNumber
  !insertmacro TrimVariable $AscomDevice
  StrCpy $R1 ""
  StrLen $0 $AscomDevice
  ${If} $0 > 255
    StrCpy $R1 "The telescope's name is too long (up to 255 characters)."
  ${EndIf}
  ${If} $Discover <> 1
    StrLen $0 $AlpacaHost
    ${If} $0 = 0
    ${OrIf} $0 > 255
      StrCpy $R1 "The Alpaca server's name or address is needed (up to 255 characters)."
    ${EndIf}
    ${DoWhile} $0 > 0
      IntOp $0 $0 - 1
      StrCpy $1 $AlpacaHost 1 $0
      ${If} $1 == " "
      ${OrIf} $1 == "/"
        StrCpy $R1 "The Alpaca server's name or address cannot hold a blank or a /."
      ${EndIf}
    ${Loop}
    Push $R1
    StrCpy $R1 $AlpacaPort
    StrCpy $R2 1
    StrCpy $R3 65535
    Call IsNumberIn
    StrCpy $0 $R1
    StrCpy $R1 $AlpacaNumber
    StrCpy $R2 0
    StrCpy $R3 2147483647
    Call IsNumberIn
    StrCpy $1 $R1
    Pop $R1
    ${If} $0 <> 1
      StrCpy $R1 "The Alpaca server's port must be a number from 1 to 65535."
    ${ElseIf} $1 <> 1
      StrCpy $R1 "The device number must be a number from 0 to 2147483647."
    ${EndIf}
  ${EndIf}
  Pop $R3
  Pop $R2
  Pop $1
  Pop $0
FunctionEnd

; $1 the command line's parameters -> $R0 the value of /ALPACA= (up to the
; next blank, or in quotes), the error flag set when there is none. Not
; ${GetOptions}: it would end the value at the / before the device number.
Function AlpacaOption
  Push $0
  Push $2
  Push $4
  ClearErrors
  StrCpy $R0 ""
  StrCpy $0 0
  ${Do}
    StrCpy $2 $1 8 $0
    ${If} $2 == ""
      SetErrors
      ${ExitDo}
    ${ElseIf} $2 == "/ALPACA="
      IntOp $0 $0 + 8
      StrCpy $R0 $1 "" $0
      StrCpy $2 $R0 1
      StrCpy $0 " "
      ${If} $2 == '"'
        StrCpy $R0 $R0 "" 1
        StrCpy $0 '"'
      ${EndIf}
      StrCpy $2 0
      ${Do}
        StrCpy $4 $R0 1 $2
        ${If} $4 == ""
        ${OrIf} $4 == $0
          ${ExitDo}
        ${EndIf}
        IntOp $2 $2 + 1
      ${Loop}
      StrCpy $R0 $R0 $2
      ${ExitDo}
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
  Pop $4
  Pop $2
  Pop $0
FunctionEnd

; The server fields answer only when a server is named.
Function AscomModeClick
  Pop $0
  ${NSD_GetState} $NamedButton $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  EnableWindow $AlpacaHostField $0
  EnableWindow $AlpacaPortField $0
  EnableWindow $AlpacaNumberField $0
FunctionEnd

Function AscomPage
  ${IfNot} ${SectionIsSelected} ${SecAscom}
    Abort
  ${EndIf}
  StrCpy $R0 "${ASCOM_SETTINGS_NAME}"
  Call SettingsPath
  ${If} $AlpacaPort == ""
    StrCpy $AlpacaPort "${DEFAULT_ALPACA_PORT}"
  ${EndIf}
  ${If} $AlpacaNumber == ""
    StrCpy $AlpacaNumber 0
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "ASCOM Alpaca server" "Where the ASCOM control library finds the mount."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 30u "The ASCOM control library drives the mount through an ASCOM Alpaca server (a mount that speaks Alpaca, or ASCOM Remote). These settings are saved for every user in $R0; a DRAV-ASCOM.ini in a user's own %APPDATA% is read instead of it."
  Pop $0
  ${NSD_CreateFirstRadioButton} 0 34u 100% 11u "Find the server on the network (Alpaca discovery)"
  Pop $DiscoverButton
  ${NSD_CreateRadioButton} 0 46u 100% 11u "Use this server and device:"
  Pop $NamedButton
  ${NSD_CreateLabel} 12u 62u 60u 12u "Server (host):"
  Pop $0
  ${NSD_CreateText} 75u 60u -75u 12u $AlpacaHost
  Pop $AlpacaHostField
  ${NSD_CreateLabel} 12u 78u 60u 12u "Port:"
  Pop $0
  ${NSD_CreateNumber} 75u 76u 40u 12u $AlpacaPort
  Pop $AlpacaPortField
  ${NSD_CreateLabel} 125u 78u 60u 12u "Device number:"
  Pop $0
  ${NSD_CreateNumber} 185u 76u 30u 12u $AlpacaNumber
  Pop $AlpacaNumberField
  ${NSD_CreateLabel} 0 96u 75u 12u "Telescope's name:"
  Pop $0
  ${NSD_CreateText} 75u 94u -75u 12u $AscomDevice
  Pop $AscomDeviceField
  ${NSD_CreateLabel} 75u 110u -75u 24u "Its DeviceName, chosen among those discovery finds, for example Telescope Simulator. Empty: the first telescope found."
  Pop $0
  ${If} $Discover = 1
    ${NSD_Check} $DiscoverButton
  ${Else}
    ${NSD_Check} $NamedButton
  ${EndIf}
  ${NSD_OnClick} $DiscoverButton AscomModeClick
  ${NSD_OnClick} $NamedButton AscomModeClick
  Push $NamedButton
  Call AscomModeClick
  nsDialogs::Show
FunctionEnd

Function AscomLeave
  ${NSD_GetState} $DiscoverButton $0
  StrCpy $Discover 0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $Discover 1
  ${EndIf}
  ${NSD_GetText} $AlpacaHostField $AlpacaHost
  ${NSD_GetText} $AlpacaPortField $AlpacaPort
  ${NSD_GetText} $AlpacaNumberField $AlpacaNumber
  ${NSD_GetText} $AscomDeviceField $AscomDevice
  Call CheckAscomSettings
  ${If} $R1 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION $R1
    Abort
  ${EndIf}
FunctionEnd
!endif

!ifdef OUR_LIBRARY
; --- Which control library: the vendor's, or one of ours ---

; The page's Next button reads Install when the install follows it (the
; pages after it are skipped).
Function InstallButton
  GetDlgItem $0 $HWNDPARENT 1
  SendMessage $0 ${WM_SETTEXT} 0 "STR:$(^InstallBtn)"
FunctionEnd

Function DirectoryShow
  ${If} $Choice == "vendor"
    Call InstallButton
  ${EndIf}
FunctionEnd

Function LibraryPage
  !insertmacro MUI_HEADER_TEXT "Control library" "Which library the plug-in drives the mount through."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 20u "telescope.plug drives the mount through the control library at ${LIBRARY}. One library is there at a time: choose which."
  Pop $0
  StrCpy $R0 "${LIBRARY}"
  Call IsOurLibrary
  ReadRegDWORD $1 HKLM "${STATE_KEY}" "VendorLibraryKept"
  ${If} $R1 = 1
  ${AndIf} $1 = 1
    StrCpy $1 "The mount vendor's library (put back in place)"
  ${ElseIf} $R1 <> 1
  ${AndIf} ${FileExists} "${LIBRARY}"
    StrCpy $1 "The mount vendor's library (installed there now)"
  ${Else}
    StrCpy $1 "The mount vendor's library (none is installed: install it yourself)"
  ${EndIf}
  ${NSD_CreateFirstRadioButton} 0 24u 100% 12u $1
  Pop $VendorButton
  ${If} $Choice == "vendor"
    ${NSD_Check} $VendorButton
  ${EndIf}
!ifdef INDI_LIBRARY
  ${NSD_CreateRadioButton} 0 40u 100% 20u "INDI control library: a mount on an INDI server, on this computer or on another one (a Raspberry Pi at the telescope)"
  Pop $IndiButton
  ${If} $Choice == "INDI"
    ${NSD_Check} $IndiButton
  ${EndIf}
!endif
!ifdef ASCOM_LIBRARY
  ${NSD_CreateRadioButton} 0 64u 100% 20u "ASCOM control library: a mount on an ASCOM Alpaca server (a mount that speaks Alpaca, or ASCOM Remote)"
  Pop $AscomButton
  ${If} $Choice == "ASCOM"
    ${NSD_Check} $AscomButton
  ${EndIf}
!endif
  ${NSD_CreateLabel} 0 92u 100% 30u "Where to find the mount is asked next. A library of the vendor's already there is kept aside while ours is installed, and put back when you choose the vendor's again or uninstall telescope.plug."
  Pop $0
  nsDialogs::Show
FunctionEnd

Function LibraryLeave
  StrCpy $Choice "vendor"
!ifdef INDI_LIBRARY
  ${NSD_GetState} $IndiButton $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $Choice "INDI"
  ${EndIf}
!endif
!ifdef ASCOM_LIBRARY
  ${NSD_GetState} $AscomButton $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $Choice "ASCOM"
  ${EndIf}
!endif
  Call ApplyChoice
FunctionEnd

; $1 the parameters -> $Choice as an option names it, with $R1 the number
; of options that name one.
!macro ChoiceOption OPTION CHOICE
  ClearErrors
  ${GetOptions} $1 "${OPTION}" $2
  ${IfNot} ${Errors}
    ${If} $Choice != "${CHOICE}"
    ${OrIf} $R1 = 0
      IntOp $R1 $R1 + 1
    ${EndIf}
    StrCpy $Choice "${CHOICE}"
  ${EndIf}
!macroend

; Ends the installer with exit code 5 and $R1 said, nothing installed.
!macro QuitOnBadOption
  ${If} $R1 != ""
    MessageBox MB_OK|MB_ICONSTOP "$R1 Nothing was installed." /SD IDOK
    SetErrorLevel ${EXIT_BAD_OPTION}
    Quit
  ${EndIf}
!macroend
!endif

Function .onInit
  System::Call 'kernel32::IsProcessorFeaturePresent(i ${SSE2_FEATURE}) i .r0'
  ${If} $0 = 0
    MessageBox MB_OK|MB_ICONSTOP "telescope.plug needs a processor with SSE2 (Intel Pentium 4, AMD Athlon 64 or any later one). This computer's processor does not have it, so nothing was installed." /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}
!ifdef OUR_LIBRARY
  ; The library as chosen last time, unless told otherwise.
  StrCpy $Choice "vendor"
  ReadRegDWORD $0 HKLM "${STATE_KEY}" "ControlLibrary"
  ${If} $0 = 1
    Call RecordedLibrary
    StrCpy $Choice $LibraryKind
  ${EndIf}
  ${GetParameters} $1
  StrCpy $R1 0
!ifdef INDI_LIBRARY
  !insertmacro ChoiceOption "/INDI" "INDI"
!endif
!ifdef ASCOM_LIBRARY
  !insertmacro ChoiceOption "/ASCOM" "ASCOM"
!endif
  !insertmacro ChoiceOption "/VENDOR" "vendor"
  !insertmacro ChoiceOption "/NOINDI" "vendor"
  ${If} $R1 > 1
    StrCpy $R1 "/INDI, /ASCOM and /VENDOR (or /NOINDI) each choose the one control library: give one of them."
  ${Else}
    StrCpy $R1 ""
  ${EndIf}
  !insertmacro QuitOnBadOption
  Call ApplyChoice
  ; The settings: the defaults, then what the files hold, then the options;
  ; /DEVICE= is the device of either library.
  ClearErrors
  ${GetOptions} $1 "/DEVICE=" $3
  StrCpy $4 0
  ${IfNot} ${Errors}
    StrCpy $4 1
  ${EndIf}
!ifdef INDI_LIBRARY
  StrCpy $IndiHost "${DEFAULT_HOST}"
  StrCpy $IndiPort "${DEFAULT_PORT}"
  StrCpy $IndiDevice ""
  Call ReadIndiSettings
  ClearErrors
  ${GetOptions} $1 "/HOST=" $2
  ${IfNot} ${Errors}
    StrCpy $IndiHost $2
  ${EndIf}
  ClearErrors
  ${GetOptions} $1 "/PORT=" $2
  ${IfNot} ${Errors}
    StrCpy $IndiPort $2
  ${EndIf}
  ${If} $4 = 1
    StrCpy $IndiDevice $3
  ${EndIf}
  ${If} ${Silent}
  ${AndIf} $Choice != "ASCOM"
    Call CheckSettings
    !insertmacro QuitOnBadOption
  ${EndIf}
!endif
!ifdef ASCOM_LIBRARY
  StrCpy $Discover 1
  StrCpy $AlpacaHost ""
  StrCpy $AlpacaPort ""
  StrCpy $AlpacaNumber ""
  StrCpy $AscomDevice ""
  Call ReadAscomSettings
  Call AlpacaOption
  ${IfNot} ${Errors}
    Call SplitAlpaca
  ${EndIf}
  ClearErrors
  ${GetOptions} $1 "/DISCOVER" $2
  ${IfNot} ${Errors}
    StrCpy $Discover 1
  ${EndIf}
  ${If} $4 = 1
    StrCpy $AscomDevice $3
  ${EndIf}
  ${If} ${Silent}
  ${AndIf} $Choice == "ASCOM"
    Call CheckAscomSettings
    !insertmacro QuitOnBadOption
  ${EndIf}
!endif
!endif
FunctionEnd
