// Tests of the lossless conversion of the system's names between UTF-16 and
// 8-bit form.
#include <gtest/gtest.h>

#include <string>

#include "platform/wtf8.h"

namespace {

TEST(Wtf8, EveryUnitSequenceComesBackExactly)
{
    struct {
        std::u16string units;
        std::string bytes;
    } cases[] = {
        {u"", ""},
        {u"paper.tex", "paper.tex"},
        {u"caf\u00e9", "caf\xc3\xa9"},
        {u"\u767a\u8868", "\xe7\x99\xba\xe8\xa1\xa8"},         // CJK
        {u"\U0001F600", "\xf0\x9f\x98\x80"},                   // a pair: one code point
        {std::u16string(1, char16_t(0xD83D)), "\xed\xa0\xbd"}, // a high surrogate alone
        {std::u16string(1, char16_t(0xDE00)), "\xed\xb8\x80"}, // a low surrogate alone
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)},
         "\xed\xb8\x80\xed\xa0\xbd"}, // reversed
        {std::u16string{u'a', char16_t(0xD800), u'.', u't', u'e', u'x'}, "a\xed\xa0\x80.tex"},
        {std::u16string{char16_t(0xD800), char16_t(0xD800), char16_t(0xDC00)},
         "\xed\xa0\x80\xf0\x90\x80\x80"}, // a lone high, then a pair
        {std::u16string{char16_t(0xFFFF), char16_t(0x7F), char16_t(0x80), char16_t(0x7FF),
                        char16_t(0x800)},
         "\xef\xbf\xbf\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80"}, // the edges of each length
    };
    for (const auto &c : cases) {
        std::string bytes = wtf8_from_utf16(c.units.data(), c.units.size());
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_TRUE(utf16_from_wtf8(bytes) == c.units) << bytes;
    }
    // Bytes that no encoding of units holds become U+FFFD each.
    EXPECT_TRUE(utf16_from_wtf8("a\xff\xc0\x80z") == u"a\uFFFD\uFFFD\uFFFDz");
}

} // namespace
