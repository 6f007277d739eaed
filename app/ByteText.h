// Lossless text for byte strings: names and paths from the server or the disk are bytes
// that need not be valid UTF-8, yet the window keeps them in QStrings (list captions,
// command queue arguments). Bytes that are no valid UTF-8 stand in the text as the lone
// surrogates U+DC80 to U+DCFF and come back out unchanged.
#pragma once

#include <QString>

#include <string>
#include <string_view>

// The text of bytes: valid UTF-8 decoded, every other byte b as the code unit 0xDC00 + b.
QString TextFromBytes(std::string_view bytes);
// The bytes a text stands for: the inverse of TextFromBytes (other text as UTF-8).
std::string BytesFromText(const QString& text);

// The text as a person should see it: each code unit that stands for a byte (a lone
// surrogate) shows as the replacement mark U+FFFD. The text itself is returned when it
// holds none.
QString DisplayText(const QString& text);
