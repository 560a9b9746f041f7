; Setup program of Дорвекс. Built by scripts/dist with makensis:
;   -DARCH=x86|x64        x86 ships the 32-bit program; x64 is the same setup for 64-bit-only hosts
;   -DPROGRAM=FILE        the signed dorvex.exe to install
;   -DOUTFILE=FILE        the setup program to write
;   -DSIGNER=COMMAND      signs a file named as its last argument (the uninstaller is signed with it)
;   -DPROFILE_INI=FILE    the publisher's settings (code page 1251, made by scripts/dist-profile):
;                         the settings of a first install start from them, and an install over an
;                         earlier one adds those its settings lack
; Switches: /S (silent), /D=folder (last), /SCHEDULE=HH:MM or /SCHEDULE=none, /RANDOMDELAY=minutes
; (the task's random delay, 0 for none), /SERVER=name (the source's server, written at every
; install); uninstaller: /S, /KEEPDATA=0 (also remove the data folder). Exit code 0 only when all
; was done. The setup appends what it did, and why it refused, to %TEMP%\dorvex-setup.log.
;
; The program is installed in $INSTDIR, which only the setup writes. Its data (dorvex.ini,
; dorvex.state, the report dorvex.txt and the repository) live in the data folder
; %ProgramData%\Ворел-Софт\Дорвекс, writable by administrators and the system only; the
; folder is recorded as "DataFolder" in the uninstall entry, where the program looks for it.

Unicode true
!ifndef ARCH
  !define ARCH x86
!endif
!if "${ARCH}" == "x64"
  Target amd64-unicode
!endif

!getdllversion "${PROGRAM}" DV_
!define VERSION "${DV_1}.${DV_2}.${DV_3}"
!define PRODUCT "Дорвекс"
!define PUBLISHER "Ворел-Софт"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Dorvex"
!define TASK_NAME "Дорвекс"
!define TASK_FILE "dorvex-task.xml"
!define REPOSITORY "Хранилище"
!define DEFAULT_TIME "03:00"
!define DEFAULT_DELAY "30"
; Administrators and the system may change everything, users read only; nothing inherited from
; %ProgramData%, which lets every user add files.
!define DATA_ACL '/inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F /grant:r *S-1-5-18:(OI)(CI)F /grant:r *S-1-5-32-545:(OI)(CI)RX' 

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true
AllowSkipFiles off
!if "${ARCH}" == "x64"
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "${PUBLISHER}"

VIProductVersion "${DV_1}.${DV_2}.${DV_3}.${DV_4}"
VIFileVersion "${DV_1}.${DV_2}.${DV_3}.${DV_4}"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка программы ${PRODUCT}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© ${PUBLISHER}"

!ifdef SIGNER
  !uninstfinalize '${SIGNER} "%1"' = 0
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include nsDialogs.nsh
!include WinMessages.nsh

Var Schedule      ; "HH:MM" or "none"
Var RandomDelay   ; minutes, 0 for none
Var DataDir       ; the data folder
Var Failed        ; 1 when some step did not succeed
Var ScheduleCheck
Var ScheduleEdit
Var RemoveData    ; uninstaller: 1 to remove the settings and the repository too
Var RemoveCheck
Var Server        ; /SERVER=, "" when not given

!define MUI_ABORTWARNING
!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_WELCOMEPAGE_TEXT "Эта программа установит ${PRODUCT} ${VERSION} на ваш компьютер.$\r$\n$\r$\n${PRODUCT} доставляет обновления установленных программ «${PUBLISHER}» и может делать это каждый день сам, без участия пользователя.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
Page custom SchedulePage SchedulePageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
UninstPage custom un.DataPage un.DataPageLeave
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Russian"

; ---------------------------------------------------------------------------------------------
; The setup's log, %TEMP%\dorvex-setup.log (C:\Windows\Temp for the system account): a silent
; run has no window, and its exit code alone does not say why it refused. Each line also goes to
; the list of actions. The error flag is kept as the caller left it.
!define LOG_FILE "$TEMP\dorvex-setup.log"
!define Log "!insertmacro Log"
!macro Log TEXT
  Push "${TEXT}"
  Call WriteLog
!macroend
Function WriteLog
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $3 0
  ${If} ${Errors}
    StrCpy $3 1
  ${EndIf}
  DetailPrint $0
  ClearErrors
  FileOpen $1 "${LOG_FILE}" a
  ${IfNot} ${Errors}
    FileSeek $1 0 END $2
    ${If} $2 == 0
      FileWriteUTF16LE /BOM $1 "$0$\r$\n"
    ${Else}
      FileWriteUTF16LE $1 "$0$\r$\n"
    ${EndIf}
    FileClose $1
  ${EndIf}
  ClearErrors
  ${If} $3 == 1
    SetErrors
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Refuses the command line: says why in the log (and in a box when not silent), ends with 2.
!macro Refuse TEXT
  ${Log} "Установка не выполнена: ${TEXT}"
  MessageBox MB_ICONSTOP|MB_OK "${TEXT}" /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

