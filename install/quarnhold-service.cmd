@echo off
rem quarnhold-service.cmd
rem
rem Runs quarnhold.sys once on this machine: checks the image against
rem SHA256SUMS, copies it to %SystemRoot%\System32\drivers, registers it as a
rem demand-start kernel service, starts it, and removes the service and the
rem copy again. The start fails by design: DriverEntry does its work and
rem returns STATUS_DEVICE_CONFIGURATION_ERROR (0xC0000182), which Windows
rem reports as Win32 error 87. That is this script's success (exit 0); any
rem other outcome is said in words and returned as the exit code.
rem
rem Run it from an elevated command prompt, with the package's files beside
rem it. Started by a double-click, it waits for a key at the end; /nopause
rem stops that.
rem
rem Written for cmd.exe with delayed expansion off: every path is quoted, and
rem no %VARIABLE% is expanded inside a parenthesised block, so a folder named
rem "quarnhold-1.1.0-i386 (1)" or "R&D" cannot break a line. Every tool is
rem taken from System32 by its full path, never from the current folder.

setlocal EnableExtensions DisableDelayedExpansion
rem The machine this package's image is for (x86 or AMD64); the release
rem packaging writes it.
set "IMAGE_MACHINE=x86"
set "SERVICE=quarnhold"
set "HERE=%~dp0"
set "SOURCE=%~dp0quarnhold.sys"
set "TOOLS=%SystemRoot%\System32"
set "TARGET=%SystemRoot%\System32\drivers\quarnhold.sys"
set "RESULT=0"
set "WORK="

