// Settings files in the private-profile (INI) text format: "[section]" lines open a section,
// "key=value" lines hold its values. Our own reader/writer with the platform's semantics.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// Raised when a settings file cannot be written; the message is "Unable to write to "
// followed by the file's path as it was given.
class EIniFileException : public std::runtime_error {
public:
    explicit EIniFileException(const std::string& message) : std::runtime_error(message) {}
};

// Buffer size of a string read: a value comes back with at most this many bytes less one.
constexpr std::size_t ProfileStringBufferSize = 1024;

// One settings file. Nothing is cached: every read opens and parses the file afresh and
// every write rewrites it at once, so several objects on one path always agree.
//
// Rules shared by every call:
// - Section and key names are found without regard to case (and without the blanks
//   around them); the first section and the first key of that name count.
// - Values are read without the blanks around them and without one pair of matching
//   quotes ("..." or '...') around the whole value.
// - A missing or unreadable file reads as empty; it is no error.
// - A write replaces the file as a whole (a temporary file in the same folder renamed over
//   it), so a failed write never leaves a half-written file. A new file gets mode 0600
//   (it may hold passwords); an existing file keeps its owner and is never made more
//   readable than it was, nor more readable than 0600.
class TPrivateProfile {
public:
    // Names the file; nothing is read until a call needs it.
    explicit TPrivateProfile(std::string fileName);

    // The path given to the constructor.
    const std::string& FileName() const { return FFileName; }

    // The value of key in section, or defaultValue when either is missing; either way at
    // most ProfileStringBufferSize - 1 bytes, cut before an incomplete UTF-8 sequence.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;

    // The value read as a signed 32-bit integer: decimal, or hexadecimal after "0x" or
    // "0X", with an optional sign; defaultValue when missing or when the text is no number.
    std::int32_t ReadInteger(const std::string& section, const std::string& key,
                             std::int32_t defaultValue) const;

    // The names of all sections in file order, each name once (the first spelling).
    std::vector<std::string> ReadSections() const;

    // True when a section of that name exists.
    bool SectionExists(const std::string& section) const;

    // Sets key in section: an existing key keeps its place and spelling, a new key goes
    // after the last key of its section, a new section goes to the end of the file.
    // Raises EIniFileException when the file cannot be written, and refuses names and
    // values that the format cannot hold (line breaks, "=" or "]" in the wrong place).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Removes every section of that name with all its lines; a missing section (or file)
    // is no error. Raises EIniFileException when the file cannot be written.
    void EraseSection(const std::string& section);

private:
    std::string FFileName;
};

// The integer a profile value stands for, with the rules of ReadInteger; false when the
// text is no number (or does not fit in 32 bits).
bool ParseProfileInteger(const std::string& text, std::int32_t& value);

} // namespace platform
