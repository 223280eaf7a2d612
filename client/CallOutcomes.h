// The outcome of the last call each host thread made on one client object
// (GetLastErrorCode, GetLastErrorText), and the listing a thread's buffer
// could not take (ListDirectoryAll), kept for that thread's next call.
//
// Several host threads may call one object; each asks about its own last
// call. The table remembers the kThreads threads that called most
// recently: a thread that has not called for longer (or never) reads 0.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>

#include "IFtpClient.h"
#include "platform/Platform.h"
#include "session/FieldSizes.h"

class CFtpClient;

class CCallOutcomes {
public:
    static const size_t kThreads = 16;

    // The calling thread's last call ended with code (and reason, when not
    // empty); what the thread kept before goes, listing (under key) is kept
    // when key is not empty.
    void Note(int code, const char* reason, std::string&& key, std::string&& listing);
    int Code();
    // The reason given with the code, else the code's sentence. Valid until
    // the calling thread's next call (or until kThreads other threads have
    // called since, which reuses its place).
    const char* Text();
    // The listing the calling thread kept under key, taken out.
    bool TakeListing(const std::string& key, std::string* listing);

    // "No error." and the like, for 0, the FTPE_ codes and FTPE_REFUSED.
    static const char* Sentence(int code);

private:
    struct Entry {
        plat::DWORD thread = 0;  // plat::GetCurrentThreadId(); 0: a free place
        uint64_t lastUse = 0;
        int code = 0;
        char reason[kErrorTextSize] = {};
        std::string key;
        std::string listing;
    };
    // Under m_Mutex: the calling thread's place, or null.
    Entry* Find();

    std::mutex m_Mutex;
    Entry m_Entries[kThreads];
    uint64_t m_nUses = 0;
};

// One host call's outcome, noted for the calling thread when the call
// returns. Until Set, the call counts as refused by the library
// (FTPE_REFUSED): a slot's early returns are refused arguments or a busy
// object. It holds a reference on the client for the call: another host
// thread may Release the object meanwhile, and the references the call
// drops on its way out may be the object's last; the outcome is noted
// before this one goes.
class CallOutcome {
public:
    CallOutcome(CFtpClient& client, CCallOutcomes& outcomes);
    ~CallOutcome();
    CallOutcome(const CallOutcome&) = delete;
    CallOutcome& operator=(const CallOutcome&) = delete;

    // reason: the record's text for it (may be empty or null).
    void Set(int code, const char* reason = nullptr);
    int Code() const { return m_nCode; }
    void KeepListing(std::string&& key, std::string&& listing) {
        m_Key = std::move(key);
        m_Listing = std::move(listing);
    }

private:
    CFtpClient& m_Client;
    CCallOutcomes& m_Outcomes;
    int m_nCode = FTPE_REFUSED;
    char m_szReason[kErrorTextSize] = {};
    std::string m_Key;
    std::string m_Listing;
};