; Time of day. In: $0 the text. Out: $0 "HH:MM", or "" when the text is no time of day.
; Digits are taken one by one: IntOp would read "08" as an octal number.
!macro DigitValue CHAR OUT
  StrCpy ${OUT} ""
  ${Switch} ${CHAR}
    ${Case} "0"
    ${Case} "1"
    ${Case} "2"
    ${Case} "3"
    ${Case} "4"
    ${Case} "5"
    ${Case} "6"
    ${Case} "7"
    ${Case} "8"
    ${Case} "9"
      StrCpy ${OUT} ${CHAR}
      ${Break}
  ${EndSwitch}
!macroend

Function NormalizeTime
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  StrLen $1 $0
  ${If} $1 == 4
    StrCpy $0 "0$0"
    StrLen $1 $0
  ${EndIf}
  StrCpy $5 $0 1 2
  ${If} $1 != 5
  ${OrIf} $5 != ":"
    StrCpy $0 ""
    Goto done
  ${EndIf}
  StrCpy $1 $0 1 0
  !insertmacro DigitValue $1 $2
  StrCpy $1 $0 1 1
  !insertmacro DigitValue $1 $3
  ${If} $2 == ""
  ${OrIf} $3 == ""
    StrCpy $0 ""
    Goto done
  ${EndIf}
  IntOp $4 $2 * 10
  IntOp $4 $4 + $3
  ${If} $4 > 23
    StrCpy $0 ""
    Goto done
  ${EndIf}
  StrCpy $1 $0 1 3
  !insertmacro DigitValue $1 $2
  StrCpy $1 $0 1 4
  !insertmacro DigitValue $1 $3
  ${If} $2 == ""
  ${OrIf} $3 == ""
  ${OrIf} $2 > 5
    StrCpy $0 ""
    Goto done
  ${EndIf}
done:
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

; The folder named by /D must be a full path given last and unquoted. The setup's own start-up
; drops a /D it cannot use and would then install silently into the default folder and report
; success: the command line the system holds shows what was asked for. Out: $0 1 when good, else
; 0 and $1 the reason.
Function CheckInstDir
  StrCpy $0 1
  System::Call 'kernel32::GetCommandLineW() t .r1'
  ${WordFindS} $1 '"/D=' "E#" $2
  ${IfNot} ${Errors}
    StrCpy $0 0
    StrCpy $1 "ключ /D= заключён в кавычки. Укажите его последним и без кавычек, даже если в пути есть пробелы: /D=C:\Program Files\${PRODUCT}"
    Return
  ${EndIf}
  ${WordFindS} $1 " /D=" "E+1}" $2
  ${If} ${Errors}
    Return
  ${EndIf}
  ; A folder's name holds no "/": a switch after /D= was taken into the folder.
  ${WordFindS} $2 "/" "E#" $3
  ${IfNot} ${Errors}
    StrCpy $0 0
    StrCpy $1 "после ключа /D= указаны другие ключи. Ключ /D= должен быть последним: /S /SCHEDULE=03:30 /D=C:\Program Files\${PRODUCT}"
    Return
  ${EndIf}
  StrCpy $1 "папка установки «$2» должна быть полным путём, например /D=C:\Program Files\${PRODUCT}"

  ; trailing blanks and backslashes are not part of the folder's name
  ${Do}
    StrCpy $3 $2 1 -1
    ${If} $3 == " "
    ${OrIf} $3 == "\"
      StrCpy $2 $2 -1
    ${Else}
      ${Break}
    ${EndIf}
  ${Loop}
  StrCpy $3 $INSTDIR
  StrCpy $4 $3 1 -1
  ${If} $4 == "\"
    StrCpy $3 $3 -1
  ${EndIf}
  ${If} $2 != $3
    StrCpy $0 0
  ${EndIf}
FunctionEnd

Function .onInit
!if "${ARCH}" == "x64"
  SetRegView 64
