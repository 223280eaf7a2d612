// Reading and rewriting the replies that announce a passive data port, so
// that the network relay can put itself into the data connection:
//   "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)."  address and port
//   "229 Entering Extended Passive Mode (|||port|)"   port only
// Each function takes one whole reply line (with or without its line end).
#pragma once

#include <cstdint>
#include <string>

namespace relay {

// The announced address (network byte order) and port of a "227 " line;
// false when the line is no such reply or its numbers are out of range.
bool ReadPassiveReply(const std::string& line, uint32_t* address, uint16_t* port);
// The line announcing `address` (network byte order) and `port` instead,
// everything else as it was.
std::string RewritePassiveReply(const std::string& line, uint32_t address, uint16_t port);

// The port of a "229 " line; false when it has none.
bool ReadExtendedPassiveReply(const std::string& line, uint16_t* port);
std::string RewriteExtendedPassiveReply(const std::string& line, uint16_t port);

}  // namespace relay
