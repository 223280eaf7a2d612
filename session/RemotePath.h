// Remote paths are absolute and "/"-separated. The session changes to a
// path's directory and gives the workers the last component as file name.
#pragma once

#include <stddef.h>

struct RemotePathParts {
    char directory[260];  // "/" for files in the root
    char fileName[260];
};

// Splits at the last "/". A last "/" at the first or second character means
// the root; a text without "/" is taken whole as a file name in the root.
void SplitRemotePath(const char* path, RemotePathParts* parts);

// Where a two-step directory change splits directory: the position of its
// last "/" from the second character on, or -1 when one "CWD" reaches it.
int FindCwdSplit(const char* directory);
