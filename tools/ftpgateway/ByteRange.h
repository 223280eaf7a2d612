// The Range header of a GET, judged against the file's size. Only single
// ranges of bytes are served as such: "bytes=a-b", "bytes=a-" and
// "bytes=-n". A header with several ranges, or one that is not a byte range
// at all, is ignored and the whole file goes out (RFC 9110 allows a server
// to ignore Range).
#pragma once

#include <stdint.h>

#include <string>

struct ByteRange {
    enum Kind {
        kWhole,          // no usable Range header: 200 with the whole file
        kPart,           // 206 with [first, last]
        kUnsatisfiable,  // 416 with "bytes */size"
    };
    Kind kind = kWhole;
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive

    uint64_t Length() const { return last - first + 1; }
};

// header: the Range header's value, empty when there was none.
ByteRange JudgeRange(const std::string& header, uint64_t size);

// Where the body of a GET with this Range header starts, and the last byte
// it may end with, when that does not hang on the size (a suffix "-n"
// does): so the first piece can be read while the size is asked. *last is
// UINT64_MAX - 1 when the range is open.
bool StartBeforeSize(const std::string& header, uint64_t* first, uint64_t* last);

// "bytes 0-99/1234"
std::string ContentRangeOf(const ByteRange& range, uint64_t size);
