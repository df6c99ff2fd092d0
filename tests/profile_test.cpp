#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "settings/profile.h"
#include "support/files.h"

namespace kestrel {
namespace {

using namespace std::string_view_literals;
using test::ReadFileText;

class Profile : public testing::Test {
protected:
    ProfileDocument LoadText(std::string_view bytes) {
        EXPECT_TRUE(test::WriteFileText(path_, std::string(bytes)));
        ProfileDocument doc;
        EXPECT_TRUE(ProfileDocument::Load(path_, doc));
        return doc;
    }
    test::TempDir tmp_;
    const std::string path_ = tmp_.file("Kestrel.ini");
};

TEST_F(Profile, ValuesAreFoundAsThePlatformFindsThem) {
    const auto names = " [ flags ] \n\t hOT = 2 \t\nSub Dark=1\n[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n"sv;
    const auto values = "[F]\na = \"C:\\Dir\\x.avi\"\nc=\"mixed'\nd=\"\ne=''\ng=x ; y # z=1\n"sv;
    const struct {
        std::string_view text;
        const char *section, *key, *value;  // value null: not found
    } cases[] = {
        // Names match without letter case or surrounding blanks; the first of duplicate
        // sections and keys wins, and the second [A] is not looked at.
        {names, "FLAGS", "Hot", "2"}, {names, "Flags", "SubDark", nullptr}, {names, "a", "K", "1"},
        {names, "A", "j", nullptr},
        // Matching quotes go; backslashes, ";", "#" and "=" inside a value are plain text.
        {values, "F", "a", "C:\\Dir\\x.avi"}, {values, "F", "c", "\"mixed'"},
        {values, "F", "d", "\""}, {values, "F", "e", ""}, {values, "F", "g", "x ; y # z=1"},
        {"[A]\n;k=1\n# k=2\n", "A", "k", nullptr}, {"\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "1"},
        {"[A]\n[B\nm=2\n", "A", "m", "2"},  // "[B" is no header
        // A NUL or a lone carriage return ends what a line says, as a value written back ends
        // there: reading on would not read back what was loaded.
        {"[A]\nk=ab\0cd\nj\0=1\n"sv, "A", "k", "ab"}, {"[A]\nj\0=1\n"sv, "A", "j", nullptr},
        {"[A]\nk=in\r.avi\n", "A", "k", "in"}, {"[A\rx]\nk=1\n[A]\rjunk\nk=2\n", "A", "k", "2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoadText(c.text).GetString(c.section, c.key, "-"), c.value ? c.value : "-")
            << c.text << " " << c.key;
}

TEST_F(Profile, WritingChangesOnlyTheKeysLineAndKeepsLineEndings) {
    const std::string crlf = "; c\r\n[F]\r\nIn=a\r\nMine = keep \r\n\r\n[O]\r\nx=1\r\n";
    const std::string lf = "[A]\nx=1\n\n; about B\n[B]\ny=2\n", dup = "[A]\nk=1\nk=2\n[a]\nk=3\n";
    const struct {
        std::string before;
        const char *section, *key;
        std::string after;
    } cases[] = {
        {"[flags]\n  HOT = 2\n", "Flags", "Hot", "[flags]\n  HOT=v\n"},
        {dup, "a", "K", "[A]\nk=v\nk=2\n[a]\nk=3\n"},
        {dup, "A", "j", "[A]\nk=1\nk=2\nj=v\n[a]\nk=3\n"},
        {"[A]\n;k=1\n", "A", "k", "[A]\nk=v\n;k=1\n"},
        {"\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "\xEF\xBB\xBF[A]\nk=v\n"},
        {crlf, "F", "In", "; c\r\n[F]\r\nIn=v\r\nMine = keep \r\n\r\n[O]\r\nx=1\r\n"},
        // A new key goes after the section's last entry; a new section at the end.
        {crlf, "F", "D", "; c\r\n[F]\r\nIn=a\r\nMine = keep \r\nD=v\r\n\r\n[O]\r\nx=1\r\n"},
        {crlf, "Flags", "Hot", crlf + "\r\n[Flags]\r\nHot=v\r\n"},
        {lf, "A", "z", "[A]\nx=1\nz=v\n\n; about B\n[B]\ny=2\n"},
        {lf, "C", "w", lf + "\n[C]\nw=v\n"},
        // An unterminated last line gets the file's line break before anything follows it.
        {"[A]\r\nx=1", "A", "y", "[A]\r\nx=1\r\ny=v\r\n"}, {"[A]\nx=1", "A", "x", "[A]\nx=v"},
    };
    for (const auto& c : cases) {
        ProfileDocument doc = LoadText(c.before);
        doc.SetString(c.section, c.key, "v");
        ASSERT_TRUE(doc.Save(path_));
        EXPECT_EQ(ReadFileText(path_), c.after) << c.before;
    }
}

TEST_F(Profile, WrittenValuesReadBackAsGivenAndLongOnesAreCut) {
    const std::string values[] = {"C:\\In.AVI", " lead", "trail\t", "\"q\"", "'q'", "\"half", ""};
    ProfileDocument doc;
    for (size_t i = 0; i < std::size(values); ++i) doc.SetString("S", std::to_string(i), values[i]);
    doc.SetString("S", "broken", "first\nsecond=1");
    ASSERT_TRUE(doc.Save(path_));
    EXPECT_EQ(ReadFileText(path_).substr(0, 16), "[S]\n0=C:\\In.AVI\n");  // no quotes needed
    doc = LoadText(ReadFileText(path_));
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(doc.GetString("S", std::to_string(i), "-"), values[i]);
    EXPECT_EQ(doc.GetString("S", "broken", "") + doc.GetString("S", "second", "-"), "first-");

    // Values and fallbacks alike: 259 bytes, fewer only where a UTF-8 sequence would split.
    const std::string a(256, 'a'), b = a + 'b', x(300, 'x'), stray(300, '\x80');
    const std::pair<std::string, std::string> cuts[] = {
        {x, x.substr(0, 259)}, {b + "yy", b + "yy"}, {b + "y\xC3\xA9", b + "y"},
        {b + "\xE2\x82\xAC", b}, {a + "\xF0\x9F\x98\x80", a}, {b + "y\x80\x80", b + "y\x80"},
        {stray, stray.substr(0, 259)}};
    for (const auto& [text, kept] : cuts) {
        EXPECT_EQ(LoadText("[F]\nn=" + text + "\n").GetString("F", "n", ""), kept);
        EXPECT_EQ(doc.GetString("F", "missing", text), kept);
    }
}

TEST_F(Profile, IntegerTextReadLikeThePlatform) {
    const std::pair<const char*, int32_t> cases[] = {
        {"12abc", 12}, {"-5", -5}, {"abc", 0}, {"+7", 7}, {"  42  ", 42}, {"- 5", 0}, {"0x10", 0},
        {"\"5\"", 5}, {"2147483648", INT32_MAX}, {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"", 99}, {"\"\"", 99}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(LoadText(std::string("[V]\nn=") + text).GetInt("V", "n", 99), expected) << text;
    EXPECT_EQ(LoadText("[V]\n").GetInt("V", "missing", 99), 99);
}

// What was not read would be lost: a file past the cap is read up to it and never saved, and
// a file that exists but cannot be read is not written over.
TEST_F(Profile, WhatIsNotReadWholeIsNotSaved) {
    std::string text = "[A]\nk=1\n;" + std::string(kMaxProfileBytes - 15, '.') + "\n";
    text += "cut=123456789\nlate=1\n" + std::string(2 << 20, 'z');  // "cut" crosses the cap
    ProfileDocument doc = LoadText(text);
    EXPECT_EQ(doc.GetInt("A", "k", 0), 1);
    EXPECT_EQ(doc.GetInt("A", "cut", -1) + doc.GetInt("A", "late", -1), -2);  // no 12345
    EXPECT_FALSE(doc.Save(path_));
    EXPECT_EQ(ReadFileText(path_), text);
    EXPECT_TRUE(LoadText(std::string(3 << 20, 'q')).lines.empty());  // one line past the cap

    EXPECT_TRUE(ProfileDocument::Load(tmp_.file("no/such/dir.ini"), doc));
    EXPECT_FALSE(ProfileDocument::Load(tmp_.path(), doc));  // a directory
    const std::string fifo = tmp_.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(WriteProfileString("S", "k", "v", fifo));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

}  // namespace
}  // namespace kestrel
