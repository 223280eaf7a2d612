// The HTML a browser gets: a folder's listing with links, and a page that
// plays one media file. The listing text is what ListDirectory returned:
// the server's LIST lines, of which the library keeps the first 259
// characters, so a longer folder shows only its first few entries.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ListingEntry {
    std::string name;
    bool isFolder = false;
    int64_t size = -1;  // -1: not given (a folder, or a line in another form)
};

struct Listing {
    std::vector<ListingEntry> entries;
    std::vector<std::string> otherLines;  // lines in neither known form
    bool cut = false;                     // the text filled the library's 259 characters
};

// Unix "ls -l" lines and MS-DOS lines ("12-07-26  04:00PM  <DIR>  name").
// "." and ".." are left out; a last line without its line end is left out
// when the text was cut there.
Listing ParseListing(const std::string& text);

// For URLs: every byte but unreserved ones and "/" percent-encoded.
std::string EncodePath(const std::string& path);
std::string EscapeHtml(const std::string& text);

// folder ends with "/"; pattern is what was asked with ?pattern= (empty:
// the whole folder).
std::string FolderPage(const std::string& folder, const std::string& pattern,
                       const Listing& listing);
std::string PlayerPage(const std::string& path);
// A short page for an error status.
std::string MessagePage(int status, const std::string& title, const std::string& detail);
