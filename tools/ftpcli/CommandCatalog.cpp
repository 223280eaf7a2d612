#include "CommandCatalog.h"

namespace {

const CommandInfo kCommands[] = {
    {"upload", "LOCAL [REMOTE]", 1, 2, "send a local file to the server",
     "Sends LOCAL to the server as REMOTE (default: LOCAL's file name in the root\n"
     "directory). A file already there is replaced only with --overwrite; with\n"
     "--append as well, the upload continues a shorter remote file where it ends.\n"
     "Shows a progress bar on a terminal and waits for completion (--timeout).\n"},
    {"download", "REMOTE [LOCAL]", 1, 2, "fetch a remote file",
     "Fetches REMOTE into LOCAL (default: REMOTE's file name in the current\n"
     "folder). LOCAL is created or emptied first. Shows a progress bar on a\n"
     "terminal and waits for completion (--timeout).\n"},
    {"list", "DIR [PATTERN]", 1, 2, "list a remote directory",
     "Prints the server's listing of DIR. Without PATTERN everything in DIR is\n"
     "listed (an empty pattern is passed: the library's own default \"*.*\" is a\n"
     "wildcard that many servers do not expand). A PATTERN given is passed as\n"
     "it is. The whole listing is printed, however long.\n"},
    {"size", "REMOTE", 1, 1, "print the size of a remote file in bytes",
     "Prints the size of REMOTE, in full. Fails (status 1) when the server\n"
     "gives none.\n"},
    {"delete", "REMOTE", 1, 1, "delete a remote file", "Deletes REMOTE.\n"},
    {"mkdir", "REMOTE", 1, 1, "create a remote directory",
     "Creates the directory REMOTE (an existing one counts as success).\n"},
    {"rmdir", "REMOTE", 1, 1, "remove an empty remote directory",
     "Removes the directory REMOTE.\n"},
    {"read", "REMOTE OFFSET LENGTH", 3, 3, "write a byte range of a remote file to stdout",
     "Reads LENGTH bytes of REMOTE from OFFSET through stream reading, in pieces\n"
     "of 64 KiB, and writes them to stdout. Stops early at the end of the file.\n"
     "With --verify LOCALCOPY every byte is compared with the local copy.\n"},
    {"play", "REMOTE", 1, 1, "read a remote file as a media player does",
     "Queries the size of REMOTE, then reads it as a player does: 64 KiB pieces\n"
     "from offset 0, small jumps back and forward, a far seek, a piece at the\n"
     "end, and the head at offset 0 again. Prints one line per read: position,\n"
     "length, bytes got, the seek flag, where the bytes came from as far as the\n"
     "flag tells, and the time the read took. With --verify LOCALCOPY every byte\n"
     "is compared with the local copy.\n"},
    {"help", "[COMMAND]", 0, 1, "show help on the tool or on one command",
     "Same as --help, or COMMAND --help.\n"},
};

}  // namespace

const CommandInfo* CommandCatalog::Find(const std::string& name) {
    for (const CommandInfo& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

const CommandInfo* CommandCatalog::begin() {
    return kCommands;
}

const CommandInfo* CommandCatalog::end() {
    return kCommands + sizeof kCommands / sizeof kCommands[0];
}
