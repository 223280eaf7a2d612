// What the gateway knows about a remote file before it answers: its size,
// or why there is none. Sizes are kept for a few seconds, so that a
// player's many range requests cost one SIZE command, not one each; at most
// kKeptSizes of them, the one kept longest going first.
//
// GetRemoteFileSize returns an int: a file of 2 GiB or more comes back as
// 2147483647. Reads reach up to 4 GiB - 1, and a read across the end of the
// file returns fewer bytes, so the true end of such a file is found by
// reading: a binary search over [2 GiB - 1, 4 GiB) with one-byte reads,
// confirmed by a two-byte read that gets exactly one byte. A file whose end
// cannot be confirmed that way (4 GiB or more, or reads refused) has no
// size the gateway can stand behind, and it is not served.
#pragma once

#include <stdint.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "ClientPool.h"

struct FileFacts {
    enum Kind {
        kFile,          // size is the file's size
        kMissing,       // the server has no such file (or will not size it)
        kServerFailed,  // the server could not be reached or failed; ftpError says how
        kUnknownEnd,    // 2 GiB or more and its end could not be confirmed
        kBusy,          // 2 GiB or more, and no client object came free to find its end
    };
    Kind kind = kMissing;
    uint64_t size = 0;
    int ftpError = 0;
    bool foundByReading = false;
};

class RemoteFiles {
public:
    // Players ask for a handful of files at a time; a client asking for ever
    // new names must not make the gateway grow.
    static const size_t kKeptSizes = 256;

    explicit RemoteFiles(ClientPool& pool, std::chrono::seconds keep = std::chrono::seconds(10))
        : m_Pool(pool), m_Keep(keep) {}

    FileFacts Describe(const std::string& path);

private:
    FileFacts FindEndByReading(const std::string& path);
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
