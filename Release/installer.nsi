; The Windows installer of telescope.plug, written by make-dist.sh:
;   makensis -DVERSION=x.y.z -DCOPYRIGHT=text -DSTAGE=folder -DOUTFILE=setup.exe
;            [-DCONTROL_LIBRARY=DRAV.dll] [-DSSE2_FEATURE=n] installer.nsi
; STAGE holds telescope.plug, README.txt and LICENSE.txt, already dated.
; CONTROL_LIBRARY, when given, is offered as the optional component that puts
; it where the plug-in loads its control library from.
;
; Silent use: setup.exe /S [/INDI] /D=C:\folder (the component only with /INDI);
; uninstall-telescope.exe /S. A processor without SSE2 is refused, exit code 3.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!ifndef SSE2_FEATURE
  !define SSE2_FEATURE 10 ; PF_XMMI64_INSTRUCTIONS_AVAILABLE
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\telescope.plug"
; What this installer did, for the uninstaller; also remembers the folder.
!define STATE_KEY "Software\telescope.plug"
!define UNINSTALLER "uninstall-telescope.exe"
; The plug-in loads its control library from this fixed path.
!define LIBRARY_FOLDER "C:\Program Files\Common Files\System"
!define LIBRARY "${LIBRARY_FOLDER}\DRAV.dll"
; A library that was there before is kept aside under this name.
!define KEPT_LIBRARY "${LIBRARY_FOLDER}\DRAV.dll.kept-by-telescope.plug"

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

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!ifdef CONTROL_LIBRARY
  !insertmacro MUI_PAGE_COMPONENTS
!endif
!define MUI_DIRECTORYPAGE_TEXT_TOP "Choose the folder where your planetarium program looks for its plug-ins. telescope.plug is installed there; restart the program afterwards to see it."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Plug-in folder"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

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

!ifdef CONTROL_LIBRARY
Section /o "INDI control library" SecLibrary
  ReadRegDWORD $0 HKLM "${STATE_KEY}" "ControlLibrary"
  ${If} $0 <> 1
  ${AndIf} ${FileExists} "${LIBRARY}"
    ${If} ${FileExists} "${KEPT_LIBRARY}"
      MessageBox MB_OK|MB_ICONEXCLAMATION "${KEPT_LIBRARY} already exists, so the control library at ${LIBRARY} cannot be kept aside. The INDI control library was not installed; nothing there was changed." /SD IDOK
      Goto done
    ${EndIf}
    ClearErrors
    Rename "${LIBRARY}" "${KEPT_LIBRARY}"
    ${If} ${Errors}
      MessageBox MB_OK|MB_ICONEXCLAMATION "The control library at ${LIBRARY} could not be kept aside (is a program using it?). The INDI control library was not installed; nothing there was changed." /SD IDOK
      Goto done
    ${EndIf}
    WriteRegDWORD HKLM "${STATE_KEY}" "VendorLibraryKept" 1
  ${EndIf}
  ${IfNot} ${FileExists} "${LIBRARY_FOLDER}\*.*"
    WriteRegDWORD HKLM "${STATE_KEY}" "CreatedLibraryFolder" 1
  ${EndIf}
  SetOutPath "${LIBRARY_FOLDER}"
  File "/oname=DRAV.dll" "${CONTROL_LIBRARY}"
  WriteRegDWORD HKLM "${STATE_KEY}" "ControlLibrary" 1
  done:
SectionEnd
!endif

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
; folder's other files (a telelog.txt among them) stay, and so do the
; folders unless the installer made them and they are empty now.
Section "Uninstall"
  Delete "$INSTDIR\telescope.plug"
  ReadRegDWORD $0 HKLM "${STATE_KEY}" "ControlLibrary"
  ${If} $0 = 1
    Delete "${LIBRARY}"
    ReadRegDWORD $1 HKLM "${STATE_KEY}" "VendorLibraryKept"
    ${If} $1 = 1
      ; Should the delete have failed, the kept library stays where it is.
      Rename "${KEPT_LIBRARY}" "${LIBRARY}"
    ${EndIf}
    ReadRegDWORD $1 HKLM "${STATE_KEY}" "CreatedLibraryFolder"
    ${If} $1 = 1
      RMDir "${LIBRARY_FOLDER}"
    ${EndIf}
  ${EndIf}
  Delete "$INSTDIR\${UNINSTALLER}"
  ReadRegStr $2 HKLM "${STATE_KEY}" "CreatedFolder"
  ${If} $2 == $INSTDIR
    RMDir "$INSTDIR"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${STATE_KEY}"
SectionEnd

Function .onInit
  System::Call 'kernel32::IsProcessorFeaturePresent(i ${SSE2_FEATURE}) i .r0'
  ${If} $0 = 0
    MessageBox MB_OK|MB_ICONSTOP "telescope.plug needs a processor with SSE2 (Intel Pentium 4, AMD Athlon 64 or any later one). This computer's processor does not have it, so nothing was installed." /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}
!ifdef CONTROL_LIBRARY
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/INDI" $2
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecLibrary}
  ${EndIf}
!endif
FunctionEnd

!ifdef CONTROL_LIBRARY
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPlugin} "The plug-in, in the plug-in folder you choose next."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLibrary} "The INDI control library, installed as ${LIBRARY}. Choose it to drive an INDI mount; a vendor library already there is kept aside and put back when you uninstall."
!insertmacro MUI_FUNCTION_DESCRIPTION_END
!endif
