#include "fuzz/targets/CommandLines.h"

#include "fuzz/targets/FuzzTargets.h"

namespace {

bool StartsWithOneOf(const std::string& line, const std::vector<std::string>& verbs) {
    for (const std::string& verb : verbs) {
        if (line.compare(0, verb.size(), verb) == 0) return true;
    }
    return false;
}

}  // namespace

void CheckCommandLines(const std::string& sent, const std::vector<std::string>& verbs,
                       bool emptyLineAllowed) {
    for (size_t start = 0; start < sent.size();) {
        size_t end = sent.find("\r\n", start);
        FuzzCheck(end != std::string::npos, "a command without CR LF");
        if (end == std::string::npos) return;
        std::string line = sent.substr(start, end - start);
        FuzzCheck(line.find_first_of("\r\n") == std::string::npos, "a command holds CR or LF");
        FuzzCheck(line.empty() ? emptyLineAllowed : StartsWithOneOf(line, verbs),
                  "the client sent a command it never builds");
        start = end + 2;
    }
}
