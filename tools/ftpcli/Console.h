// The only part of the tool that differs between Linux and Windows: terminal
// detection, binary standard output, and switching on the library's
// diagnostics.
#pragma once

#include <stdio.h>

namespace console {

bool IsTerminal(FILE* stream);

// Bytes read from the server must reach a pipe or file unchanged; Windows'
// text mode would turn every LF into CR LF.
void UseBinaryMode(FILE* stream);

// Linux: the library writes its diagnostics to stderr while FTPCLIENT_DEBUG
// is set (it reads the variable on every message). Windows: they always go
// to OutputDebugStringA, shown by a debugger or by Wine with
// WINEDEBUG=+debugstr, so there is nothing to switch.
void EnableLibraryDiagnostics();

}  // namespace console