!endif
  StrCpy $Failed 0
  System::Call 'kernel32::GetCommandLineW() t .r0'
  ${GetTime} "" "L" $1 $2 $3 $4 $5 $6 $7
  ${Log} "--- $3-$2-$1 $5:$6:$7, установка ${PRODUCT} ${VERSION}: $0"
  Call CheckInstDir
  ${If} $0 != 1
    !insertmacro Refuse "Неверная папка установки: $1."
  ${EndIf}
  ; The time chosen at the last install is offered again; a first install runs at night.
  ReadRegStr $Schedule HKLM "${UNINST_KEY}" "Schedule"
  ${If} $Schedule == ""
    StrCpy $Schedule "${DEFAULT_TIME}"
  ${EndIf}
  ReadRegStr $RandomDelay HKLM "${UNINST_KEY}" "RandomDelay"
  ${If} $RandomDelay == ""
    StrCpy $RandomDelay "${DEFAULT_DELAY}"
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/RANDOMDELAY=" $R1
  ${IfNot} ${Errors}
    ; whole minutes, up to a day, taken digit by digit (IntOp reads "030" as octal)
    StrCpy $0 $R1
    StrCpy $3 0
    StrLen $4 $R1
    ${If} $4 == 0
    ${OrIf} $4 > 4
      StrCpy $0 "x"
    ${EndIf}
    ${Do}
      StrCpy $1 $0 1
      ${If} $1 == ""
        ${Break}
      ${EndIf}
      !insertmacro DigitValue $1 $2
      ${If} $2 == ""
        StrCpy $3 9999
        ${Break}
      ${EndIf}
      IntOp $3 $3 * 10
      IntOp $3 $3 + $2
      StrCpy $0 $0 "" 1
    ${Loop}
    ${If} $3 > 1440
      !insertmacro Refuse "Неверное значение ключа /RANDOMDELAY: «$R1». Укажите число минут от 0 до 1440 (0 — без случайной задержки)."
    ${EndIf}
    StrCpy $RandomDelay $3
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/SCHEDULE=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "none"
      StrCpy $Schedule "none"
    ${Else}
      StrCpy $0 $R1
      Call NormalizeTime
      ${If} $0 == ""
        !insertmacro Refuse "Неверное значение ключа /SCHEDULE: «$R1». Укажите время в виде ЧЧ:ММ (например, 03:00) или none."
      ${EndIf}
      StrCpy $Schedule $0
    ${EndIf}
  ${EndIf}
  ; A server's URL holds "/", where GetOptions would end it: the value ends at the next switch.
  ClearErrors
  StrCpy $Server ""
  ${WordFind} " $R0" " /SERVER=" "E+1}" $R1
  ${IfNot} ${Errors}
    ${WordFind} "$R1 /" " /" "+1{" $R1
    ${If} $R1 == ""
      !insertmacro Refuse "Ключ /SERVER= не называет сервер."
    ${EndIf}
    StrCpy $Server $R1
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------------------------
Function SchedulePage
  !insertmacro MUI_HEADER_TEXT "Ежедневная доставка обновлений" "Выберите, когда ${PRODUCT} будет сам проверять и доставлять обновления."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "Планировщик заданий Windows будет каждый день запускать ${PRODUCT} в указанное время. Если в это время компьютер был выключен, доставка начнётся, как только это станет возможно."
  Pop $0
  ${NSD_CreateCheckbox} 0 44u 100% 12u "&Запускать доставку обновлений каждый день"
  Pop $ScheduleCheck
  ${NSD_CreateLabel} 12u 64u 90u 12u "&Время запуска (ЧЧ:ММ):"
  Pop $0
  ${NSD_CreateText} 104u 62u 36u 12u ""
  Pop $ScheduleEdit
  ${NSD_Edit_SetTextLimit} $ScheduleEdit 5
  ${If} $Schedule == "none"
    ${NSD_SetText} $ScheduleEdit "${DEFAULT_TIME}"
    EnableWindow $ScheduleEdit 0
  ${Else}
    ${NSD_Check} $ScheduleCheck
    ${NSD_SetText} $ScheduleEdit $Schedule
  ${EndIf}
  ${NSD_OnClick} $ScheduleCheck ScheduleCheckClick
  nsDialogs::Show
FunctionEnd

Function ScheduleCheckClick
  Pop $0
  ${NSD_GetState} $ScheduleCheck $0
  ${If} $0 == ${BST_CHECKED}
    EnableWindow $ScheduleEdit 1
  ${Else}
    EnableWindow $ScheduleEdit 0
  ${EndIf}
FunctionEnd

Function SchedulePageLeave
  ${NSD_GetState} $ScheduleCheck $0
  ${If} $0 != ${BST_CHECKED}
    StrCpy $Schedule "none"
    Return
  ${EndIf}
  ${NSD_GetText} $ScheduleEdit $0
  Call NormalizeTime
  ${If} $0 == ""
    MessageBox MB_ICONEXCLAMATION|MB_OK "Укажите время в виде ЧЧ:ММ, например 03:00."
    Abort
  ${EndIf}
  StrCpy $Schedule $0
