; For the installer's test: holds HOLD_FILE (a Windows path; made if missing)
; open as a virus scanner may, sharing reading and writing but not deletion,
; for two minutes or until stopped. makensis -DOUTFILE=holder.exe holder.nsi
Unicode true
SilentInstall silent
RequestExecutionLevel user
OutFile "${OUTFILE}"
Section
  ReadEnvStr $0 HOLD_FILE
  ; GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS
  System::Call 'kernel32::CreateFileW(w r0, i 0x80000000, i 3, p 0, i 4, i 0x80, p 0) p .r1'
  Sleep 120000
SectionEnd
