@echo off
rem Frames every .bmp file in this folder with vandrel, skipping the
rem outputs of earlier runs. cmd's *.bmp also matches names such as
rem photo.bmp_old through their short 8.3 names: only a real .bmp is taken.
setlocal DisableDelayedExpansion
for %%f in (*.bmp) do (
  set "name=%%f"
  call :earlier_output
  if /i "%%~xf"==".bmp" if not defined output vandrel -i "%%f" -o "%%~nf"
)
exit /b

rem Sets "output" when the name starts as an earlier output's does:
rem digits, "x", digits, "_".
:earlier_output
set "output="
for /f "tokens=1 delims=_" %%a in ("1%name%") do set "head=%%a"
set "width=" & set "height="
for /f "tokens=1* delims=x" %%a in ("%head%") do (set "width=%%a" & set "height=%%b")
if not "%width%x%height%"=="%head%" exit /b
if "%width%"=="1" exit /b
if "%height%"=="" exit /b
for /f "delims=0123456789" %%a in ("%width%%height%") do exit /b
set "output=1"
