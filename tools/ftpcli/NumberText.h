// Strict number parsing for the command line: the whole text must be the
// number, and it must lie in range. No locale, no silent wrap-around.
#pragma once

#include <string>

bool ParseUnsigned(const std::string& text, unsigned long long maximum, unsigned long long* value);
bool ParseSigned(const std::string& text, long long minimum, long long maximum, long long* value);
// A finite decimal number ("2.5", "10").
bool ParseReal(const std::string& text, double* value);
