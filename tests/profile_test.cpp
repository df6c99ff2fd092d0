#include <gtest/gtest.h>

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
    const auto names = "  [ flags ]  \n\t hOT   =   2 \t\nSub Dark=1\n"sv;
    const auto duplicates = "[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n"sv;
    const auto values = "[F]\na = \"C:\\Dir\\x.avi\"\nb='single'\nc=\"mixed'\nd=\"\ne=\"\"\n"
                        "f=C:\\new\\t.avi\ng=x ; y # z\nh=\" inner \"\ni=a=b\n"sv;
    const struct {
        std::string_view text;
        const char *section, *key, *value;  // value null: not found
    } cases[] = {
        // Names match without letter case or surrounding white space; inside a name it counts.
        {names, "Flags", "Hot", "2"}, {names, "FLAGS", "HOT", "2"},
        {names, "Flags", "SubDark", nullptr}, {names, "Flag", "Hot", nullptr},
        // The first of duplicate sections and keys wins; the second [A] is not looked at.
        {duplicates, "A", "k", "1"}, {duplicates, "A", "j", nullptr},
        // Matching quotes go; backslashes, ";", "#" and "=" inside a value are plain text.
        {values, "F", "a", "C:\\Dir\\x.avi"}, {values, "F", "b", "single"},
        {values, "F", "c", "\"mixed'"}, {values, "F", "d", "\""}, {values, "F", "e", ""},
        {values, "F", "f", "C:\\new\\t.avi"}, {values, "F", "g", "x ; y # z"},
        {values, "F", "h", " inner "}, {values, "F", "i", "a=b"},
        {"[A]\n;k=1\n# k=2\n  ; k=3\n", "A", "k", nullptr},  // comments
        {"\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "1"},           // a byte order mark
        {"[A]\n[B\nm=2\n=3\n", "A", "m", "2"}, {"[A]\n[B\nm=2\n=3\n", "B", "m", nullptr},
        // A NUL or a lone carriage return ends what a line says (a value written back ends
        // there too, so reading on would not read back what was loaded).
        {"[A]\nk=ab\0cd\nj\0=1\n"sv, "A", "k", "ab"}, {"[A]\nj\0=1\n"sv, "A", "j", nullptr},
        {"[A]\nk=in\r.avi\n", "A", "k", "in"}, {"[A\rx]\nk=1\n[A]\rjunk\nk=2\n", "A", "k", "2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " " << c.section << "/" << c.key);
        EXPECT_EQ(LoadText(c.text).GetString(c.section, c.key, "<none>"),
                  c.value ? c.value : "<none>");
    }
}

TEST_F(Profile, WritingChangesOnlyTheKeysLineAndKeepsLineEndings) {
    const std::string crlf = "; c\r\n\r\n[F]\r\nIn=a\r\nMine = keep \r\n\r\n[O]\r\nx=1\r\n";
    const std::string lf = "[A]\nx=1\n\n; about B\n[B]\ny=2\n";
    const std::string dup = "[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n";
    const struct {
        std::string before;
        const char *section, *key, *value;
        std::string after;
    } cases[] = {
        {"[flags]\n  HOT = 2\n", "Flags", "Hot", "1", "[flags]\n  HOT=1\n"},
        {dup, "a", "K", "9", "[A]\nk=9\nk=2\n[a]\nk=3\nj=4\n"},
        {dup, "A", "j", "5", "[A]\nk=1\nk=2\nj=5\n[a]\nk=3\nj=4\n"},
        {"[A]\n;k=1\n", "A", "k", "4", "[A]\nk=4\n;k=1\n"},
        {"\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "2", "\xEF\xBB\xBF[A]\nk=2\n"},
        {crlf, "F", "In", "b", "; c\r\n\r\n[F]\r\nIn=b\r\nMine = keep \r\n\r\n[O]\r\nx=1\r\n"},
        // A new key goes after the section's last entry; a new section at the end.
        {crlf, "F", "D", "d", "; c\r\n\r\n[F]\r\nIn=a\r\nMine = keep \r\nD=d\r\n\r\n[O]\r\nx=1\r\n"},
        {crlf, "Flags", "Hot", "1", crlf + "\r\n[Flags]\r\nHot=1\r\n"},
        {lf, "A", "z", "3", "[A]\nx=1\nz=3\n\n; about B\n[B]\ny=2\n"},
        {lf, "C", "w", "4", lf + "\n[C]\nw=4\n"},
        // An unterminated last line gets the file's line break before anything follows it.
        {"[A]\r\nx=1", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
        {"[A]\nx=1", "A", "x", "2", "[A]\nx=2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        ProfileDocument doc = LoadText(c.before);
        doc.SetString(c.section, c.key, c.value);
        ASSERT_TRUE(doc.Save(path_));
        EXPECT_EQ(ReadFileText(path_), c.after);
    }
}

TEST_F(Profile, WrittenValuesReadBackAsGivenAndLongOnesAreCut) {
    const std::string values[] = {"C:\\Input.AVI", " lead", "trail\t", "\"quoted\"", "'q'",
                                  "\"half",        "",      "a=b;c",  "first\nsecond"};
    ProfileDocument doc;
    for (size_t i = 0; i < std::size(values); ++i)
        doc.SetString("S", "k" + std::to_string(i), values[i]);
    ASSERT_TRUE(doc.Save(path_));
    EXPECT_EQ(ReadFileText(path_).substr(0, 20), "[S]\nk0=C:\\Input.AVI\n");  // no quotes
    doc = LoadText(ReadFileText(path_));
    for (size_t i = 0; i + 1 < std::size(values); ++i)
        EXPECT_EQ(doc.GetString("S", "k" + std::to_string(i), "-"), values[i]);
    EXPECT_EQ(doc.GetString("S", "k8", ""), "first");  // a line break would end the key
    EXPECT_EQ(doc.GetString("S", "second", "none"), "none");

    // Values and fallbacks alike: 259 bytes, fewer only where a UTF-8 sequence would split.
    const std::string a(256, 'a'), b = a + 'b', x300(300, 'x'), stray(300, '\x80');
    const struct {
        std::string text, kept;
    } cuts[] = {{x300, x300.substr(0, 259)},         {b + "yy", b + "yy"},
                {b + "y\xC3\xA9", b + "y"},          {b + "\xE2\x82\xAC", b},
                {a + "\xF0\x9F\x98\x80", a},          {b + "y\x80\x80", b + "y\x80"},
                {stray, stray.substr(0, 259)}};
    for (const auto& c : cuts) {
        EXPECT_EQ(LoadText("[F]\nn=" + c.text + "\n").GetString("F", "n", ""), c.kept);
        EXPECT_EQ(doc.GetString("F", "missing", c.text), c.kept);
    }
}

TEST_F(Profile, IntegerTextReadLikeThePlatform) {
    const std::pair<const char*, int32_t> cases[] = {
        {"12abc", 12}, {"-5", -5}, {"abc", 0}, {"+7", 7}, {"  42  ", 42}, {"007", 7}, {"- 5", 0},
        {"0x10", 0}, {"3.9", 3}, {"\"5\"", 5}, {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX}, {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"-", 0}, {"", 99}, {"\"\"", 99}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(LoadText(std::string("[V]\nn=") + text + "\n").GetInt("V", "n", 99), expected)
            << text;
    ProfileDocument doc;
    EXPECT_EQ(doc.GetInt("V", "missing", -3), -3);
    doc.SetInt("V", "n", INT32_MIN);
    EXPECT_EQ(doc.GetString("V", "n", ""), "-2147483648");
}

// Saving would lose what was not read, so a file past the cap is read up to it and never saved.
TEST_F(Profile, HugeFileIsReadUpToTheCapAndNotSaved) {
    std::string text = "[A]\nk=1\n;" + std::string(kMaxProfileBytes - 15, '.') + "\n";
    text += "cut=123456789\nlate=1\n" + std::string(2 << 20, 'z');  // "cut" crosses the cap
    ProfileDocument doc = LoadText(text);
    EXPECT_EQ(doc.GetInt("A", "k", 0), 1);
    EXPECT_EQ(doc.GetInt("A", "cut", -1), -1);  // not a truncated 12345
    EXPECT_EQ(doc.GetInt("A", "late", -1), -1);
    EXPECT_TRUE(doc.partial);
    EXPECT_FALSE(doc.Save(path_));
    EXPECT_EQ(ReadFileText(path_), text);
    EXPECT_TRUE(LoadText(std::string(3 << 20, 'q')).lines.empty());  // one line past the cap
}

// A file that exists but cannot be read must not be written over: its other keys would be lost.
TEST_F(Profile, UnreadableIsNotAbsent) {
    ProfileDocument doc;
    EXPECT_TRUE(ProfileDocument::Load(tmp_.file("no/such/dir.ini"), doc));
    EXPECT_FALSE(ProfileDocument::Load(tmp_.path(), doc));  // a directory
    EXPECT_FALSE(WriteProfileString("S", "k", "v", tmp_.path()));
    EXPECT_FALSE(WriteProfileString("S", "k", "v", tmp_.file("missing/Kestrel.ini")));
    EXPECT_TRUE(tmp_.names().empty());
}

}  // namespace
}  // namespace kestrel
