#include "text/text.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vesprey {
namespace {

// Test sources are UTF-8; core texts are code page 936.
Text gbk(std::string_view utf8) {
    return utf8ToAnsi(utf8);
}

TEST(Conversion, RoundTripsChineseAndKeepsAscii) {
    EXPECT_EQ(gbk("签到"), "\xC7\xA9\xB5\xBD");
    EXPECT_EQ(ansiToUtf8("\xC7\xA9\xB5\xBD"), "签到");
    EXPECT_EQ(utf8ToAnsi("plain ascii ~!@#"), "plain ascii ~!@#");
    EXPECT_EQ(ansiToUtf8("plain ascii ~!@#"), "plain ascii ~!@#");
    EXPECT_EQ(utf8ToAnsi(""), "");
    EXPECT_EQ(ansiToUtf8(""), "");
    // Embedded NULs are data, not terminators.
    EXPECT_EQ(ansiToUtf8(std::string("a\0\xC7\xA9", 4)), std::string("a\0签", 5));
}

// A long text is tested for ASCII a block at a time: its one character beyond ASCII is converted
// wherever it stands, at a block's first or last byte or in the bytes after the last whole block.
TEST(Conversion, OneCharacterBeyondAsciiInALongTextIsConverted) {
    for (const std::size_t before : {0, 1, 62, 63, 64, 65, 127, 128, 190}) {
        const std::string ascii(before, 'a');
        const std::string after(200 - before, 'z');
        EXPECT_EQ(utf8ToAnsi(ascii + "签" + after), ascii + "\xC7\xA9" + after) << before;
        EXPECT_EQ(ansiToUtf8(ascii + "\xC7\xA9" + after), ascii + "签" + after) << before;
    }
}

TEST(Conversion, EuroSignIsByte80AsInCodePage936) {
    EXPECT_EQ(utf8ToAnsi("€"), "\x80");
    EXPECT_EQ(ansiToUtf8("\x80"), "€");
}

TEST(Conversion, CharactersGbkLacksAndInvalidBytesBecomeQuestionMarks) {
    EXPECT_EQ(utf8ToAnsi("a한b"), "a?b");  // Hangul syllable, not in GBK
    EXPECT_EQ(utf8ToAnsi("x😀y"), "x?y");   // outside the BMP: one mark, not two
    EXPECT_EQ(utf8ToAnsi("a\xFF"
                         "b"),
              "a?b");                            // invalid UTF-8 byte
    EXPECT_EQ(utf8ToAnsi("ab\xE7\xAD"), "ab?");  // truncated sequence at the end
    EXPECT_EQ(ansiToUtf8("a\xFF"
                         "b"),
              "a?b");  // invalid code page 936 byte
    EXPECT_EQ(utf8ToAnsi("签\xC0到"), gbk("签") + "?" + gbk("到"));
}

TEST(Conversion, InvalidCodePage936SequencesDecodeLikeIconv) {
    EXPECT_EQ(ansiToUtf16("\x81\x30x"), u"?0x");     // an ASCII trail byte is not a trail
    EXPECT_EQ(ansiToUtf16("ab\xC7"), u"ab?");        // a lead byte at the end
    EXPECT_EQ(ansiToUtf16("\xFF\xC7\xA9"), u"?签");  // 0xFF starts nothing
    EXPECT_EQ(ansiToUtf16("\x80"), u"€");
    EXPECT_EQ(ansiToUtf16(std::string("\0a", 2)), std::u16string(u"\0a", 2));
    EXPECT_EQ(ansiToUtf8("\xC7\x7F"), "?\x7F");  // 0x7F is never a trail byte
}

TEST(Conversion, Utf16EdgesRoundTrip) {
    EXPECT_EQ(ansiToUtf16(gbk("签到ok")), u"签到ok");
    EXPECT_EQ(utf16ToAnsi(u"签到ok"), gbk("签到ok"));
    EXPECT_EQ(utf16ToAnsi(u"\xD83D"), "?");  // a lone surrogate
    EXPECT_EQ(utf8ToUtf16("€😀"), u"€😀");
    EXPECT_EQ(utf16ToUtf8(u"€😀"), "€😀");
}

// The converters between code page 936 and UTF-8 or UTF-16 work from tables; iconv, which
// transcodeBytes still runs, is the reference they must agree with everywhere.
std::string utf8Of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

TEST(Conversion, TablesAgreeWithIconvOnEveryCharacterAndSequence) {
    for (char32_t c = 1; c < 0x10000; ++c) {
        if ((c >= 0xD800 && c < 0xE000) || c == 0xFEFF) {
            continue;  // no character; the reference reads U+FEFF as a byte-order mark
        }
        const std::string utf8 = utf8Of(c);
        ASSERT_EQ(utf8ToAnsi(utf8), transcodeBytes(utf8, "UTF-8", "GBK"))
            << std::hex << static_cast<unsigned>(c);
        const std::u16string unit(1, static_cast<char16_t>(c));
        const std::string le{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        ASSERT_EQ(utf16ToAnsi(unit), transcodeBytes(le, "UTF-16LE", "GBK"))
            << std::hex << static_cast<unsigned>(c);
    }
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
        for (unsigned trail = 0x20; trail <= 0x100; ++trail) {
            std::string bytes(1, static_cast<char>(lead));
            if (trail < 0x100) {
                bytes += static_cast<char>(trail);
            }
            ASSERT_EQ(ansiToUtf8(bytes), transcodeBytes(bytes, "GBK", "UTF-8", 3))
                << std::hex << lead << ' ' << trail;
        }
    }
    // Broken UTF-8: stray, cut-off, overlong and surrogate sequences, anywhere in a text.
    const unsigned char alphabet[] = {'a',  0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                      0xC1, 0xC2, 0xDF, 0xE0, 0xE7, 0xED, 0xEF, 0xF0,
                                      0xF4, 0xF5, 0xF7, 0xF8, 0xFC, 0xFD, 0xFE, 0xFF};
    std::srand(936);
    for (int n = 0; n < 40000; ++n) {
        std::string bytes;
        for (int k = 1 + std::rand() % 7; k > 0; --k) {
            bytes += static_cast<char>(alphabet[std::rand() % sizeof alphabet]);
        }
        if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
            continue;  // read as a byte-order mark by the reference
        }
        ASSERT_EQ(utf8ToAnsi(bytes), transcodeBytes(bytes, "UTF-8", "GBK")) << n;
    }
    // A lone low half, then a pair.
    EXPECT_EQ(utf16ToAnsi(std::u16string{u'a', 0xDC00, 0xD83D, 0xDE00, u'b'}), "a??b");
}