FunctionEnd

; ---------------------------------------------------------------------------------------------
; The task definition handed to the Task Scheduler: every day at $Schedule (plus up to
; $RandomDelay minutes, so that many computers set alike do not reach the server together), as
; soon as possible when the computer was off at that time, as the local system account with its
; full rights, never beside a run still going; the settings named, as every start of the program
; finds them. The execution limit lies well beyond the program's own limit on waiting for an
; upgrade, so that the program ends its session and its report first.
!macro XmlText IN OUT
  ${WordReplace} "${IN}" "&" "&amp;" "+" ${OUT}
  ${WordReplace} "${OUT}" "<" "&lt;" "+" ${OUT}
  ${WordReplace} "${OUT}" ">" "&gt;" "+" ${OUT}
!macroend
Function WriteTaskFile
  !insertmacro XmlText "$INSTDIR" $1
  !insertmacro XmlText "$DataDir" $9
  ${GetTime} "" "L" $2 $3 $4 $5 $6 $7 $8
  ClearErrors
  FileOpen $0 "$INSTDIR\${TASK_FILE}" w
  ${If} ${Errors}
    Return
  ${EndIf}
  FileWriteUTF16LE /BOM $0 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
  FileWriteUTF16LE $0 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
  FileWriteUTF16LE $0 '  <RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $0 '    <Author>${PUBLISHER}</Author>$\r$\n'
  FileWriteUTF16LE $0 '    <Description>Ежедневная доставка обновлений программ «${PUBLISHER}» без участия пользователя.</Description>$\r$\n'
  FileWriteUTF16LE $0 '  </RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $0 '  <Triggers>$\r$\n'
  FileWriteUTF16LE $0 '    <CalendarTrigger>$\r$\n'
  FileWriteUTF16LE $0 '      <StartBoundary>$4-$3-$2T$Schedule:00</StartBoundary>$\r$\n'
  ${If} $RandomDelay != 0
    StrCpy $8 "PT$RandomDelay"
    FileWriteUTF16LE $0 '      <RandomDelay>$8M</RandomDelay>$\r$\n'
  ${EndIf}
  FileWriteUTF16LE $0 '      <Enabled>true</Enabled>$\r$\n'
  FileWriteUTF16LE $0 '      <ScheduleByDay>$\r$\n'
  FileWriteUTF16LE $0 '        <DaysInterval>1</DaysInterval>$\r$\n'
  FileWriteUTF16LE $0 '      </ScheduleByDay>$\r$\n'
  FileWriteUTF16LE $0 '    </CalendarTrigger>$\r$\n'
  FileWriteUTF16LE $0 '  </Triggers>$\r$\n'
  FileWriteUTF16LE $0 '  <Principals>$\r$\n'
  FileWriteUTF16LE $0 '    <Principal id="Author">$\r$\n'
  FileWriteUTF16LE $0 '      <UserId>S-1-5-18</UserId>$\r$\n'
  FileWriteUTF16LE $0 '      <RunLevel>HighestAvailable</RunLevel>$\r$\n'
  FileWriteUTF16LE $0 '    </Principal>$\r$\n'
  FileWriteUTF16LE $0 '  </Principals>$\r$\n'
  FileWriteUTF16LE $0 '  <Settings>$\r$\n'
  FileWriteUTF16LE $0 '    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>$\r$\n'
  FileWriteUTF16LE $0 '    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>$\r$\n'
  FileWriteUTF16LE $0 '    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>$\r$\n'
  FileWriteUTF16LE $0 '    <StartWhenAvailable>true</StartWhenAvailable>$\r$\n'
  FileWriteUTF16LE $0 '    <ExecutionTimeLimit>PT8H</ExecutionTimeLimit>$\r$\n'
  FileWriteUTF16LE $0 '    <Enabled>true</Enabled>$\r$\n'
  FileWriteUTF16LE $0 '  </Settings>$\r$\n'
  FileWriteUTF16LE $0 '  <Actions Context="Author">$\r$\n'
  FileWriteUTF16LE $0 '    <Exec>$\r$\n'
  FileWriteUTF16LE $0 '      <Command>$1\dorvex.exe</Command>$\r$\n'
  FileWriteUTF16LE $0 '      <Arguments>/auto "/CONF:$9\dorvex.ini"</Arguments>$\r$\n'
  FileWriteUTF16LE $0 '      <WorkingDirectory>$1</WorkingDirectory>$\r$\n'
  FileWriteUTF16LE $0 '    </Exec>$\r$\n'
  FileWriteUTF16LE $0 '  </Actions>$\r$\n'
  FileWriteUTF16LE $0 '</Task>$\r$\n'
  FileClose $0
