#include "client/CallOutcomes.h"

#include "client/CFtpClient.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace {

const char* const kSentences[] = {
    "No error.",
    "A local file could not be opened, read or written.",
    "No connection to the server could be made or kept.",
    "The server refused the login.",
    "The server did not answer in time.",
    "Waiting for the network failed.",
    "The server refused the request or gave a reply that cannot be used.",
    "The transfer failed midway.",
    "Not enough memory.",
    "The library refused the call: another operation runs on this object, or an argument is not valid.",
};

}  // namespace

const char* CCallOutcomes::Sentence(int code) {
    if (code < 0 || code >= (int)(sizeof kSentences / sizeof kSentences[0])) return "Unknown error.";
    return kSentences[code];
}

CCallOutcomes::Entry* CCallOutcomes::Find() {
    plat::DWORD self = plat::GetCurrentThreadId();
    for (Entry& entry : m_Entries) {
        if (entry.thread == self) return &entry;
    }
    return nullptr;
}

void CCallOutcomes::Note(int code, const char* reason, std::string&& key, std::string&& listing) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Entry* entry = Find();
    if (entry == nullptr) {
        // A free place, else the one of the thread that called least recently.
        entry = &m_Entries[0];
        for (Entry& other : m_Entries) {
            if (other.lastUse < entry->lastUse) entry = &other;
        }
        entry->thread = plat::GetCurrentThreadId();
    }
    entry->lastUse = ++m_nUses;
    entry->code = code;
    snprintf(entry->reason, sizeof entry->reason, "%s", reason != nullptr ? reason : "");
    entry->key = std::move(key);
    entry->listing = std::move(listing);
}

int CCallOutcomes::Code() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Entry* entry = Find();
    return entry != nullptr ? entry->code : 0;
}

const char* CCallOutcomes::Text() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Entry* entry = Find();
    if (entry == nullptr) return Sentence(0);
    return entry->reason[0] != '\0' ? entry->reason : Sentence(entry->code);
}

bool CCallOutcomes::TakeListing(const std::string& key, std::string* listing) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Entry* entry = Find();
    if (entry == nullptr || entry->key.empty() || entry->key != key) return false;
    *listing = std::move(entry->listing);
    entry->key.clear();
    entry->listing.clear();
    return true;
}

// A reason explains a failure only. The session and the workers give it as
// a clause ("the server refused TLS"); the host gets a sentence.
CallOutcome::CallOutcome(CFtpClient& client, CCallOutcomes& outcomes)
    : m_Client(client), m_Outcomes(outcomes) {
    m_Client.AddRef();
}

CallOutcome::~CallOutcome() {
    m_Outcomes.Note(m_nCode, m_szReason, std::move(m_Key), std::move(m_Listing));
    m_Client.ReleaseRef();
}

void CallOutcome::Set(int code, const char* reason) {
    m_nCode = code;
    m_szReason[0] = '\0';
    if (code == 0 || reason == nullptr || reason[0] == '\0') return;
    size_t length = strlen(reason);
    bool ended = reason[length - 1] == '.';
    snprintf(m_szReason, sizeof m_szReason, "%c%s%s", toupper((unsigned char)reason[0]), reason + 1,
             ended ? "" : ".");
}