rem Explorer starts a script as  cmd.exe /c ""C:\...\quarnhold-service.cmd" "
rem and closes the window when it ends: then wait, so the outcome can be read.
set "PAUSE_AT_END="
set "LAUNCH=%cmdcmdline:"=#%"
rem Where %cmdcmdline% is not defined (Wine's cmd), the line above leaves its
rem own quote behind.
set "LAUNCH=%LAUNCH:"=#%"
if /i not "%LAUNCH:/c ##=%"=="%LAUNCH%" set "PAUSE_AT_END=1"
if /i "%~1"=="/nopause" set "PAUSE_AT_END="

rem Elevated? fltmc answers only an administrator and needs no service; net
rem session (for systems without fltmc) needs the Server service. Compare the
rem exit code with 0: a refusal can come back as a negative number, which
rem "if errorlevel 1" would miss.
"%TOOLS%\fltmc.exe" >nul 2>&1
if "%errorlevel%"=="0" goto :Elevated
"%TOOLS%\net.exe" session >nul 2>&1
if "%errorlevel%"=="0" goto :Elevated
echo quarnhold-service: run this from an elevated command prompt: right-click it, Run as administrator.
set "RESULT=5"
goto :End
:Elevated

rem Which Windows is this? A 32-bit prompt on 64-bit Windows sees x86 in
rem PROCESSOR_ARCHITECTURE and the real machine in PROCESSOR_ARCHITEW6432.
set "OS_MACHINE=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "OS_MACHINE=%PROCESSOR_ARCHITEW6432%"
if defined OS_MACHINE goto :MachineKnown
rem Neither is set (a bare environment): only 64-bit Windows has SysWOW64.
set "OS_MACHINE=x86"
if exist "%SystemRoot%\SysWOW64\" set "OS_MACHINE=AMD64"
echo quarnhold-service: PROCESSOR_ARCHITECTURE is not set; taking this for %OS_MACHINE% Windows.
:MachineKnown
if /i "%OS_MACHINE%"=="%IMAGE_MACHINE%" goto :MachineMatches
set "RESULT=216"
if /i "%IMAGE_MACHINE%"=="x86" goto :WantsAmd64Package
echo quarnhold-service: this is %OS_MACHINE% Windows, and this package's quarnhold.sys is for 64-bit AMD64 Windows; use the i386 package.
goto :End
:WantsAmd64Package
if /i not "%OS_MACHINE%"=="AMD64" goto :NoPackage
echo quarnhold-service: this is 64-bit AMD64 Windows, and this package's quarnhold.sys is for 32-bit x86 Windows; use the amd64 package.
goto :End
:NoPackage
echo quarnhold-service: this is %OS_MACHINE% Windows; quarnhold.sys exists for x86 and AMD64 Windows only.
goto :End
:MachineMatches

if exist "%SOURCE%" goto :HaveImage
echo quarnhold-service: "%SOURCE%" is missing; put quarnhold.sys beside this script.
set "RESULT=2"
goto :End
:HaveImage

set "WORK=%TEMP%\quarnhold-service-%RANDOM%%RANDOM%"
mkdir "%WORK%" >nul 2>&1
if exist "%WORK%\" goto :HaveWork
echo quarnhold-service: cannot make a scratch folder in "%TEMP%".
set "WORK="
set "RESULT=82"
goto :End
:HaveWork

rem A damaged image could take the machine down: check it before it loads.
call :CheckImageHash
if not "%RESULT%"=="0" goto :End

rem The driver writes to C:\Quarnhold as the kernel, following any link it
rem finds there: refuse to start while that name, or test.txt in it, is a
rem junction or a symbolic link (the attribute string's ninth letter is l).
call :RefuseLink "C:\Quarnhold"
if not "%RESULT%"=="0" goto :End
call :RefuseLink "C:\Quarnhold\test.txt"
if not "%RESULT%"=="0" goto :End

rem A service left by an interrupted run would make "create" fail.
call :RunSc query %SERVICE%
if not defined SC_SERVICE_FOUND goto :NoLeftover
echo quarnhold-service: removing the service an earlier run left behind.
call :RunSc delete %SERVICE%
if "%SC_ERROR%"=="0" goto :NoLeftover
call :Explain %SC_ERROR% "could not remove the old service"
set "RESULT=%SC_ERROR%"
goto :End
:NoLeftover

copy /y "%SOURCE%" "%TARGET%" >nul
if "%errorlevel%"=="0" goto :Copied
echo quarnhold-service: cannot copy quarnhold.sys to "%TARGET%".
set "RESULT=82"
goto :End
:Copied

call :RunSc create %SERVICE% type= kernel start= demand error= normal binPath= "%TARGET%" DisplayName= "Quarnhold one-shot driver"
if "%SC_ERROR%"=="0" goto :Created
call :Explain %SC_ERROR% "could not register the service"
set "RESULT=%SC_ERROR%"
del "%TARGET%" >nul 2>&1
goto :End
:Created

echo quarnhold-service: starting %SERVICE%; the start fails by design with error 87.
call :RunSc start %SERVICE%
set "START_ERROR=%SC_ERROR%"
call :ExplainStart
set "RESULT=%START_ERROR%"
if "%START_ERROR%"=="87" set "RESULT=0"

rem Clean up whatever the start did, and say what could not be cleaned.
call :RunSc delete %SERVICE%
if "%SC_ERROR%"=="0" goto :ServiceDeleted
call :Explain %SC_ERROR% "could not delete the service; delete it later with: sc.exe delete quarnhold"
if "%RESULT%"=="0" set "RESULT=%SC_ERROR%"
:ServiceDeleted
del "%TARGET%" >nul 2>&1
if not exist "%TARGET%" goto :CopyDeleted
echo quarnhold-service: could not delete "%TARGET%"; delete it by hand, after a reboot if it is in use.
if "%RESULT%"=="0" set "RESULT=32"
:CopyDeleted
if "%RESULT%"=="0" echo quarnhold-service: done. Look in C:\Quarnhold\test.txt, and for the messages in the kernel debugger or DebugView.

:End
if defined WORK rd /s /q "%WORK%" >nul 2>&1
if defined PAUSE_AT_END pause
endlocal & exit /b %RESULT%


rem :RunSc ARGUMENTS...
rem Runs sc.exe, shows what it printed, and sets SC_ERROR to its Win32 error
rem (0 for none) and SC_SERVICE_FOUND when it named the service. The error is
rem taken from the exit code, or from a "FAILED n:" line where an sc.exe
rem always exits 0.
:RunSc
set "SC_ERROR="
set "SC_SERVICE_FOUND="
"%TOOLS%\sc.exe" %* > "%WORK%\sc.txt" 2>&1
set "SC_ERROR=%errorlevel%"
if /i not "%~1"=="query" type "%WORK%\sc.txt"
for /f "usebackq tokens=1,2,3,4 delims=: " %%a in ("%WORK%\sc.txt") do call :ScLine "%%a" "%%b" "%%c" "%%d"
goto :eof

rem :ScLine WORD1 WORD2 WORD3 WORD4, one line of sc.exe's output in words.
:ScLine
if /i "%~1"=="SERVICE_NAME" set "SC_SERVICE_FOUND=1"
if not "%SC_ERROR%"=="0" goto :eof
if /i "%~3"=="FAILED" set "SC_ERROR=%~4"
goto :eof

rem :ExplainStart
rem Says what the start's Win32 error (START_ERROR) means for this driver.
:ExplainStart
if "%START_ERROR%"=="87" goto :StartAsDesigned
if "%START_ERROR%"=="0" goto :StartStayedLoaded
if "%START_ERROR%"=="577" goto :StartUnsigned
if "%START_ERROR%"=="1275" goto :StartBlocked
if "%START_ERROR%"=="2" goto :StartNoImage
if "%START_ERROR%"=="1072" goto :StartMarkedForDeletion
call :Explain %START_ERROR% "the start failed"
goto :eof
:StartAsDesigned
echo quarnhold-service: the start failed with error 87, as it does by design: DriverEntry did its work and returned STATUS_DEVICE_CONFIGURATION_ERROR, 0xC0000182.
goto :eof
:StartStayedLoaded
echo quarnhold-service: the start succeeded, so the driver now stays loaded. quarnhold.sys never does that: this is not its image. Reboot to unload it.
set "START_ERROR=1"
goto :eof
:StartUnsigned
echo quarnhold-service: Windows refused the driver's signature, error 577.
if /i "%IMAGE_MACHINE%"=="AMD64" goto :StartUnsignedAmd64
echo   This machine enforces driver signatures, as Windows 10 and later do with Secure Boot on.
echo   Use a test machine with Secure Boot off, or sign the image.
goto :eof
:StartUnsignedAmd64
echo   64-bit Windows loads this test-signed driver only in test mode. As administrator run
echo     bcdedit /set testsigning on
echo   turn Secure Boot off in the firmware settings, reboot, and run this script again.
goto :eof
:StartBlocked
echo quarnhold-service: Windows blocked the driver, error 1275: a driver block rule, or Memory integrity
echo   in Core isolation, refused it. Use a test machine where they are off.
goto :eof
:StartNoImage
echo quarnhold-service: Windows did not find the image the service names, error 2: "%TARGET%".
goto :eof
:StartMarkedForDeletion
echo quarnhold-service: a service named %SERVICE% is marked for deletion, error 1072. Close the Services
echo   console and anything else that has it open, or reboot, then run this script again.
goto :eof

rem :Explain ERROR WHAT
rem Says that WHAT went wrong with the Win32 ERROR, and what Windows calls it.
:Explain
echo quarnhold-service: %~2: error %~1.
"%TOOLS%\net.exe" helpmsg %~1 2>nul
goto :eof

rem :CheckImageHash
rem Compares quarnhold.sys with its line in SHA256SUMS. Sets RESULT to 13
rem when they differ; says so and goes on where no SHA-256 can be had.
:CheckImageHash
set "WANT="
if not exist "%HERE%SHA256SUMS" goto :NoSums
for /f "usebackq tokens=1,2" %%h in ("%HERE%SHA256SUMS") do if "%%i"=="quarnhold.sys" set "WANT=%%h"
if not defined WANT goto :NoSums
"%TOOLS%\certutil.exe" -hashfile "%SOURCE%" SHA256 > "%WORK%\hash.txt" 2>&1
set "HASH_HEADER="
set "HASH="
for /f "usebackq delims=" %%l in ("%WORK%\hash.txt") do call :HashLine "%%l"
rem A certutil without SHA-256 (Windows XP's has no -hashfile at all) names
rem another algorithm or none in its first line.
if not defined HASH_HEADER goto :NoHash
if /i "%HASH_HEADER:SHA256=%"=="%HASH_HEADER%" goto :NoHash
rem Windows 7 prints the hash with a space after every two digits.
set "HASH=%HASH: =%"
if /i not "%HASH%"=="%WANT%" goto :HashDiffers
echo quarnhold-service: quarnhold.sys matches its SHA-256 in SHA256SUMS.
goto :eof
:HashDiffers
echo quarnhold-service: quarnhold.sys does not match its SHA-256 in SHA256SUMS: the package is damaged or was changed. Nothing was installed.
set "RESULT=13"
goto :eof
:NoSums
echo quarnhold-service: no SHA256SUMS line for quarnhold.sys beside this script; the image is not checked.
goto :eof
:NoHash
echo quarnhold-service: certutil here makes no SHA-256; the image is not checked against SHA256SUMS.
goto :eof

rem :HashLine LINE, one line of certutil's output: the first is its header,
rem the second the hash.
:HashLine
if defined HASH goto :eof
if defined HASH_HEADER goto :HashValue
set "HASH_HEADER=%~1"
goto :eof
:HashValue
set "HASH=%~1"
goto :eof

rem :RefuseLink PATH
rem Sets RESULT to 4393 (the file is a reparse point) when PATH is a junction or a link.
:RefuseLink
set "ATTRIBUTES=%~a1"
if not defined ATTRIBUTES goto :eof
if /i not "%ATTRIBUTES:~8,1%"=="l" goto :eof
echo quarnhold-service: %~1 is a junction or a symbolic link; the driver's writes would follow it. Remove it first.
set "RESULT=4393"
goto :eof