FunctionEnd

; Replaces the task of an earlier install by the one chosen now, or removes it for "none".
Function ApplySchedule
  nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /delete /tn "${TASK_NAME}" /f'
  Pop $0
  ${If} $Schedule == "none"
    Delete "$INSTDIR\${TASK_FILE}"
    ${Log} "Ежедневная доставка обновлений не назначена."
  ${Else}
    ClearErrors
    Call WriteTaskFile
    ${If} ${Errors}
      StrCpy $Failed 1
      ${Log} "Не удалось записать описание задания: $INSTDIR\${TASK_FILE}"
      Return
    ${EndIf}
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /create /tn "${TASK_NAME}" /xml "$INSTDIR\${TASK_FILE}" /f'
    Pop $0
    ${If} $0 == 0
      ${Log} "Ежедневная доставка обновлений назначена на $Schedule."
    ${Else}
      StrCpy $Failed 1
      ${Log} "Планировщик заданий не принял задание «${TASK_NAME}» (код $0)."
    ${EndIf}
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------------------------
; The installing user's proxy, for the settings of a first install: the system account, which
; runs the task, has none of its own. "http=host:port;ftp=..." names one per scheme; a bare
; "host:port" serves every scheme.
; A missing value or a form not understood writes nothing; the error flag is left clear.
Function WriteProxySettings
  ; the publisher's proxy, when the settings name one, wins
  ReadINIStr $1 "$DataDir\dorvex.ini" "Proxy" "Use"
  ReadINIStr $2 "$DataDir\dorvex.ini" "Proxy" "ProxyServerName"
  ClearErrors
  ${If} "$1$2" != ""
    Return
  ${EndIf}
  ReadRegDWORD $1 HKCU "Software\Microsoft\Windows\CurrentVersion\Internet Settings" "ProxyEnable"
  ReadRegStr $2 HKCU "Software\Microsoft\Windows\CurrentVersion\Internet Settings" "ProxyServer"
  ClearErrors
  ${If} $2 == ""
    Return
  ${EndIf}
  ${WordFind} "$2" "=" "E#" $3
  ${IfNot} ${Errors}
    ClearErrors
    ${WordFind} ";$2" ";http=" "E+1}" $3
    ${If} ${Errors}
      ClearErrors
      Return
    ${EndIf}
    ${WordFind} "$3" ";" "+1" $2
  ${EndIf}
  ClearErrors
  ${WordFind} "$2" ":" "E-1{" $3
  ${WordFind} "$2" ":" "E-1}" $4
  ${If} ${Errors}
  ${OrIf} $3 == ""
    ClearErrors
    Return
  ${EndIf}
  ${If} $1 == 1
    WriteINIStr "$DataDir\dorvex.ini" "Proxy" "Use" "1"
  ${Else}
    WriteINIStr "$DataDir\dorvex.ini" "Proxy" "Use" "0"
  ${EndIf}
  WriteINIStr "$DataDir\dorvex.ini" "Proxy" "ProxyServerName" "$3"
  WriteINIStr "$DataDir\dorvex.ini" "Proxy" "ProxyServerPort" "$4"
  ${If} ${Errors}
    StrCpy $Failed 1
    ${Log} "Не удалось записать настройки прокси-сервера: $DataDir\dorvex.ini"
  ${EndIf}
  ClearErrors
FunctionEnd

; Moves what a setting names into the data folder when it lies in the install folder, and points
; the setting there. In: $R2 section, $R3 key.
Function MoveSettingIntoData
  ReadINIStr $R4 "$INSTDIR\dorvex.ini" $R2 $R3
  StrLen $R5 "$INSTDIR\"
  StrCpy $R6 $R4 $R5
  ${If} $R6 != "$INSTDIR\"
    Return
  ${EndIf}
  StrCpy $R7 $R4 "" $R5     ; the part below the install folder, as written
  StrCpy $R8 $R7
  StrCpy $R6 $R8 1 -1
  ${If} $R6 == "\"
    StrCpy $R8 $R8 -1
  ${EndIf}
  ${If} $R8 != ""
  ${AndIf} ${FileExists} "$INSTDIR\$R8\*.*"
    ${IfNot} ${FileExists} "$DataDir\$R8\*.*"
      CreateDirectory "$DataDir\$R8"
      RMDir "$DataDir\$R8"
      ClearErrors
      Rename "$INSTDIR\$R8" "$DataDir\$R8"
      ${If} ${Errors}
        ; another volume: copied, then removed
        ClearErrors
        CreateDirectory "$DataDir\$R8"
        CopyFiles /SILENT "$INSTDIR\$R8\*.*" "$DataDir\$R8"
        ${If} ${Errors}
          StrCpy $Failed 1
          ${Log} "Не удалось перенести $INSTDIR\$R8 в $DataDir\$R8"
          Return
        ${EndIf}
        RMDir /r "$INSTDIR\$R8"
      ${EndIf}
    ${Else}
      ${Log} "Папка $DataDir\$R8 уже есть: $INSTDIR\$R8 оставлена на месте."
    ${EndIf}
  ${EndIf}
  WriteINIStr "$INSTDIR\dorvex.ini" $R2 $R3 "$DataDir\$R7"
  ${Log} "[$R2] $R3: $DataDir\$R7"