TEST(UrlEncode, EscapesEverythingButUnreservedLettersDigitsDashDot) {
    EXPECT_EQ(urlEncode(gbk("签到"), true, true), "%E7%AD%BE%E5%88%B0");
    EXPECT_EQ(urlEncode("a-b.c_d~e/f", true, true), "a-b.c%5Fd%7Ee%2Ff");
    EXPECT_EQ(urlEncode(" ", true, true), "%20");
    EXPECT_EQ(urlEncode("", true, true), "");
    EXPECT_EQ(urlEncode(gbk("签"), true, false), "%C7%A9");
    EXPECT_EQ(urlEncode("aZ9", false, true), "%61%5A%39");
    EXPECT_EQ(urlEncode("\n", true, true), "%0A");
}

// Runs of ASCII are passed over a word at a time: a bad byte must be found wherever it falls
// against those words, and a character cut by the end of the text.
TEST(IsValidUtf8, FindsABadSequenceAfterAnyRunOfAscii) {
    const std::string eight = "abcdefgh";
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},
        {eight + eight + "x", true},
        {eight + "\xE4\xB8\xAD" + eight, true},                // 中 between two words
        {"\xF0\x9F\x98\x80" + eight + "\xC2\xA9", true},       // four and two bytes
        {eight + "\xE4\xB8", false},                           // cut at the end
        {eight + eight + "\x80", false},                       // a lone continuation byte
        {"abcdefg\xFF" + eight, false},                        // inside the first word
        {eight + "\xC0\xAF" + eight, false},                   // an overlong lead byte
        {"\xF5\x80\x80\x80", false},                           // beyond U+10FFFF
        {"\xF0\x9F\x98", false},                               // four bytes cut
        {"\xE4\xB8\xAD" + eight + "\xE4\xB8" + eight, false},  // a cut character mid-text
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidUtf8(c.text), c.valid) << ::testing::PrintToString(c.text);
    }
}

