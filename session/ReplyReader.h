// The one way replies on the control connection are read. Received bytes
// are split into lines; a reply is complete once its final line has ended:
// a line of three digits and a blank (or nothing) after them, which for a
// multi-line reply ("150-...") is the line that starts with the same code
// and a blank. Until then the text is kept, however it was cut into
// receives. A reply is judged by that code only: digits inside a reply's
// message (a file name, a byte count) are never a code.
//
// One reader per control connection, kept by the session object and used
// by whichever thread owns the connection at the time (the session between
// operations, a worker during one), so that text one of them received and
// did not judge yet belongs to the next.
#pragma once

#include <stddef.h>

#include <deque>

#include "session/FieldSizes.h"

struct FtpReply {
    int code;                   // 100 to 599
    char text[kTextFieldSize];  // the final line without its line end, cut to 259 characters

    bool IsPreliminary() const { return code < 200; }
    bool IsPositive() const { return code >= 200 && code < 300; }
    bool IsIntermediate() const { return code >= 300 && code < 400; }
    bool IsNegative() const { return code >= 400; }
};

class CReplyReader {
public:
    // Complete replies waiting to be taken; beyond this the oldest go (a
    // server that floods the connection with replies nobody asked for).
    static constexpr size_t kMaxWaitingReplies = 32;

    CReplyReader();

    // Forgets everything: a new control connection.
    void Clear();
    // Adds received bytes. NUL bytes are dropped: on the control connection
    // they are padding, never part of a reply.
    void Append(const char* bytes, size_t length);
    // Takes the oldest complete reply. False when none is complete yet.
    bool Next(FtpReply* reply);
    // Complete replies not yet taken.
    size_t WaitingCount() const { return m_Waiting.size(); }
    // Text of a reply that has not ended yet is held.
    bool IsMidReply() const { return m_nLineLength > 0 || m_nMultiLineCode != 0; }

private:
    void EndLine();

    std::deque<FtpReply> m_Waiting;
    char m_szLine[kTextFieldSize];  // the line being received, its first 259 characters
    size_t m_nLineLength;           // characters received in it, counted beyond the field too
    int m_nMultiLineCode;           // code of a multi-line reply being received; 0 for none
};