FunctionEnd

; An install over one that kept its data beside the program: the settings, the serial floor,
; the report and the folders they name in the install folder go to the data folder.
Function MoveOldData
  ${IfNot} ${FileExists} "$INSTDIR\dorvex.ini"
    Return
  ${EndIf}
  ${If} ${FileExists} "$DataDir\dorvex.ini"
    ; The data folder's settings win; the old ones must not be found beside the program.
    Delete "$INSTDIR\dorvex-old.ini"
    Rename "$INSTDIR\dorvex.ini" "$INSTDIR\dorvex-old.ini"
    ${Log} "В папке данных уже есть настройки: прежние сохранены как $INSTDIR\dorvex-old.ini"
    Return
  ${EndIf}
  ${Log} "Перенос настроек и хранилища в $DataDir"
  StrCpy $R2 "Common"
  StrCpy $R3 "UpgradeFilesDir"
  Call MoveSettingIntoData
  StrCpy $R2 "Session"
  StrCpy $R3 "TempDir"
  Call MoveSettingIntoData
  StrCpy $R2 "Disk"
  StrCpy $R3 "RootDir"
  Call MoveSettingIntoData
  ${ForEach} $R9 0 2 + 1
    ${If} $R9 == 0
      StrCpy $R8 "dorvex.state"
    ${ElseIf} $R9 == 1
      StrCpy $R8 "dorvex.txt"
    ${Else}
      StrCpy $R8 "dorvex.ini"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\$R8"
      ClearErrors
      Rename "$INSTDIR\$R8" "$DataDir\$R8"
      ${If} ${Errors}
        ClearErrors
        CopyFiles /SILENT "$INSTDIR\$R8" "$DataDir\$R8"
        Delete "$INSTDIR\$R8"
        ${If} ${Errors}
          StrCpy $Failed 1
          ${Log} "Не удалось перенести $INSTDIR\$R8 в папку данных."
        ${EndIf}
      ${EndIf}
    ${EndIf}
  ${Next}
FunctionEnd

!ifdef PROFILE_INI
; An install over an earlier one: the publisher's settings that the settings lack are added, none
; is changed. In: $R0 section, $R1 key.
Function AddPublisherSetting
  ClearErrors
  ReadINIStr $R2 "$DataDir\dorvex.ini" $R0 $R1
  ${IfNot} ${Errors}
    Return
  ${EndIf}
  ClearErrors
  ReadINIStr $R2 "$PLUGINSDIR\profile.ini" $R0 $R1
  ${If} ${Errors}
    Return
  ${EndIf}
  StrLen $R3 $R2
  IntOp $R4 ${NSIS_MAX_STRLEN} - 1
  ${If} $R3 >= $R4
    ; longer than the setup's strings: it would be cut. The settings work without it as before.
    ${Log} "Значение [$R0] $R1 издателя слишком длинное для установки: добавьте его в $DataDir\dorvex.ini сами."
    Return
  ${EndIf}
  WriteINIStr "$DataDir\dorvex.ini" $R0 $R1 $R2
  ${If} ${Errors}
    StrCpy $Failed 1
    ${Log} "Не удалось добавить [$R0] $R1 в $DataDir\dorvex.ini"
  ${Else}
    ${Log} "Добавлено в настройки: [$R0] $R1"
  ${EndIf}
FunctionEnd

!macro AddPublisherSetting SECTION KEY
  StrCpy $R0 "${SECTION}"
  StrCpy $R1 "${KEY}"
  Call AddPublisherSetting
!macroend

