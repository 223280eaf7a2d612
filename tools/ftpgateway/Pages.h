// The HTML a browser gets: a folder's listing with links, and a page that
// plays one media file. The listing text is the server's whole LIST text
// (ListDirectoryAll).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ListingEntry {
    std::string name;
    bool isFolder = false;
    int64_t size = -1;  // -1: not given (a folder, or a line in another form)
    std::string date;   // as the line gives it: "Dec 07 16:00", "12-07-26 04:00PM"
};

struct Listing {
    std::vector<ListingEntry> entries;
    std::vector<std::string> otherLines;  // lines in neither known form
};

// Unix "ls -l" lines and MS-DOS lines ("12-07-26  04:00PM  <DIR>  name").
// "." and ".." are left out.
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
