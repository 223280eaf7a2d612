// Control-connection reply text: pieces from successive receives are
// appended to a fixed field until a step can judge them. Replies are
// recognised by substring search for a three-digit code and a blank.
#pragma once

#include <stddef.h>

// Appends the pieceLength received bytes of piece to the NUL-terminated
// text in field (fieldSize bytes); a NUL byte among them is kept as "?".
// When the text would not fit, the oldest text is dropped so the newest
// (where a reply's line feed is) is kept; a single line longer than the
// field keeps its first quarter-field (its code and the numbers after it)
// and its newest bytes.
void AppendReplyPiece(char* field, size_t fieldSize, const char* piece, size_t pieceLength);

// True when text contains code (e.g. "226 ").
bool HasReplyCode(const char* text, const char* code);
bool HasLineFeed(const char* text);
// True when a line of text (its start, or the start after a line feed)
// begins with code: the reply's own code, never the same digits inside a
// reply's message (a file name, a byte count).
bool HasReplyLine(const char* text, const char* code);
// The code of the newest whole reply in text: of the lines ending in a line
// feed, the last that starts with three digits and a blank (the last line
// of a multi-line reply). Digits inside a reply's message (a file name, a
// byte count) are no code. 0 when text holds no whole reply yet.
int LastReplyCode(const char* text);

// True when a line of text is a complete negative reply: a code starting
// with 4 or 5, a blank, and a line feed at its end.
bool HasNegativeReply(const char* text);

// The decimal number at the start of text, read like atoi (leading blanks,
// optional sign, stops at the first non-digit) but saturating at the int32
// range instead of overflowing.
int ParseLeadingInt(const char* text);

// The decimal number after code in text, read like atoi (leading blanks,
// optional sign, stops at the first non-digit, saturates at the int32
// range); 0 when code is absent.
int ReplyNumberAfter(const char* text, const char* code);

// The file size after "213 " in text when it fits a signed 32-bit number
// (0 .. 2^31 - 1); -1 when the code is absent or the size does not fit.
int ReplyFileSize(const char* text);

// Copies text into a field of fieldSize bytes, cut to fit, NUL-terminated.
void CopyToField(char* field, size_t fieldSize, const char* text);

// True when text may become part of a command line: not null, shorter than
// limit and without CR or LF.
bool IsSafeCommandText(const char* text, size_t limit);
