// Numbers and texts of control-connection replies and commands.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "session/ReplyReader.h"

// The decimal number at the start of text, read like atoi (leading blanks,
// optional sign, stops at the first non-digit) but saturating at the int32
// range instead of overflowing.
int ParseLeadingInt(const char* text);

// The file size a "213 " reply gives: its first number, unsigned. False for
// any other reply, and for a size that is missing or beyond 2^63 - 1.
bool ParseReplySize(const FtpReply& reply, int64_t* size);

// Copies text into a field of fieldSize bytes, cut to fit, NUL-terminated.
void CopyToField(char* field, size_t fieldSize, const char* text);

// True when text may become part of a command line: not null, shorter than
// limit and without CR or LF.
bool IsSafeCommandText(const char* text, size_t limit);
