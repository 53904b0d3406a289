// console.h -- the teacher's console over HTTP: everything the window's keys
// and menu do to the field, as POST /control/ACTION, and the field's modes
// as GET /control/state, for whoever holds the arena's key.
#pragma once
#include <cstddef>
#include <string>

constexpr int CONSOLE_KEY_MAX = 128; // characters of a key read from a file

// Makes the key (128 random bits) or reads it from key_file (one line of
// printable characters), and writes the control line with the console's
// address to standard error. 0, or -1 with a one-line reason in `why`.
int console_init(const char* key_file, char* why, size_t n);

// The answer to one console request.
struct console_answer {
    int status;           // 200, 204, 400, 403, 404 or 405
    const char* reason;   // "OK", "No Content", ...
    const char* allow;    // the Allow header of a 405, or null
    std::string body;     // JSON of the state, or a short text
    int quit_after;       // the program ends once the answer has gone
};

// Answers `method` on /control/`action` with `key` (the X-Quillmere-Key
// header's value, or null): a missing or wrong key gets 403 and changes
// nothing; an unknown action 404; a method the path does not take 405.
// While a recording is replayed, pause, play, seek?tick=N and speed?x=F
// control it (400 for a tick or speed out of range).
void console_request(const char* method, const char* action, const char* key,
                     struct console_answer* a);

// Compares two texts in time that depends on their lengths only.
int console_key_equal(const char* a, size_t alen, const char* b, size_t blen);
