// Turns the command line into Options, with CLI11. Options may come before or
// after the command, as "--name value" or "--name=value"; "--" ends them.
#pragma once

#include <string>
#include <vector>

#include "Options.h"

class OptionParser {
public:
    // False on a usage error, which Error() then describes. Options the
    // command line does not give keep the values *options already holds.
    bool Parse(int argc, const char* const argv[], Options* options);
    const std::string& Error() const { return m_Error; }

    // The options part of the tool's help ("Options:" and one option a line).
    static std::string DescribeOptions();

private:
    bool TakeCommand(const std::vector<std::string>& words, Options* options);
    bool CheckCommand(const Options& options);
    bool Fail(const std::string& error);

    std::string m_Error;
};
