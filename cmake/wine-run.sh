#!/bin/sh
# Runs a Windows program under Wine: the emulator of the Windows build's tests.
#
# The first Wine program starts the wine server and Wine's own services, and
# they inherit its standard streams. A test that reads the program's output
# through a pipe then waits for that pipe to close: until the server ends, 3 s
# after its last program, after which the next program starts a new server.
# That costs seconds per run. So the server is started here with its streams
# elsewhere, kept 30 s after its last program, and the services are started by
# a program of our own whose streams lead nowhere.
if wineserver -p30 </dev/null >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1
fi
exec "$(command -v wine64 || command -v wine)" "$@"