Function AddPublisherSettings
  InitPluginsDir
  File "/oname=$PLUGINSDIR\profile.ini" "${PROFILE_INI}"
  !insertmacro AddPublisherSetting Connection ConnectionType
  !insertmacro AddPublisherSetting Ftp Server
  !insertmacro AddPublisherSetting Ftp Port
  !insertmacro AddPublisherSetting Ftp RootDir
  !insertmacro AddPublisherSetting Http Server
  !insertmacro AddPublisherSetting Http Port
  !insertmacro AddPublisherSetting Http RootDir
  !insertmacro AddPublisherSetting Disk RootDir
  !insertmacro AddPublisherSetting Security MapPublicKey
  !insertmacro AddPublisherSetting Security RequireSignedMaps
  !insertmacro AddPublisherSetting Security TrustedCertificates
  !insertmacro AddPublisherSetting Proxy Use
  !insertmacro AddPublisherSetting Proxy ProxyServerName
  !insertmacro AddPublisherSetting Proxy ProxyServerPort
  !insertmacro AddPublisherSetting Proxy DisableCache
FunctionEnd
!endif

; /SERVER= names the source's server: [Ftp] Server when the settings connect by FTP, else
; [Http] Server. The administrator's switch wins over what the settings hold.
Function WriteServer
  ${If} $Server == ""
    Return
  ${EndIf}
  ReadINIStr $0 "$DataDir\dorvex.ini" "Connection" "ConnectionType"
  StrCpy $1 "Http"
  ${If} $0 == "0"
    StrCpy $1 "Ftp"
  ${EndIf}
  ClearErrors
  WriteINIStr "$DataDir\dorvex.ini" $1 "Server" $Server
  ${If} ${Errors}
    StrCpy $Failed 1
    ${Log} "Не удалось записать сервер в $DataDir\dorvex.ini"
  ${Else}
    ${Log} "[$1] Server: $Server"
  ${EndIf}
FunctionEnd

; The data folder, made with its access list: the settings of a first install (the repository
; inside the folder) or those of an earlier install moved in.
Function PrepareDataFolder
  SetShellVarContext all
  StrCpy $DataDir "$APPDATA\${PUBLISHER}\${PRODUCT}"
  CreateDirectory "$DataDir"
  ${IfNot} ${FileExists} "$DataDir\*.*"
    StrCpy $Failed 1
    ${Log} "Не удалось создать папку данных: $DataDir"
    Return
  ${EndIf}
  Call MoveOldData
  ${IfNot} ${FileExists} "$DataDir\dorvex.ini"
!ifdef PROFILE_INI
    ; The publisher's settings first: the rest is written into them.
    ClearErrors
    File "/oname=$DataDir\dorvex.ini" "${PROFILE_INI}"
    ${If} ${Errors}
      StrCpy $Failed 1
      ${Log} "Не удалось записать настройки издателя: $DataDir\dorvex.ini"
    ${Else}
      ${Log} "Настройки издателя записаны в $DataDir\dorvex.ini"
    ${EndIf}
!endif
    ; Step files may come from an office's caching proxy; maps are checked with the server anyway.
    ReadINIStr $0 "$DataDir\dorvex.ini" "Proxy" "DisableCache"
    ClearErrors
    CreateDirectory "$DataDir\${REPOSITORY}"
    WriteINIStr "$DataDir\dorvex.ini" "Common" "UpgradeFilesDir" "$DataDir\${REPOSITORY}\"
    ${If} $0 == ""
      WriteINIStr "$DataDir\dorvex.ini" "Proxy" "DisableCache" "0"
    ${EndIf}
    ${If} ${Errors}
      StrCpy $Failed 1
      ${Log} "Не удалось записать настройки: $DataDir\dorvex.ini"
    ${EndIf}
    Call WriteProxySettings
!ifdef PROFILE_INI
  ${Else}
    Call AddPublisherSettings
!endif
  ${EndIf}
  Call WriteServer
  ; The access list last, so that it covers what was moved in too.
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$DataDir" ${DATA_ACL}'
  Pop $0
  ${If} $0 != 0
    StrCpy $Failed 1
    ${Log} "Не удалось установить права доступа к папке $DataDir (код $0)."
  ${EndIf}
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$DataDir\*" /reset /T /C /Q'
  Pop $0
FunctionEnd

