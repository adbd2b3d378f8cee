@echo off
rem tessacom-service.cmd: installs tessacom, the network serial port driver, as a legacy kernel
rem service, starts and stops it, and removes it. Run it from a command prompt opened with
rem "Run as administrator", and on 64-bit Windows from the 64-bit one (not SysWOW64's cmd.exe).
rem
rem   tessacom-service install [IMAGE [REGFILE]]
rem       copies IMAGE (default: x64\tessacom.sys or i386\tessacom.sys beside this script, as the
rem       machine's Windows is 64- or 32-bit) to %SystemRoot%\System32\drivers, creates the
rem       service tessacom (kernel driver, automatic start after Tcpip) and imports REGFILE
rem       (default: tessacom.reg beside this script), which holds the service's values and the
rem       ports. Start it with "start", or restart Windows.
rem   tessacom-service start      starts the driver: its COM ports appear
rem   tessacom-service stop       stops it (close every program using its ports first)
rem   tessacom-service status     the service's state and configuration
rem   tessacom-service remove     stops it, deletes the service, its event-log source and the
rem                               image in System32\drivers
setlocal EnableExtensions
set "SERVICE=tessacom"
set "HERE=%~dp0"
set "TARGET=%SystemRoot%\System32\drivers\tessacom.sys"
set "EVENTLOG_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\tessacom"

if defined PROCESSOR_ARCHITEW6432 goto wow64

if /i "%~1"=="install" goto install
if /i "%~1"=="start" goto start
if /i "%~1"=="stop" goto stop
if /i "%~1"=="status" goto status
if /i "%~1"=="remove" goto remove
echo usage: %~nx0 install [IMAGE [REGFILE]] ^| start ^| stop ^| status ^| remove
exit /b 2

:install
set "ARCH="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "ARCH=x64"
if /i "%PROCESSOR_ARCHITECTURE%"=="x86" set "ARCH=i386"
set "IMAGE=%~2"
set "REGFILE=%~3"
if not defined IMAGE if not defined ARCH goto no_image_for_machine
if not defined IMAGE set "IMAGE=%HERE%%ARCH%\tessacom.sys"
if not defined REGFILE set "REGFILE=%HERE%tessacom.reg"
if not exist "%IMAGE%" goto missing_image
if not exist "%REGFILE%" goto missing_regfile
sc query %SERVICE% >nul 2>&1
if not errorlevel 1 goto already_installed
copy /y "%IMAGE%" "%TARGET%" >nul
if errorlevel 1 goto failed
sc create %SERVICE% type= kernel start= auto error= normal binPath= "%TARGET%" depend= Tcpip DisplayName= "tessacom network serial ports"
if errorlevel 1 goto failed
reg import "%REGFILE%"
if errorlevel 1 goto failed
echo %SERVICE% is installed from %IMAGE% with the ports of %REGFILE%.
echo Start it with "%~nx0 start", or restart Windows.
exit /b 0

:start
sc start %SERVICE%
if errorlevel 1 goto failed
exit /b 0

:stop
sc stop %SERVICE%
if errorlevel 1 goto failed
exit /b 0

:status
sc query %SERVICE%
if errorlevel 1 goto failed
sc qc %SERVICE%
exit /b 0

:remove
sc query %SERVICE% >nul 2>&1
if errorlevel 1 goto not_installed
sc stop %SERVICE% >nul 2>&1
sc delete %SERVICE%
if errorlevel 1 goto failed
reg delete "%EVENTLOG_KEY%" /f >nul 2>&1
del "%TARGET%" >nul 2>&1
if exist "%TARGET%" echo %TARGET% is still in use: it goes when Windows restarts and can then be deleted.
echo %SERVICE% is removed.
exit /b 0

:wow64
echo %~nx0: this is the 32-bit command prompt of a 64-bit Windows; run the script from the
echo 64-bit one, %SystemRoot%\System32\cmd.exe, so that System32 is the real one.
exit /b 1

:no_image_for_machine
echo %~nx0: there is no tessacom.sys for %PROCESSOR_ARCHITECTURE% Windows: only for x64 (AMD64)
echo and 32-bit x86. Name an image to install it anyway.
exit /b 1

:missing_image
echo %~nx0: no image %IMAGE%
exit /b 1

:missing_regfile
echo %~nx0: no registry file %REGFILE%
exit /b 1

:already_installed
echo %~nx0: the service %SERVICE% exists already; "%~nx0 remove" first.
exit /b 1

:not_installed
echo %~nx0: there is no service %SERVICE%.
exit /b 1

:failed
echo %~nx0 %~1: failed, error %errorlevel% (5 is "access denied": run it as administrator).
exit /b 1
