// The check both session targets make on what the client sent: whatever
// the server's text said, only the client's own command lines went out.
#pragma once

#include <string>
#include <vector>

// Reports (FuzzCheck) a line without CR LF, a CR or LF inside a line, and
// a line that starts with none of verbs. An empty line passes only when
// emptyLineAllowed.
void CheckCommandLines(const std::string& sent, const std::vector<std::string>& verbs,
                       bool emptyLineAllowed);
