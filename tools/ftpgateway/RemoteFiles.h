// What the gateway knows about a remote file before it answers: its size,
// or why there is none. Sizes are kept for a few seconds, so that a
// player's many range requests cost one SIZE command, not one each; at most
// kKeptSizes of them, the one kept longest going first.
//
// The library gives the size in full (GetRemoteFileSize64), and tells a
// file the server has not ("no size", and no error) from a server that
// could not be reached or failed (GetLastErrorCode).
#pragma once

#include <stdint.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "ClientPool.h"

struct FileFacts {
    enum Kind {
        kFile,          // size is the file's size
        kMissing,       // the server has no such file (or will not size it)
        kServerFailed,  // the server could not be reached or failed; ftpError says how
    };
    Kind kind = kMissing;
    uint64_t size = 0;
    int ftpError = 0;
};

class RemoteFiles {
public:
    // Players ask for a handful of files at a time; a client asking for ever
    // new names must not make the gateway grow.
    static constexpr size_t kKeptSizes = 256;

    explicit RemoteFiles(ClientPool& pool, std::chrono::seconds keep = std::chrono::seconds(10))
        : m_Pool(pool), m_Keep(keep) {}

    FileFacts Describe(const std::string& path);
    // What is kept of path, without asking the server.
    std::optional<FileFacts> Known(const std::string& path);

private:
    // Under m_Mutex: room for one more, expired ones and then the oldest out.
    void MakeRoom(std::chrono::steady_clock::time_point now);

    struct Kept {
        FileFacts facts;
        std::chrono::steady_clock::time_point until;
    };

    ClientPool& m_Pool;
    const std::chrono::seconds m_Keep;
    std::mutex m_Mutex;
    std::map<std::string, Kept> m_Kept;
};