TEST(DecodeUtf16Bytes, ReadsLittleEndianAndDropsAMark) {
    EXPECT_EQ(decodeUtf16Bytes(std::string("\x7E\x7B\x30\x52", 4)), gbk("签到"));
    EXPECT_EQ(decodeUtf16Bytes(std::string("\xFF\xFE"
                                           "A\0",
                                           4)),
              "A");
    EXPECT_EQ(decodeUtf16Bytes(std::string("A\0B", 3)), "A");  // odd last byte dropped
    EXPECT_EQ(decodeUtf16Bytes(""), "");
}

TEST(TranscodeBytes, DefaultsAreUtf8ToGbk) {
    EXPECT_EQ(transcodeBytes("签到"), gbk("签到"));
    EXPECT_EQ(transcodeBytes("\xEF\xBB\xBF"
                             "签"),
              gbk("签"));  // a UTF-8 mark is read over
}

TEST(TranscodeBytes, AcceptsTheCharsetNamesPeopleWrite) {
    const std::string utf8 = "签到";
    EXPECT_EQ(transcodeBytes(utf8, "utf-8", "gb2312"), gbk("签到"));
    EXPECT_EQ(transcodeBytes(utf8, "UTF-8", "GB18030"), gbk("签到"));
    EXPECT_EQ(transcodeBytes(gbk("签到"), "GBK", "UTF-16LE"), std::string("\x7E\x7B\x30\x52", 4));
    EXPECT_EQ(transcodeBytes(gbk("签到"), "gbk", "utf-16be"), std::string("\x7B\x7E\x52\x30", 4));
    EXPECT_EQ(transcodeBytes("caf\xE9", "ISO-8859-1", "utf-8", 3), "café");
    EXPECT_EQ(transcodeBytes("\xC3\xB1", "utf-8", "big5"), "?");  // ñ is not in Big5
    EXPECT_EQ(transcodeBytes("abc", "no-such-charset", "gbk"), "");
}

TEST(TranscodeBytes, UnicodeAndUtf8TargetsStartWithAMarkThatSkipDrops) {
    EXPECT_EQ(transcodeBytes("A", "utf-8", "unicode"), std::string("\xFF\xFE"
                                                                   "A\0",
                                                                   4));
    EXPECT_EQ(transcodeBytes("A", "utf-8", "unicode", 2), std::string("A\0", 2));
    EXPECT_EQ(transcodeBytes(gbk("签"), "gbk", "utf-8"), "\xEF\xBB\xBF签");
    EXPECT_EQ(transcodeBytes(gbk("签"), "gbk", "utf-8", 3), "签");
    EXPECT_EQ(transcodeBytes("abc", "utf-8", "gbk", 10), "");
}

TEST(FormatDateTime, DatePictures) {
    const double d = makeDateTime(2020, 12, 9, 20, 5, 9);
    EXPECT_EQ(formatDateTime(d, "yyyy/M/d"), "2020/12/9");
    EXPECT_EQ(formatDateTime(makeDateTime(2021, 3, 4), "yyyy-MM-dd"), "2021-03-04");
    EXPECT_EQ(formatDateTime(makeDateTime(2021, 3, 4), "yy.M.d"), "21.3.4");
    EXPECT_EQ(formatDateTime(d, gbk("yyyy年MM月dd日 ")), gbk("2020年12月09日 "));
    EXPECT_EQ(formatDateTime(d, "'yyyy' yyyy"), "yyyy 2020");
}

TEST(FormatDateTime, TimePicturesAndTwentyFourHours) {
    const double evening = makeDateTime(2020, 12, 9, 20, 5, 9);
    EXPECT_EQ(formatDateTime(evening, "", "hh:mm:ss", true), "20:05:09");
    EXPECT_EQ(formatDateTime(evening, "", "hh:mm:ss", false), "08:05:09");
    EXPECT_EQ(formatDateTime(evening, "", "HH:mm:ss", false), "20:05:09");
    EXPECT_EQ(formatDateTime(evening, "", "h:m:s tt"), "8:5:9 PM");
    EXPECT_EQ(formatDateTime(makeDateTime(2020, 1, 1, 0, 30, 0), "", "h:mm"), "12:30");
    EXPECT_EQ(formatDateTime(evening, "", gbk("hh时mm分ss秒"), true), gbk("20时05分09秒"));
    EXPECT_EQ(formatDateTime(evening, "yyyy-MM-dd ", "HH:mm"), "2020-12-09 20:05");
}

