#include "Pages.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <sstream>

#include "MediaTypes.h"

namespace {

std::vector<std::string> Fields(const std::string& line, size_t count, std::string* rest) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (fields.size() < count) {
        size_t begin = line.find_first_not_of(' ', at);
        if (begin == std::string::npos) return fields;
        size_t end = line.find(' ', begin);
        if (end == std::string::npos) end = line.size();
        fields.push_back(line.substr(begin, end - begin));
        at = end;
    }
    size_t begin = line.find_first_not_of(' ', at);
    *rest = begin == std::string::npos ? std::string() : line.substr(begin);
    return fields;
}

// A size in decimal digits; false for anything else, or one beyond int64_t.
bool ParseSize(const std::string& text, int64_t* size) {
    if (text.empty()) return false;
    int64_t value = 0;
    for (char c : text) {
        if (!isdigit((unsigned char)c)) return false;
        int digit = c - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *size = value;
    return true;
}

// "drwxr-xr-x 2 owner group 4096 Dec 07 16:00 name" (a link: "name -> target").
bool ParseUnixLine(const std::string& line, ListingEntry* entry) {
    if (line.size() < 10 || std::string("-dlbcps").find(line[0]) == std::string::npos) return false;
    std::string name;
    std::vector<std::string> fields = Fields(line, 8, &name);
    int64_t size = 0;
    if (fields.size() < 8 || name.empty() || !ParseSize(fields[4], &size)) return false;
    if (line[0] == 'l') {
        size_t arrow = name.find(" -> ");
        if (arrow != std::string::npos) name.resize(arrow);
    }
    entry->name = name;
    entry->isFolder = line[0] == 'd';
    entry->size = entry->isFolder ? -1 : size;
    entry->date = fields[5] + " " + fields[6] + " " + fields[7];
    return true;
}

bool ParseDosLine(const std::string& line, ListingEntry* entry) {
    std::string name;
    std::vector<std::string> fields = Fields(line, 3, &name);
    if (fields.size() < 3 || name.empty() || fields[0].size() < 8 || !isdigit((unsigned char)fields[0][0]))
        return false;
    if (fields[2] == "<DIR>") {
        entry->isFolder = true;
    } else if (!ParseSize(fields[2], &entry->size)) {
        return false;
    }
    entry->name = name;
    entry->date = fields[0] + " " + fields[1];
    return true;
}

std::string SizeText(int64_t size) {
    char text[32];
    if (size < 0) return "";
    if (size < 1024) {
        snprintf(text, sizeof text, "%lld B", (long long)size);
    } else if (size < 1024 * 1024) {
        snprintf(text, sizeof text, "%.1f KiB", size / 1024.0);
    } else if (size < 1024LL * 1024 * 1024) {
        snprintf(text, sizeof text, "%.1f MiB", size / 1048576.0);
    } else {
        snprintf(text, sizeof text, "%.2f GiB", size / 1073741824.0);
    }
    return text;
}

std::string PageStart(const std::string& title) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + EscapeHtml(title) +
           "</title>\n<style>body{font-family:sans-serif;margin:2em}td{padding:2px 12px}"
           "video,audio{max-width:100%}</style></head>\n<body>\n";
}

std::string ParentOf(const std::string& folder) {
    if (folder == "/") return "";
    size_t slash = folder.find_last_of('/', folder.size() - 2);
    return folder.substr(0, slash + 1);
}

}  // namespace

Listing ParseListing(const std::string& text) {
    Listing listing;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        ListingEntry entry;
        if (ParseUnixLine(line, &entry) || ParseDosLine(line, &entry)) {
            if (entry.name != "." && entry.name != "..") listing.entries.push_back(entry);
        } else if (line.compare(0, 6, "total ") != 0) {
            listing.otherLines.push_back(line);
        }
    }
    std::stable_sort(listing.entries.begin(), listing.entries.end(),
                     [](const ListingEntry& a, const ListingEntry& b) {
                         return a.isFolder && !b.isFolder;
                     });
    return listing;
}

std::string EncodePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : path) {
        if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            encoded += (char)c;
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return encoded;
}

std::string EscapeHtml(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::string FolderPage(const std::string& folder, const std::string& pattern,
                       const Listing& listing) {
    std::string page = PageStart(folder);
    page += "<h1>" + EscapeHtml(folder) + "</h1>\n";
    std::string parent = ParentOf(folder);
    if (!parent.empty()) page += "<p><a href=\"" + EncodePath(parent) + "\">parent folder</a></p>\n";
    page += "<form method=\"get\"><label>Only names matching <input name=\"pattern\" value=\"" +
            EscapeHtml(pattern) + "\" placeholder=\"*.webm\"></label> <button>list</button></form>\n";
    page += "<table id=\"listing\">\n";
    for (const ListingEntry& entry : listing.entries) {
        std::string path = folder + entry.name + (entry.isFolder ? "/" : "");
        std::string href = EncodePath(path);
        page += "<tr><td><a class=\"" + std::string(entry.isFolder ? "folder" : "file") +
                "\" href=\"" + href + "\">" + EscapeHtml(entry.name) + (entry.isFolder ? "/" : "") +
                "</a></td><td>" + SizeText(entry.size) + "</td><td>" + EscapeHtml(entry.date) +
                "</td><td>";
        if (!entry.isFolder && MediaKindOf(entry.name) != MediaKind::kNone) {
            page += "<a class=\"play\" href=\"" + href + "?play\">play</a>";
        }
        page += "</td></tr>\n";
    }
    page += "</table>\n";
    for (const std::string& line : listing.otherLines) {
        page += "<pre>" + EscapeHtml(line) + "</pre>\n";
    }
    if (listing.entries.empty() && listing.otherLines.empty()) {
        page += "<p>The server listed nothing here.</p>\n";
    }
    return page + "</body></html>\n";
}

std::string PlayerPage(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash + 1);
    std::string folder = path.substr(0, slash + 1);
    std::string element = MediaKindOf(path) == MediaKind::kAudio ? "audio" : "video";
    std::string page = PageStart(name);
    page += "<h1>" + EscapeHtml(name) + "</h1>\n<p><a href=\"" + EncodePath(folder) +
            "\">back to the folder</a></p>\n";
    page += "<" + element + " id=\"player\" controls preload=\"metadata\" src=\"" +
            EncodePath(path) + "\"></" + element + ">\n";
    return page + "</body></html>\n";
}

std::string MessagePage(int status, const std::string& title, const std::string& detail) {
    return PageStart(title) + "<h1>" + std::to_string(status) + " " + EscapeHtml(title) +
           "</h1>\n<p>" + EscapeHtml(detail) + "</p>\n</body></html>\n";
}
