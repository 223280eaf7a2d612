// The bodies of the fuzz targets. Each fuzz executable calls one of them from
// LLVMFuzzerTestOneInput; the regression tests replay saved inputs through
// the same functions, so a fixed fault stays fixed on every build.
//
// Input layouts (bytes 0xFF, 0xFE and 0xFD are separators, see FuzzInput.h):
//   reply_text     [field size] pieces...
//   login_replies  [login step] [remote path] [ending] pieces...
//   worker_replies [operation] [options] [data plan] answers... [0xFD data]
//                  options: bit 0 overwrite, 1 append, 2 close when the
//                  answers are used up, 3-7 the reads of a stream
//   buffer_queue   [block size] [block size] operations...
#pragma once

#include <stddef.h>
#include <stdint.h>

// The passive-reply parse and the reply-text helpers.
void FuzzReplyText(const uint8_t* data, size_t size);
// A session object fed server text through its own receive path, during or
// after the login.
void FuzzLoginReplies(const uint8_t* data, size_t size);
// One whole request (size, delete, directory, listing, ...) against an
// in-process server that logs the client in and then answers every command
// with the input's replies.
void FuzzWorkerReplies(const uint8_t* data, size_t size);
// Sequences of buffer-queue operations checked against a plain byte model.
void FuzzBufferQueue(const uint8_t* data, size_t size);

// A broken invariant. The fuzz executables print it and abort, so libFuzzer
// keeps the input; the regression tests install a handler that records a
// test failure instead.
typedef void (*FuzzFailureHandler)(const char* what);
void SetFuzzFailureHandler(FuzzFailureHandler handler);
// Reports what when condition is false.
void FuzzCheck(bool condition, const char* what);
