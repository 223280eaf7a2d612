// The commands the tool knows: their arguments and their help, kept in one
// table that both the option parser and the help text read.
#pragma once

#include <string>

struct CommandInfo {
    const char* name;
    const char* synopsis;  // the arguments, e.g. "LOCAL [REMOTE]"
    int minArguments;
    int maxArguments;
    const char* summary;  // one line for the tool's help
    const char* details;  // the rest of the command's own help
};

class CommandCatalog {
public:
    // Null when there is no such command.
    static const CommandInfo* Find(const std::string& name);
    static const CommandInfo* begin();
    static const CommandInfo* end();
};