Section "${PRODUCT}"
  SectionIn RO
  SetOutPath "$INSTDIR"
  SetOverwrite on
  ClearErrors
  File "/oname=dorvex.exe" "${PROGRAM}"
  ${If} ${Errors}
    StrCpy $Failed 1
  ${EndIf}
  Call PrepareDataFolder

  ClearErrors
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    StrCpy $Failed 1
  ${EndIf}

  SetShellVarContext all
  ClearErrors
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\dorvex.exe" "" "$INSTDIR\dorvex.exe" 0
  ${If} ${Errors}
    StrCpy $Failed 1
    ${Log} "Не удалось создать ярлык в меню «Пуск»."
  ${EndIf}

  Call ApplySchedule

  ClearErrors
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\dorvex.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINST_KEY}" "Schedule" "$Schedule"
  WriteRegStr HKLM "${UNINST_KEY}" "RandomDelay" "$RandomDelay"
  WriteRegStr HKLM "${UNINST_KEY}" "DataFolder" "$DataDir"
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/M=dorvex.exe /S=0K /G=0" $0 $1 $2
  ${GetSize} "$INSTDIR" "/M=uninstall.exe /S=0K /G=0" $1 $2 $3
  IntOp $0 $0 + $1
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
  ${If} ${Errors}
    StrCpy $Failed 1
    ${Log} "Не удалось записать сведения для «Программ и компонентов»."
  ${EndIf}

  ${If} $Failed != 0
    SetErrorLevel 2
    MessageBox MB_ICONEXCLAMATION|MB_OK "Установка выполнена не полностью: подробности в списке действий." /SD IDOK
  ${EndIf}
SectionEnd

; ---------------------------------------------------------------------------------------------
Function un.onInit
!if "${ARCH}" == "x64"
  SetRegView 64
!endif
  StrCpy $Failed 0
  StrCpy $RemoveData 0
  ReadRegStr $DataDir HKLM "${UNINST_KEY}" "DataFolder"
  ${If} $DataDir == ""
    SetShellVarContext all
    StrCpy $DataDir "$APPDATA\${PUBLISHER}\${PRODUCT}"
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/KEEPDATA=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 == "0"
    StrCpy $RemoveData 1
  ${EndIf}
FunctionEnd

Function un.DataPage
  !insertmacro MUI_HEADER_TEXT "Настройки и хранилище" "Выберите, оставить ли настройки и загруженные обновления."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "Настройки, протокол и хранилище загруженных обновлений остаются в папке $DataDir, чтобы их нашла следующая установка."
  Pop $0
  ${NSD_CreateCheckbox} 0 44u 100% 12u "&Удалить также настройки и хранилище обновлений"
  Pop $RemoveCheck
  ${If} $RemoveData == 1
    ${NSD_Check} $RemoveCheck
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function un.DataPageLeave
  ${NSD_GetState} $RemoveCheck $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $RemoveData 1
  ${Else}
    StrCpy $RemoveData 0
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; The task goes first, so that it never starts a program that is no longer there.
  ReadRegStr $1 HKLM "${UNINST_KEY}" "Schedule"
  nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /delete /tn "${TASK_NAME}" /f'
  Pop $0
  ${If} $0 != 0
  ${AndIf} $1 != "none"
  ${AndIf} $1 != ""
    StrCpy $Failed 1
    DetailPrint "Не удалось удалить задание планировщика «${TASK_NAME}» (код $0)."
  ${EndIf}
  Delete "$INSTDIR\${TASK_FILE}"

  ClearErrors
  Delete "$INSTDIR\dorvex.exe"
  ${If} ${Errors}
    StrCpy $Failed 1
    DetailPrint "Не удалось удалить $INSTDIR\dorvex.exe: программа, возможно, запущена."
  ${EndIf}

  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"

  ${If} $RemoveData == 1
    ClearErrors
    ; The whole data folder, and what an install that kept its data beside the program left.
    ; Only the repository a setup made: a folder named in the settings may hold other files.
    RMDir /r "$DataDir"
    ${GetParent} "$DataDir" $0
    RMDir "$0"
    Delete "$INSTDIR\dorvex.ini"
    Delete "$INSTDIR\dorvex-old.ini"
    Delete "$INSTDIR\dorvex.state"
    Delete "$INSTDIR\dorvex.txt"
    RMDir /r "$INSTDIR\${REPOSITORY}"
    ${If} ${Errors}
      StrCpy $Failed 1
      DetailPrint "Не удалось удалить настройки или хранилище обновлений."
    ${EndIf}
  ${EndIf}

  ${If} $Failed == 0
    DeleteRegKey HKLM "${UNINST_KEY}"
  ${Else}
    SetErrorLevel 2
    MessageBox MB_ICONEXCLAMATION|MB_OK "Удаление выполнено не полностью: подробности в списке действий." /SD IDOK
  ${EndIf}

  ; Started as "uninstall.exe /S" the uninstaller runs from a copy in the temporary folder and
  ; removes itself and the folder. Run in place ("/S _?=folder", so that the caller waits for its
  ; exit code) it cannot delete its own running file and leaves it, and so the folder, to the
  ; caller. It never leaves that to the next restart: a setup run before it would lose its new
  ; uninstaller then.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
