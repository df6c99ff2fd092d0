#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "settings/profile.h"
#include "support/files.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) { return test::ReadFileText(path); }
void Write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(test::WriteFileText(path, text));
}

class Profile : public testing::Test {
protected:
    ProfileDocument LoadText(const std::string& bytes) {
        Write(path_, bytes);
        ProfileDocument doc;
        EXPECT_TRUE(ProfileDocument::Load(path_, doc));
        return doc;
    }

    test::TempDir tmp_;
    const std::string dir_ = tmp_.path();
    const std::string path_ = tmp_.file("Kestrel.ini");
};

TEST_F(Profile, ValuesAreFoundAsThePlatformFindsThem) {
    const char* names = "  [ flags ]  \n\t hOT   =   2 \t\nSub Dark=1\n";
    const char* duplicates = "[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n";
    const char* values =
        "[F]\na = \"C:\\Dir\\x.avi\"\nb='single'\nc=\"mixed'\nd=\"\ne=\"\"\n"
        "f=C:\\new\\t.avi\ng=x ; y # z\nh=\" inner \"\ni=a=b\n";
    const struct {
        const char* text;
        const char* section;
        const char* key;
        const char* value;  // null: not found
    } cases[] = {
        // Names match without letter case or surrounding white space; inside a name it counts.
        {names, "Flags", "Hot", "2"},
        {names, "FLAGS", "HOT", "2"},
        {names, "Flags", "SubDark", nullptr},
        {names, "Flag", "Hot", nullptr},
        // The first of duplicate sections and keys wins; the second [A] is not looked at.
        {duplicates, "A", "k", "1"},
        {duplicates, "A", "j", nullptr},
        // Matching quotes go; backslashes, ";", "#" and "=" inside a value are plain text.
        {values, "F", "a", "C:\\Dir\\x.avi"},
        {values, "F", "b", "single"},
        {values, "F", "c", "\"mixed'"},
        {values, "F", "d", "\""},
        {values, "F", "e", ""},
        {values, "F", "f", "C:\\new\\t.avi"},
        {values, "F", "g", "x ; y # z"},
        {values, "F", "h", " inner "},
        {values, "F", "i", "a=b"},
        {"[A]\n;k=1\n# k=2\n  ; k=3\n", "A", "k", nullptr},  // comments
        {"\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "1"},           // a byte order mark
        {"[A]\n[B\nm=2\n=3\n", "A", "m", "2"},               // "[B" is no header
        {"[A]\n[B\nm=2\n=3\n", "B", "m", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " " << c.section << "/" << c.key);
        EXPECT_EQ(LoadText(c.text).GetString(c.section, c.key, "<none>"),
                  c.value ? c.value : "<none>");
    }
    EXPECT_EQ(LoadText("[F]\nn=\"5\"\n").GetInt("F", "n", 0), 5);
}

TEST_F(Profile, WritingChangesOnlyTheKeysLineAndKeepsLineEndings) {
    const std::string crlf =
        "; settings\r\n\r\n[Filenames]\r\nInputFile=a.avi\r\nMine = keep "
        "\r\n\r\n[Other]\r\nx=1\r\n";
    const std::string lf = "[A]\nx=1\n\n; about B\n[B]\ny=2\n";
    const struct {
        std::string before;
        const char* section;
        const char* key;
        const char* value;
        std::string after;
    } cases[] = {
        {"[flags]\n  HOT = 2\n", "Flags", "Hot", "1", "[flags]\n  HOT=1\n"},
        {"[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n", "a", "K", "9", "[A]\nk=9\nk=2\n[a]\nk=3\nj=4\n"},
        {"[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n", "A", "j", "5", "[A]\nk=1\nk=2\nj=5\n[a]\nk=3\nj=4\n"},
        {"[A]\n;k=1\n", "A", "k", "4", "[A]\nk=4\n;k=1\n"},
        {"\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "2", "\xEF\xBB\xBF[A]\nk=2\n"},
        {crlf, "Filenames", "InputFile", "b.avi",
         "; settings\r\n\r\n[Filenames]\r\nInputFile=b.avi\r\nMine = keep "
         "\r\n\r\n[Other]\r\nx=1\r\n"},
        // A new key goes after the section's last entry; a new section at the end.
        {crlf, "Filenames", "DarkFrame", "d.bmp",
         "; settings\r\n\r\n[Filenames]\r\nInputFile=a.avi\r\nMine = keep \r\nDarkFrame=d.bmp\r\n"
         "\r\n[Other]\r\nx=1\r\n"},
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
        EXPECT_EQ(Read(path_), c.after);
    }
}

TEST_F(Profile, WrittenValuesReadBackAsGiven) {
    const std::string values[] = {"C:\\Input.AVI", " lead",  "trail\t", "\"quoted\"",
                                  "'q'",           "\"half", "",        "a=b;c",
                                  // A lone carriage return is no line break to the reader.
                                  "cr\rinside",    "cr at end\r"};
    ProfileDocument doc;
    for (size_t i = 0; i < std::size(values); ++i)
        doc.SetString("S", "k" + std::to_string(i), values[i]);
    doc.SetString("S", "broken", "first\nsecond");
    ASSERT_TRUE(doc.Save(path_));
    ProfileDocument back;
    ASSERT_TRUE(ProfileDocument::Load(path_, back));
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(back.GetString("S", "k" + std::to_string(i), "missing"), values[i]);
    EXPECT_EQ(back.GetString("S", "broken", ""), "first");  // a line break would end the key
    EXPECT_EQ(back.GetString("S", "second", "none"), "none");
    EXPECT_NE(Read(path_).find("k0=C:\\Input.AVI\n"), std::string::npos);  // plain text
}

TEST_F(Profile, IntegerTextReadLikeThePlatform) {
    const struct {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"12abc", 12},
        {"-5", -5},
        {"abc", 0},
        {"+7", 7},
        {"  42  ", 42},
        {"007", 7},
        {"- 5", 0},
        {"0x10", 0},
        {"3.9", 3},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-", 0},
    };
    for (const auto& c : cases) {
        ProfileDocument doc = LoadText(std::string("[V]\nn=") + c.text + "\n");
        EXPECT_EQ(doc.GetInt("V", "n", 99), c.expected) << c.text;
    }
    ProfileDocument doc = LoadText("[V]\nempty=\nquoted=\"\"\n");
    EXPECT_EQ(doc.GetInt("V", "empty", 99), 99);
    EXPECT_EQ(doc.GetInt("V", "quoted", 99), 99);
    EXPECT_EQ(doc.GetInt("V", "missing", -3), -3);
    EXPECT_EQ(doc.GetInt("W", "n", -3), -3);

    doc.SetInt("V", "n", INT32_MIN);
    EXPECT_EQ(doc.GetString("V", "n", ""), "-2147483648");
    EXPECT_EQ(doc.GetInt("V", "n", 0), INT32_MIN);
}

TEST_F(Profile, LongValuesAreCut) {
    const std::string longValue(300, 'x');
    ProfileDocument doc =
        LoadText("[F]\nname=" + longValue + "\nname259=" + std::string(259, 'y') + "\n");
    EXPECT_EQ(doc.GetString("F", "name", ""), std::string(259, 'x'));
    EXPECT_EQ(doc.GetString("F", "name259", ""), std::string(259, 'y'));
    EXPECT_EQ(doc.GetString("F", "missing", longValue), std::string(259, 'x'));
    // 258 bytes and a two-byte character: no half character at the end.
    EXPECT_EQ(CutProfileText(std::string(258, 'a') + "\xC3\xA9", 259), std::string(258, 'a'));
    EXPECT_EQ(CutProfileText(std::string(258, 'a') + "\x80\x80", 259).size(), 259u);
}

TEST_F(Profile, OneShotFormsCreateTheFileAndSection) {
    EXPECT_EQ(ReadProfileString("S", "k", "def", path_), "def");
    EXPECT_EQ(ReadProfileInt("S", "k", 5, path_), 5);
    ASSERT_TRUE(WriteProfileString("S", "k", "12", path_));
    ASSERT_TRUE(WriteProfileString("T", "k", "x", path_));
    EXPECT_EQ(ReadProfileString("S", "k", "def", path_), "12");
    EXPECT_EQ(ReadProfileInt("S", "k", 5, path_), 12);
    EXPECT_EQ(Read(path_), "[S]\nk=12\n\n[T]\nk=x\n");
}

TEST_F(Profile, GarbageLoadsDefaultsAndStaysWritable) {
    std::mt19937 random(1234);
    std::string garbage(65536, '\0');
    for (char& c : garbage) {
        c = char(random() & 0xFF);
        if (c == '\n') c = 0;  // no line breaks at all
    }
    ProfileDocument doc = LoadText(garbage);
    EXPECT_EQ(doc.GetString("Filenames", "InputFile", "def"), "def");
    EXPECT_EQ(doc.GetInt("Values", "Border", 15), 15);
    doc.SetInt("Values", "Border", 3);
    ASSERT_TRUE(doc.Save(path_));
    ProfileDocument back;
    ASSERT_TRUE(ProfileDocument::Load(path_, back));
    EXPECT_EQ(back.GetInt("Values", "Border", 15), 3);
    EXPECT_EQ(Read(path_).substr(0, garbage.size()), garbage);

    // A NUL ends what a line says.
    doc = LoadText(std::string("[A]\nk=ab\0cd\nj\0=1\n", 17));
    EXPECT_EQ(doc.GetString("A", "k", ""), "ab");
    EXPECT_EQ(doc.GetInt("A", "j", 7), 7);
}

TEST_F(Profile, HugeFileIsReadUpToTheCap) {
    std::string text = "[A]\nk=1\n";
    const std::string filler = "; " + std::string(1000, '.') + "\n";
    while (text.size() + filler.size() < kMaxProfileBytes - 2000) text += filler;
    text += ";" + std::string(kMaxProfileBytes - 5 - text.size() - 2, '.') + "\n";
    ASSERT_EQ(text.size(), kMaxProfileBytes - 5);
    text += "cut=123456789\n";  // crosses the cap
    text += "late=1\n" + std::string(2 << 20, 'z');
    ASSERT_GT(text.size(), kMaxProfileBytes);
    ProfileDocument doc = LoadText(text);
    EXPECT_EQ(doc.GetInt("A", "k", 0), 1);
    EXPECT_EQ(doc.GetInt("A", "cut", -1), -1);  // not a truncated 12345
    EXPECT_EQ(doc.GetInt("A", "late", -1), -1);
    size_t bytes = 0;
    for (const std::string& line : doc.lines) bytes += line.size();
    EXPECT_LE(bytes, kMaxProfileBytes);
    // Saving would lose what was not read, so the big file is left as it is.
    EXPECT_TRUE(doc.partial);
    const std::string path = dir_ + "/big.ini";
    ASSERT_TRUE(WriteProfileString("X", "y", "1", path));
    std::string before = Read(path);
    EXPECT_FALSE(doc.Save(path));
    EXPECT_EQ(Read(path), before);

    doc = LoadText(std::string(3 << 20, 'q'));  // one line, larger than the cap
    EXPECT_TRUE(doc.lines.empty());
}

TEST_F(Profile, LoadTellsAbsentFromUnreadable) {
    ProfileDocument doc;
    EXPECT_TRUE(ProfileDocument::Load(dir_ + "/none.ini", doc));
    EXPECT_TRUE(doc.lines.empty());
    EXPECT_TRUE(ProfileDocument::Load(dir_ + "/no/such/dir.ini", doc));
    EXPECT_FALSE(ProfileDocument::Load(dir_, doc));  // a directory
    EXPECT_FALSE(WriteProfileString("S", "k", "v", dir_));
}

TEST_F(Profile, FailedSaveLeavesTheOldFileUnchanged) {
    ProfileDocument doc;
    doc.SetString("S", "k", "new");

    Write(dir_ + "/plain", "x");
    EXPECT_FALSE(doc.Save(dir_ + "/plain/Kestrel.ini"));  // folder is a regular file
    EXPECT_FALSE(doc.Save(dir_ + "/missing/Kestrel.ini"));
    EXPECT_FALSE(fs::exists(dir_ + "/missing"));

    // The rename fails: the temporary file is taken away again.
    const std::string folder = dir_ + "/folder.ini";
    fs::create_directory(folder);
    Write(folder + "/inside", "x");
    EXPECT_FALSE(doc.Save(folder));
    EXPECT_EQ(Read(folder + "/inside"), "x");
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(Profile, SaveReplacesWholeFileAndKeepsModeAndLinks) {
    Write(path_, "[S]\nk=old\n");
    chmod(path_.c_str(), 0600);
    Write(path_ + ".tmp", "stale");  // some other program's file: neither used nor removed
    ASSERT_TRUE(WriteProfileString("S", "k", "new", path_));
    ASSERT_TRUE(WriteProfileString("S", "k", "new", path_));  // a second save finds its own name
    EXPECT_EQ(Read(path_), "[S]\nk=new\n");
    EXPECT_EQ(Read(path_ + ".tmp"), "stale");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 2u);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const std::string link = dir_ + "/link.ini";
    fs::create_symlink(path_, link);
    ASSERT_TRUE(WriteProfileString("S", "k", "via link", link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Read(path_), "[S]\nk=via link\n");
}

}  // namespace
}  // namespace kestrel
