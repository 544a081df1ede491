// Path helpers: the one form file lists use (lower case, `/` separators), the
// trailing separator that marks a folder, and a tokenizer over components.
// Paths live in 512-byte buffers (at most 511 characters); a single name has
// at most 127 characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t PATH_BUFFER_SIZE = 512;
inline constexpr size_t MAX_PATH_LENGTH = PATH_BUFFER_SIZE - 1;
inline constexpr size_t NAME_BUFFER_SIZE = 128;
inline constexpr size_t MAX_NAME_LENGTH = NAME_BUFFER_SIZE - 1;

// Lower-cases ASCII letters and turns every `\` into `/`; the length stays.
void normalizePath(char* path);

// Appends `/` to a non-empty path that does not already end in `/` or `\`.
// The buffer holds PATH_BUFFER_SIZE bytes; a path of 511 characters stays as is.
void addTrailingSlash(char* path);
void addTrailingSlash(std::string& path);

// Copies or appends text to a PATH_BUFFER_SIZE buffer, cutting off whatever
// would go past 511 characters. The buffer is always NUL-terminated.
void pathCopy(char* buffer, const char* text);
void pathAppend(char* buffer, const char* text);

// Walks the components of a path without copying it. The constructor (or init)
// extracts the first component. next() returns false once the tokenizer is
// invalid (empty component such as in a//b or /x, or one over 127 characters).
// When the path is used up next() returns true and leaves the last component
// current. `more` says that a separator follows the current component, so a
// path ending in a separator names a folder. The object is a plain value:
// copy it to save and restore its state.
struct PathTokenizer
{
    PathTokenizer() = default;
    PathTokenizer(const char* path, bool lowerCase) { init(path, lowerCase); }

    void init(const char* path, bool lowerCase);
    bool next();
    // True when no component is left after the current one.
    bool atEnd() const { return pos >= length; }

    const char* path = ""; // not owned; must outlive the tokenizer
    uint32_t length = 0;
    bool lowerCase = false;
    char component[NAME_BUFFER_SIZE] = {};
    bool more = false;
    uint32_t pos = 0;
    bool valid = false;
};
