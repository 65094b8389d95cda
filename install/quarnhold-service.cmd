@echo off
rem quarnhold-service.cmd
rem
rem Runs quarnhold.sys once on a 32-bit Windows machine: registers it as a
rem demand-start kernel service, starts it, and deletes the service again.
rem The start always fails: DriverEntry does its work and then returns
rem STATUS_DEVICE_CONFIGURATION_ERROR (0xC0000182) so that nothing stays
rem loaded. sc.exe reports that as Win32 error 87, "The parameter is
rem incorrect."
rem
rem Run from an elevated command prompt, with quarnhold.sys beside this file.

setlocal
set SERVICE=quarnhold
set SOURCE=%~dp0quarnhold.sys
set TARGET=%SystemRoot%\System32\drivers\quarnhold.sys

net session >nul 2>&1
if errorlevel 1 (
    echo quarnhold-service: run this from an elevated command prompt.
    exit /b 1
)
if not exist "%SOURCE%" (
    echo quarnhold-service: %SOURCE% is missing; put quarnhold.sys beside this script.
    exit /b 1
)
rem A 64-bit Windows shows x86 to a 32-bit prompt, but names itself in
rem PROCESSOR_ARCHITEW6432.
if defined PROCESSOR_ARCHITEW6432 goto NotThirtyTwoBit
if /i not "%PROCESSOR_ARCHITECTURE%"=="x86" goto NotThirtyTwoBit

rem A leftover service from an interrupted run would make "create" fail.
sc.exe query %SERVICE% >nul 2>&1
if not errorlevel 1 sc.exe delete %SERVICE% >nul

copy /y "%SOURCE%" "%TARGET%" >nul
if errorlevel 1 (
    echo quarnhold-service: cannot copy quarnhold.sys to %TARGET%.
    exit /b 1
)

sc.exe create %SERVICE% type= kernel start= demand error= normal binPath= System32\drivers\quarnhold.sys DisplayName= "Quarnhold one-shot driver"
if errorlevel 1 (
    del "%TARGET%"
    exit /b 1
)

echo Starting %SERVICE%; expect "[SC] StartService FAILED 87: The parameter is incorrect."
sc.exe start %SERVICE%

sc.exe delete %SERVICE%
del "%TARGET%"
echo Done. Look for the messages in the kernel debugger or DebugView, and in C:\Quarnhold\test.txt.
endlocal
exit /b 0

:NotThirtyTwoBit
echo quarnhold-service: this is 64-bit Windows; quarnhold.sys is a 32-bit (i386) driver.
exit /b 1
