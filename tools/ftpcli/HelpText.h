// The texts of --help and --version.
#pragma once

#include <string>

struct CommandInfo;

class HelpText {
public:
    static std::string Tool();
    static std::string Command(const CommandInfo& command);
    static std::string Version();
};
