#include "OptionParser.h"

#include <limits.h>

#include <algorithm>

#include "CommandCatalog.h"
#include "NumberText.h"

namespace {

// Applies a value to the options; false when the value is not acceptable.
typedef bool (*ApplyValue)(Options& options, const std::string& value);

struct OptionEntry {
    const char* name;
    const char* valueName;  // null: a switch without a value
    ApplyValue apply;
    const char* help;
};

// Where an option's description starts in the help text.
const size_t kHelpColumn = 31;
const long long kLongestTimeoutSeconds = 7 * 24 * 3600;

template <bool Options::*Field>
bool SetFlag(Options& options, const std::string&) {
    options.*Field = true;
    return true;
}

template <std::string Options::*Field>
bool SetText(Options& options, const std::string& value) {
    options.*Field = value;
    return true;
}

template <typename T, T Options::*Field, long long Minimum, long long Maximum>
bool SetInteger(Options& options, const std::string& value) {
    long long number = 0;
    if (!ParseSigned(value, Minimum, Maximum, &number)) return false;
    options.*Field = static_cast<T>(number);
    return true;
}

template <std::optional<double> Options::*Field>
bool SetReal(Options& options, const std::string& value) {
    double number = 0;
    if (!ParseReal(value, &number)) return false;
    options.*Field = number;
    return true;
}

const OptionEntry kOptionEntrys[] = {
    {"--server", "ADDR[|ADDR2]", SetText<&Options::server>,
     "server address; two joined by \"|\" are raced (required)"},
    {"--port", "N", SetInteger<unsigned short, &Options::port, 1, 65535>, "server port (21)"},
    {"--user", "NAME", SetText<&Options::user>,
     "user name (ftp); servers that do not name themselves Microsoft\n"
     "are always logged in as \"ftp\""},
    {"--password", "TEXT", SetText<&Options::password>,
     "password (default: $FTPCLI_PASSWORD, else empty)"},
    {"--local-address", "ADDR", SetText<&Options::localAddress>, "local address to connect from"},
    {"--overwrite", nullptr, SetFlag<&Options::overwrite>,
     "upload: replace a remote file that exists"},
    {"--append", nullptr, SetFlag<&Options::append>,
     "upload with --overwrite: continue a shorter remote file"},
    {"--extra-flag", "N", SetInteger<unsigned char, &Options::extraFlag, 0, 255>,
     "last argument of SetConnectParameter (1)"},
    {"--rate", "MBPS", SetReal<&Options::rateMbps>,
     "transfer rate limit in megabits per second (SetTransferRate)"},
    {"--block-size", "BYTES", SetInteger<std::optional<unsigned>, &Options::blockSize, 0, UINT_MAX>,
     "stream block size (SetBlockSize)"},
    {"--stream-mode", "N", SetInteger<std::optional<int>, &Options::streamMode, INT_MIN, INT_MAX>,
     "stream mode (SetStreamMode)"},
    {"--buffering-mode", "N",
     SetInteger<std::optional<int>, &Options::bufferingMode, INT_MIN, INT_MAX>,
     "buffering mode (SetBufferingMode); 1 shows the buffering indicator"},
    {"--timeout", "SECONDS",
     SetInteger<unsigned, &Options::timeoutSeconds, 1, kLongestTimeoutSeconds>,
     "upload/download: longest wait for completion (600)"},
    {"--verify", "LOCALCOPY", SetText<&Options::verifyCopy>,
     "read/play: compare every byte with this local file"},
    {"--debug", nullptr, SetFlag<&Options::debug>, "show the library's diagnostics on stderr"},
    {"--quiet", nullptr, SetFlag<&Options::quiet>, "no progress display, even on a terminal"},
    {"--help", nullptr, SetFlag<&Options::showHelp>, "help on the tool, or on the command given"},
    {"--version", nullptr, SetFlag<&Options::showVersion>, "print the version"},
};

const OptionEntry* FindOption(const std::string& name) {
    if (name == "-h") return FindOption("--help");
    for (const OptionEntry& entry : kOptionEntrys) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

bool IsOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

bool IsStreamCommand(const std::string& command) {
    return command == "read" || command == "play";
}

}  // namespace

bool OptionParser::Parse(int argc, const char* const argv[], Options* options) {
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && IsOption(argument)) {
            if (!ApplyOption(argument, argc, argv, &i, options)) return false;
        } else {
            words.push_back(argument);
        }
    }
    if (words.empty()) {
        if (options->showHelp || options->showVersion) return true;
        return Fail("no command given");
    }
    return TakeCommand(words, options) && CheckCommand(*options);
}

bool OptionParser::ApplyOption(const std::string& argument, int argc, const char* const argv[],
                               int* index, Options* options) {
    size_t equals = argument.find('=');
    std::string name = argument.substr(0, equals);
    const OptionEntry* entry = FindOption(name);
    if (entry == nullptr) return Fail("unknown option " + name);
    std::string value;
    if (entry->valueName == nullptr) {
        if (equals != std::string::npos) return Fail(name + " takes no value");
    } else if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
    } else if (*index + 1 < argc) {
        value = argv[++*index];
    } else {
        return Fail(name + " needs a value: " + entry->valueName);
    }
    if (!entry->apply(*options, value)) return Fail("bad value for " + name + ": \"" + value + "\"");
    return true;
}

// "help COMMAND" is COMMAND's help; otherwise the first word is the command.
bool OptionParser::TakeCommand(const std::vector<std::string>& words, Options* options) {
    size_t first = 0;
    if (words[0] == "help") {
        options->showHelp = true;
        if (words.size() > 2) return Fail("help takes at most one command");
        if (words.size() == 1) return true;
        first = 1;
    }
    options->command = words[first];
    options->arguments.assign(words.begin() + (long)first + 1, words.end());
    if (CommandCatalog::Find(options->command) == nullptr) {
        return Fail("unknown command \"" + options->command + "\"");
    }
    return true;
}

bool OptionParser::CheckCommand(const Options& options) {
    if (options.showHelp || options.showVersion) return true;
    const CommandInfo* command = CommandCatalog::Find(options.command);
    int count = (int)options.arguments.size();
    if (count < command->minArguments || count > command->maxArguments) {
        return Fail(std::string("usage: ftpcli ") + command->name + " " + command->synopsis);
    }
    if (options.server.empty()) return Fail("--server is required");
    if (!options.verifyCopy.empty() && !IsStreamCommand(options.command)) {
        return Fail("--verify is for read and play only");
    }
    return true;
}

bool OptionParser::Fail(const std::string& error) {
    m_Error = error;
    return false;
}

std::string OptionParser::DescribeOptions() {
    std::string text;
    for (const OptionEntry& entry : kOptionEntrys) {
        std::string left = std::string("  ") + entry.name;
        if (entry.valueName != nullptr) left += std::string(" ") + entry.valueName;
        left.resize(std::max<size_t>(left.size() + 1, kHelpColumn), ' ');
        std::string help = entry.help;
        for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
            help.insert(at + 1, std::string(kHelpColumn, ' '));
        }
        text += left + help + "\n";
    }
    return text;
}
