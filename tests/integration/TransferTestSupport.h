// What the transfer tests share: a private folder removed at the end of the
// test, contents that never repeat (so a block sent twice, dropped or
// shifted shows), whole-file reads and writes, and the wait for a transfer's
// outcome.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tests/integration/TestHost.h"

namespace transfertest {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_Path; }
    std::string File(const std::string& name) const;

private:
    std::string m_Path;
};

// size bytes from a generator whose sequence does not repeat within any
// size a test uses; different seeds give different contents.
std::string NonRepeatingBytes(size_t size, uint32_t seed = 1);

void WriteWholeFile(const std::string& path, const std::string& bytes);
std::string ReadWholeFile(const std::string& path);

// Pumps window until WM_FTP_COMPLETE or WM_FTP_ERROR arrives, then until the
// client's operation has ended (a worker posts everything it posts before
// that), and collects what came. False when no outcome came in time.
bool WaitForOutcome(testhost::MessageWindow& window, const testhost::Client& client, int timeoutMs);

// True when every value is greater than the one before.
bool IsStrictlyIncreasing(const std::vector<intptr_t>& values);

}  // namespace transfertest
