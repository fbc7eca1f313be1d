// Names as the system has them, in 8-bit form: UTF-16 to UTF-8 and back,
// with no name lost. Windows allows names that are not valid UTF-16 (a
// surrogate without its pair); such a unit is encoded as UTF-8 would encode
// its code point (the generalised UTF-8 known as WTF-8), so that every
// sequence of 16-bit units converts back exactly. Valid UTF-16 gives plain
// UTF-8.
#ifndef QUILLMAP_WTF8_H
#define QUILLMAP_WTF8_H

#include <cstddef>
#include <string>

// Encodes `count` 16-bit units.
std::string wtf8_from_utf16(const char16_t *units, size_t count);

// Decodes what wtf8_from_utf16() made, exactly. Bytes that no such encoding
// holds (which no name of the system's gives) become U+FFFD each.
std::u16string utf16_from_wtf8(const std::string &text);

#endif
