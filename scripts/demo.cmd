@echo off
rem Quick start on Windows: starts the emulated building (bcusim) on the
rem virtual line \\.\pipe\b1 and runs the demo session of eibhost on it:
rem gates updating live, reads, writes, BCU cells, and a clean stop.
rem Exits with eibhost's status.
rem   The programs (bcusim.exe, eibhost.exe, qeleib.dll, HUXTOR.dll) are taken
rem   from QEL_BIN when set, else build\windows-i686\bin, else beside this file;
rem   the scenario and the session from the checkout, else from scenarios\ and
rem   examples\ beside this file (the unpacked zip).
setlocal EnableExtensions
set "here=%~dp0"
set "root=%here%.."
set "bin=%QEL_BIN%"
if "%bin%"=="" if exist "%root%\build\windows-i686\bin\eibhost.exe" set "bin=%root%\build\windows-i686\bin"
if "%bin%"=="" set "bin=%here%."
if not exist "%bin%\eibhost.exe" goto no_programs
if not exist "%bin%\bcusim.exe" goto no_programs
set "scenario=%root%\tools\bcusim\scenarios\building.toml"
set "session=%root%\tools\eibhost\examples\building_demo.toml"
if not exist "%scenario%" set "scenario=%here%scenarios\building.toml"
if not exist "%session%" set "session=%here%examples\building_demo.toml"

set "work=%TEMP%\qeleib-demo-%RANDOM%%RANDOM%"
mkdir "%work%"
if not exist "%work%\" exit /b 1

rem bcusim ends on its own after two minutes should this script be cut short.
start "bcusim" /b "%bin%\bcusim.exe" --line \\.\pipe\b1 --ready-file "%work%\ready" --duration 120 "%scenario%" >"%work%\bcusim.log" 2>&1

rem bcusim writes the ready file once it serves the line.
set tries=0
:wait_ready
if exist "%work%\ready" goto ready
set /a tries+=1
if %tries% gtr 60 goto not_ready
ping -n 2 127.0.0.1 >nul 2>&1
goto wait_ready

:ready
"%bin%\eibhost.exe" --port \\.\pipe\b1 --script "%session%" %*
set status=%errorlevel%
echo.
echo demo: what crossed the bus (bcusim):
taskkill /f /im bcusim.exe >nul 2>&1
type "%work%\bcusim.log"
rmdir /s /q "%work%" >nul 2>&1
exit /b %status%

:not_ready
echo demo: bcusim not ready after 60 s: 1>&2
type "%work%\bcusim.log" 1>&2
taskkill /f /im bcusim.exe >nul 2>&1
rmdir /s /q "%work%" >nul 2>&1
exit /b 1

:no_programs
echo demo: eibhost.exe and bcusim.exe not found in "%bin%": build the windows-i686 preset, 1>&2
echo or set QEL_BIN to the folder that holds them with qeleib.dll and HUXTOR.dll. 1>&2
exit /b 3
