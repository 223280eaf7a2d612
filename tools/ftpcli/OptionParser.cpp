#include "OptionParser.h"

#include <limits.h>

#include <algorithm>

#include <CLI/CLI.hpp>

#include "CommandCatalog.h"
#include "NumberText.h"

namespace {

// Where an option's description starts in the help text.
const size_t kHelpColumn = 31;
const long long kLongestTimeoutSeconds = 7 * 24 * 3600;

// CLI11's own conversions take "010" as octal, " 21" as 21, "7" for an
// unsigned char as the character '7', and "nan" as a rate; the tool's
// numbers are the strict decimal ones of NumberText.
CLI::ValidationError BadValue(const std::string& name, const std::string& value) {
    return CLI::ValidationError(name, "bad value \"" + value + "\"");
}

template <typename T>
CLI::Option* AddInteger(CLI::App& app, const std::string& name, T* field, long long minimum,
                        long long maximum, const std::string& help) {
    auto store = [name, field, minimum, maximum](const std::string& value) {
        long long number = 0;
        if (!ParseSigned(value, minimum, maximum, &number)) throw BadValue(name, value);
        *field = static_cast<T>(number);
    };
    return app.add_option_function<std::string>(name, store, help);
}

CLI::Option* AddReal(CLI::App& app, const std::string& name, std::optional<double>* field,
                     const std::string& help) {
    auto store = [name, field](const std::string& value) {
        double number = 0;
        if (!ParseReal(value, &number)) throw BadValue(name, value);
        *field = number;
    };
    return app.add_option_function<std::string>(name, store, help);
}

// Every option of the tool, writing into *options; the command and its
// arguments, in order, into *words. Options may stand before or after the
// command; after "--" every word is an argument.
void DefineOptions(CLI::App& app, Options* options, std::vector<std::string>* words) {
    app.set_help_flag();  // --help is a setting here: help on the tool or on the command given
    app.allow_extras(false);
    // On Windows CLI11 would read "/a" as an option; here it is a remote path.
    app.allow_windows_style_options(false);
    // A value given twice: the last one counts. "--debug=1" is refused.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.option_defaults()->disable_flag_override();

    app.add_option("--server", options->server,
                   "server address; two joined by \"|\" are raced (required)")
        ->type_name("ADDR[|ADDR2]");
    AddInteger(app, "--port", &options->port, 1, 65535, "server port (21)")->type_name("N");
    app.add_option("--user", options->user, "user name (ftp)")->type_name("NAME");
    app.add_flag("--tls", options->tls.explicitTls, "FTP over TLS, explicit (AUTH TLS), required");
    app.add_flag("--implicit-tls", options->tls.implicitTls,
                 "FTP over TLS, implicit (TLS from the first byte; often port 990)");
    app.add_option("--ca-file", options->tls.caFile,
                   "TLS: trust the authorities of this PEM file too")
        ->type_name("FILE");
    app.add_option("--pin-sha256", options->tls.pinSha256,
                   "TLS: accept exactly the server certificate with this SHA-256 (hex)")
        ->type_name("HEX");
    app.add_option("--password", options->password,
                   "password (default: $FTPCLI_PASSWORD, else empty)")
        ->type_name("TEXT");
    app.add_option("--local-address", options->localAddress, "local address to connect from")
        ->type_name("ADDR");
    app.add_flag("--overwrite", options->overwrite, "upload: replace a remote file that exists");
    app.add_flag("--append", options->append,
                 "upload with --overwrite: continue a shorter remote file");
    AddInteger(app, "--extra-flag", &options->extraFlag, 0, 255,
               "last argument of SetConnectParameter (1)")
        ->type_name("N");
    AddReal(app, "--rate", &options->rateMbps,
            "transfer rate limit in megabits per second (SetTransferRate)")
        ->type_name("MBPS");
    AddInteger(app, "--block-size", &options->blockSize, 0, UINT_MAX,
               "stream block size (SetBlockSize)")
        ->type_name("BYTES");
    AddInteger(app, "--stream-mode", &options->streamMode, INT_MIN, INT_MAX,
               "stream mode (SetStreamMode)")
        ->type_name("N");
    AddInteger(app, "--buffering-mode", &options->bufferingMode, INT_MIN, INT_MAX,
               "buffering mode (SetBufferingMode); 1 shows the buffering indicator")
        ->type_name("N");
    AddInteger(app, "--timeout", &options->timeoutSeconds, 1, kLongestTimeoutSeconds,
               "upload/download: longest wait for completion (600)")
        ->type_name("SECONDS");
    app.add_option("--verify", options->verifyCopy,
                   "read/play: compare every byte with this local file")
        ->type_name("LOCALCOPY");
    app.add_flag("--debug", options->debug, "show the library's diagnostics on stderr");
    app.add_flag("--quiet", options->quiet, "no progress display, even on a terminal");
    app.add_flag("-h,--help", options->showHelp, "help on the tool, or on the command given");
    app.add_flag("--version", options->showVersion, "print the version");

    app.add_option("COMMAND", *words, "the command and its arguments")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

bool IsStreamCommand(const std::string& command) {
    return command == "read" || command == "play";
}

// CLI11 reads "--name=" as "--name" and takes the next word as the value:
// "--password= size /a" would log in with the password "size". An empty value
// given with "=" is split off as a word of its own, which CLI11 keeps.
std::vector<std::string> SplitEmptyValues(int argc, const char* const argv[]) {
    std::vector<std::string> arguments(argv, argv + argc);
    for (size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() > 3 && argument.compare(0, 2, "--") == 0 &&
            argument.find('=') == argument.size() - 1) {
            arguments[i].pop_back();
            arguments.insert(arguments.begin() + (long)i + 1, std::string());
            ++i;
        }
    }
    return arguments;
}

}  // namespace

bool OptionParser::Parse(int argc, const char* const argv[], Options* options) {
    std::vector<std::string> words;
    CLI::App app("ftpcli");
    DefineOptions(app, options, &words);
    std::vector<std::string> arguments = SplitEmptyValues(argc, argv);
    arguments.erase(arguments.begin());                // the program's name
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
    try {
        app.parse(arguments);
    } catch (const CLI::ParseError& error) {
        return Fail(error.what());
    }
    if (words.empty()) {
        if (options->showHelp || options->showVersion) return true;
        return Fail("no command given");
    }
    return TakeCommand(words, options) && CheckCommand(*options);
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
    Options unused;
    std::vector<std::string> words;
    CLI::App app("ftpcli");
    DefineOptions(app, &unused, &words);
    CLI::Formatter formatter;
    formatter.column_width(kHelpColumn);
    const CLI::App& described = app;
    std::vector<const CLI::Option*> options =
        described.get_options([](const CLI::Option* option) { return option->nonpositional(); });
    return formatter.make_group("Options", false, options);
}
