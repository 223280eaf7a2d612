// ftpcli: a command-line host of the FTP client library. It uses the
// library only as any host does: the public header, the factory and the
// interface's operations (version 2 of the interface, from a library of
// version 1.1 or later), with a message window for the notifications.
#include <stdio.h>
#include <stdlib.h>

#include "ClientHandle.h"
#include "CommandCatalog.h"
#include "Commands.h"
#include "Console.h"
#include "ExitStatus.h"
#include "HelpText.h"
#include "NotificationPump.h"
#include "OptionParser.h"

namespace {

int ShowHelp(const Options& options) {
    const CommandInfo* command = CommandCatalog::Find(options.command);
    fputs(command != nullptr ? HelpText::Command(*command).c_str() : HelpText::Tool().c_str(),
          stdout);
    return kExitOk;
}

// The window is made before the client and goes after it: the library may
// post to it until the client object is released.
int RunCommand(const Options& options) {
    if (options.debug) console::EnableLibraryDiagnostics();
    NotificationPump pump;
    if (pump.Window() == nullptr) {
        return ReportFailure(kExitSetupFailed, "cannot create the message window");
    }
    ClientHandle client;
    if (client.get() == nullptr) {
        return ReportFailure(kExitSetupFailed,
                             "the library gave no client object of version 2 of its interface "
                             "(it is older than 1.1)");
    }
    std::string refused;
    if (!client.Configure(options, pump.Window(), &refused)) {
        return ReportFailure(kExitRefused, "the library refused " + refused);
    }
    NotificationPump::CatchInterrupts();
    return Commands(options, *client.get(), pump).Run();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const char* password = getenv("FTPCLI_PASSWORD")) options.password = password;
    OptionParser parser;
    if (!parser.Parse(argc, argv, &options)) {
        ReportFailure(kExitUsage, parser.Error());
        fputs("Try \"ftpcli --help\".\n", stderr);
        return kExitUsage;
    }
    if (options.showHelp) return ShowHelp(options);
    if (options.showVersion) {
        fputs(HelpText::Version().c_str(), stdout);
        return kExitOk;
    }
    return RunCommand(options);
}
