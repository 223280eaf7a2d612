// Reads a fuzz input as a few leading choice bytes followed by text that
// separator bytes cut into pieces. Separators are bytes servers hardly send,
// so the fuzzer moves a piece boundary by inserting or deleting one byte.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Ends one piece of text (one send by the peer).
const char kPieceEnd = '\xFF';
// Ends one answer (all pieces sent in reply to one command line).
const char kAnswerEnd = '\xFE';
// Starts the bytes a passive data connection delivers.
const char kDataStart = '\xFD';

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size);

    // The next choice byte; 0 once the input is used up.
    uint8_t TakeByte();
    // A choice in 0 .. count-1 from the next byte.
    size_t TakeChoice(size_t count);
    // Everything not yet taken.
    std::string TakeRest();
    size_t Remaining() const { return m_nSize - m_nPos; }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos;
};

// text cut at every separator, at most limit parts (the last keeps the rest).
std::vector<std::string> SplitAt(const std::string& text, char separator, size_t limit);
