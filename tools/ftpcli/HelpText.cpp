#include "HelpText.h"

#include <ctype.h>
#include <stdio.h>

#include "CommandCatalog.h"
#include "OptionParser.h"

namespace {

// The project's version (CMakeLists.txt), given by the build.
const char kVersion[] = FTPCLI_VERSION;

const char kExitStatuses[] =
    "Exit status:\n"
    "   0  success\n"
    "   1  the operation failed and the library gave no error code\n"
    "   2  usage error\n"
    "   3  the library refused a call at once (a setting, or the start of a transfer)\n"
    "   4  --verify found bytes that differ from the local copy, or play got\n"
    "      another length than the file's size allows\n"
    "   5  a local file could not be read or written by the tool\n"
    "   6  no completion within --timeout\n"
    "   7  no client object or message window could be created\n"
    "  11..18  the library's error notice, 10 + its FTPE_ code: 11 local file error,\n"
    "      12 not connected, 13 login failed, 14 time-out, 15 socket error,\n"
    "      16 bad reply, 17 transfer failed, 18 out of memory\n"
    " 130  interrupted\n";

std::string CommandLine(const CommandInfo& command) {
    return std::string("ftpcli [OPTIONS] ") + command.name + " " + command.synopsis;
}

}  // namespace

std::string HelpText::Tool() {
    std::string text =
        "Usage: ftpcli [OPTIONS] COMMAND [ARGUMENTS]\n"
        "A command-line host of the FTP client library. Remote paths are absolute\n"
        "(\"/dir/file\").\n\nCommands:\n";
    for (const CommandInfo& command : CommandCatalog()) {
        char line[160];
        snprintf(line, sizeof line, "  %-8s %-21s %s\n", command.name, command.synopsis,
                 command.summary);
        text += line;
    }
    text += OptionParser::DescribeOptions();
    text += "\n";
    text += kExitStatuses;
    text += "\n\"ftpcli COMMAND --help\" shows the help of one command.\n";
    return text;
}

std::string HelpText::Command(const CommandInfo& command) {
    std::string summary = command.summary;
    summary[0] = (char)toupper((unsigned char)summary[0]);
    return "Usage: " + CommandLine(command) + "\n" + summary + ".\n\n" + command.details;
}

std::string HelpText::Version() {
    return std::string("ftpcli ") + kVersion + "\n";
}