TEST(FormatDateTime, ShortPicturesAndInvalidDatesGiveEmptyParts) {
    const double d = makeDateTime(2020, 12, 9, 20, 5, 9);
    EXPECT_EQ(formatDateTime(d, "hh", "hh"), "");
    EXPECT_EQ(formatDateTime(d, "yyyy", "hh"), "2020");
    EXPECT_EQ(formatDateTime(1e12, "yyyy-MM-dd"), "");
    EXPECT_EQ(formatDateTime(std::numeric_limits<double>::quiet_NaN(), "yyyy-MM-dd"), "");
    EXPECT_EQ(formatDateTime(d, std::string(60, 'x')), "");  // longer than a part may be
    EXPECT_EQ(formatDateTime(d, std::string(49, 'x')), std::string(49, 'x'));
}

TEST(FormatDateTime, OleDateArithmetic) {
    EXPECT_DOUBLE_EQ(makeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(makeDateTime(1900, 1, 1, 12), 2.5);
    EXPECT_EQ(formatDateTime(-1.25, "yyyy-MM-dd ", "HH:mm"), "1899-12-29 06:00");
    EXPECT_EQ(formatDateTime(makeDateTime(2024, 2, 29, 23, 59, 59), "yyyy-MM-dd ", "HH:mm:ss"),
              "2024-02-29 23:59:59");
}

class DateTimeToText : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("LC_ALL");
        saved_ = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("LC_ALL", "C", 1);  // the C locale writes %H:%M:%S
    }
    void TearDown() override {
        if (saved_) {
            setenv("LC_ALL", saved_->c_str(), 1);
        } else {
            unsetenv("LC_ALL");
        }
    }
    std::optional<std::string> saved_;
};

TEST_F(DateTimeToText, EveryStyleAndPart) {
    ASSERT_TRUE(localeUses24Hour());
    const double d = makeDateTime(2020, 12, 19, 20, 5, 9);
    EXPECT_EQ(dateTimeToText(d, 1), "2020-12-19 20:05:09");
    EXPECT_EQ(dateTimeToText(d, 1, 1), "2020-12-19");
    EXPECT_EQ(dateTimeToText(d, 1, 2), "12-19");
    EXPECT_EQ(dateTimeToText(d, 1, 3), "20:05:09");
    EXPECT_EQ(dateTimeToText(d, 1, 4), "20:05");
    EXPECT_EQ(dateTimeToText(d, 1, 5), "05:09");
    EXPECT_EQ(dateTimeToText(d, 0), gbk("2020年12月19日 20时05分09秒"));
    EXPECT_EQ(dateTimeToText(d, 0, 1), gbk("2020年12月19日"));
    EXPECT_EQ(dateTimeToText(d, 2), "2020/12/19 20/05/09");
    EXPECT_EQ(dateTimeToText(d, 2, 2), "12/19");
    EXPECT_EQ(dateTimeToText(d, 3), "20201219200509");
    EXPECT_EQ(dateTimeToText(d, 3, 5), "0509");
    EXPECT_EQ(dateTimeToText(d, 7), dateTimeToText(d, 0));  // out of range counts as 0
    EXPECT_EQ(dateTimeToText(d, 1, 9), dateTimeToText(d, 1));
    EXPECT_EQ(dateTimeToText(std::nullopt, 1).size(), 19u);  // now
}

TEST_F(DateTimeToText, TwelveHourLocaleKeepsHh) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    if (localeUses24Hour()) {
        GTEST_SKIP() << "en_US.UTF-8 is not generated on this machine";
    }
    EXPECT_EQ(dateTimeToText(makeDateTime(2020, 12, 19, 20, 5, 9), 1), "2020-12-19 08:05:09");
}

}  // namespace
}  // namespace vesprey
