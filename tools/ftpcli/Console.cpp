#include "Console.h"

#include <stdlib.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace console {

#ifdef _WIN32

bool IsTerminal(FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

void UseBinaryMode(FILE* stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

void EnableLibraryDiagnostics() {}

#else

bool IsTerminal(FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

void UseBinaryMode(FILE*) {}

void EnableLibraryDiagnostics() {
    setenv("FTPCLIENT_DEBUG", "1", 1);
}

#endif

}  // namespace console
