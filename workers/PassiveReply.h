// The "227 " reply to PASV: "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)".
#pragma once

#include <stddef.h>
#include <stdint.h>

// Takes the text between the first "(" and the first ")" after it: the last
// two comma-separated numbers are the port bytes (read like atoi, so text
// after a number is ignored; the port wraps modulo 65536), and the rest,
// with its commas turned into dots, is the address. False when there are no
// parentheses or fewer than five commas between them.
bool ParsePassiveReply(const char* reply, char* address, size_t addressSize, uint16_t* port);
