#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "settings/profile.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class Profile : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-profile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/Kestrel.ini";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    ProfileDocument LoadText(const std::string& bytes) {
        Write(path_, bytes);
        ProfileDocument doc;
        EXPECT_TRUE(ProfileDocument::Load(path_, doc));
        return doc;
    }
    // Sets one key and returns the bytes that the file then holds.
    std::string AfterSet(const std::string& bytes, const char* section, const char* key,
                         const char* value) {
        ProfileDocument doc = LoadText(bytes);
        doc.SetString(section, key, value);
        EXPECT_TRUE(doc.Save(path_));
        return Read(path_);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(Profile, NamesMatchWithoutLetterCaseOrSurroundingWhiteSpace) {
    ProfileDocument doc = LoadText("  [ flags ]  \n\t hOT   =   2 \t\nSub Dark=1\n");
    EXPECT_EQ(doc.GetInt("Flags", "Hot", 0), 2);
    EXPECT_EQ(doc.GetString("FLAGS", "HOT", "x"), "2");
    EXPECT_EQ(doc.GetInt("Flags", "SubDark", 7), 7);  // white space inside a name counts
    EXPECT_EQ(doc.GetInt("Flag", "Hot", 7), 7);

    EXPECT_EQ(AfterSet("[flags]\n  HOT = 2\n", "Flags", "Hot", "1"), "[flags]\n  HOT=1\n");
}

TEST_F(Profile, FirstDuplicateSectionAndKeyWin) {
    const std::string text = "[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n";
    ProfileDocument doc = LoadText(text);
    EXPECT_EQ(doc.GetInt("A", "k", 0), 1);
    EXPECT_EQ(doc.GetInt("A", "j", 0), 0);  // only the first [A] is looked at

    EXPECT_EQ(AfterSet(text, "a", "K", "9"), "[A]\nk=9\nk=2\n[a]\nk=3\nj=4\n");
    EXPECT_EQ(AfterSet(text, "A", "j", "5"), "[A]\nk=1\nk=2\nj=5\n[a]\nk=3\nj=4\n");
}

TEST_F(Profile, QuotesBackslashesAndOtherBytesOfValues) {
    ProfileDocument doc = LoadText(
        "[F]\n"
        "a = \"C:\\Dir\\x.avi\"\n"
        "b='single'\n"
        "c=\"mixed'\n"
        "d=\"\n"
        "e=\"\"\n"
        "f=C:\\new\\t.avi\n"
        "g=x ; y # z\n"
        "h=\" inner \"\n"
        "i=a=b\n"
        "n=\"5\"\n");
    EXPECT_EQ(doc.GetString("F", "a", ""), "C:\\Dir\\x.avi");
    EXPECT_EQ(doc.GetString("F", "b", ""), "single");
    EXPECT_EQ(doc.GetString("F", "c", ""), "\"mixed'");
    EXPECT_EQ(doc.GetString("F", "d", ""), "\"");
    EXPECT_EQ(doc.GetString("F", "e", "x"), "");
    EXPECT_EQ(doc.GetString("F", "f", ""), "C:\\new\\t.avi");
    EXPECT_EQ(doc.GetString("F", "g", ""), "x ; y # z");
    EXPECT_EQ(doc.GetString("F", "h", ""), " inner ");
    EXPECT_EQ(doc.GetString("F", "i", ""), "a=b");
    EXPECT_EQ(doc.GetInt("F", "n", 0), 5);
}

TEST_F(Profile, WrittenValuesReadBackAsGiven) {
    const std::string values[] = {"C:\\Input.AVI", " lead", "trail\t", "\"quoted\"", "'q'",
                                  "\"half", "", "a=b;c"};
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

TEST_F(Profile, CommentsAreNotKeys) {
    ProfileDocument doc = LoadText("[A]\n;k=1\n# k=2\n  ; k=3\n");
    EXPECT_EQ(doc.GetInt("A", "k", 7), 7);
    EXPECT_EQ(AfterSet("[A]\n;k=1\n", "A", "k", "4"), "[A]\nk=4\n;k=1\n");
}

TEST_F(Profile, IntegerTextReadLikeThePlatform) {
    const struct {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"12abc", 12}, {"-5", -5}, {"abc", 0}, {"+7", 7}, {"  42  ", 42}, {"007", 7},
        {"- 5", 0}, {"0x10", 0}, {"3.9", 3}, {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX}, {"99999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"-", 0},
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
    ProfileDocument doc = LoadText("[F]\nname=" + longValue + "\nname259=" +
                                   std::string(259, 'y') + "\n");
    EXPECT_EQ(doc.GetString("F", "name", ""), std::string(259, 'x'));
    EXPECT_EQ(doc.GetString("F", "name259", ""), std::string(259, 'y'));
    EXPECT_EQ(doc.GetString("F", "missing", longValue), std::string(259, 'x'));
    // 258 bytes and a two-byte character: no half character at the end.
    EXPECT_EQ(CutProfileText(std::string(258, 'a') + "\xC3\xA9", 259), std::string(258, 'a'));
    EXPECT_EQ(CutProfileText(std::string(258, 'a') + "\x80\x80", 259).size(), 259u);
}

TEST_F(Profile, WritingKeepsOtherLinesAndLineEndings) {
    const std::string crlf =
        "; settings\r\n\r\n[Filenames]\r\nInputFile=a.avi\r\nMine = keep \r\n\r\n"
        "[Other]\r\nx=1\r\n";
    EXPECT_EQ(AfterSet(crlf, "Filenames", "InputFile", "b.avi"),
              "; settings\r\n\r\n[Filenames]\r\nInputFile=b.avi\r\nMine = keep \r\n\r\n"
              "[Other]\r\nx=1\r\n");
    // A new key goes after the section's last entry; a new section at the end.
    EXPECT_EQ(AfterSet(crlf, "Filenames", "DarkFrame", "d.bmp"),
              "; settings\r\n\r\n[Filenames]\r\nInputFile=a.avi\r\nMine = keep \r\n"
              "DarkFrame=d.bmp\r\n\r\n[Other]\r\nx=1\r\n");
    EXPECT_EQ(AfterSet(crlf, "Flags", "Hot", "1"), crlf + "\r\n[Flags]\r\nHot=1\r\n");

    const std::string lf = "[A]\nx=1\n\n; about B\n[B]\ny=2\n";
    EXPECT_EQ(AfterSet(lf, "A", "z", "3"), "[A]\nx=1\nz=3\n\n; about B\n[B]\ny=2\n");
    EXPECT_EQ(AfterSet(lf, "C", "w", "4"), lf + "\n[C]\nw=4\n");
    // An unterminated last line gets the file's line break before anything follows it.
    EXPECT_EQ(AfterSet("[A]\r\nx=1", "A", "y", "2"), "[A]\r\nx=1\r\ny=2\r\n");
    EXPECT_EQ(AfterSet("[A]\nx=1", "A", "x", "2"), "[A]\nx=2");
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

TEST_F(Profile, ByteOrderMarkBeforeTheFirstSection) {
    ProfileDocument doc = LoadText("\xEF\xBB\xBF[A]\nk=1\n");
    EXPECT_EQ(doc.GetInt("A", "k", 0), 1);
    EXPECT_EQ(AfterSet("\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "2"), "\xEF\xBB\xBF[A]\nk=2\n");
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

    // A NUL ends what a line says; half-formed lines are no keys.
    doc = LoadText(std::string("[A]\nk=ab\0cd\nj\0=1\n[B\nm=2\n=3\n", 27));
    EXPECT_EQ(doc.GetString("A", "k", ""), "ab");
    EXPECT_EQ(doc.GetInt("A", "j", 7), 7);
    EXPECT_EQ(doc.GetInt("A", "m", 7), 2);  // "[B" is no header
    EXPECT_EQ(doc.GetInt("B", "m", 7), 7);
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

    // The temporary file cannot be made: the old file keeps its bytes.
    const std::string old = "[S]\nk=old\n";
    Write(path_, old);
    fs::create_directory(path_ + ".tmp");
    Write(path_ + ".tmp/blocker", "x");
    EXPECT_FALSE(doc.Save(path_));
    EXPECT_EQ(Read(path_), old);

    // The rename fails: the temporary file is taken away again.
    const std::string folder = dir_ + "/folder.ini";
    fs::create_directory(folder);
    Write(folder + "/inside", "x");
    EXPECT_FALSE(doc.Save(folder));
    EXPECT_FALSE(fs::exists(folder + ".tmp"));
    EXPECT_EQ(Read(folder + "/inside"), "x");
}

TEST_F(Profile, SaveReplacesWholeFileAndKeepsModeAndLinks) {
    Write(path_, "[S]\nk=old\n");
    chmod(path_.c_str(), 0600);
    Write(path_ + ".tmp", "stale");  // left by a save that was cut short
    ASSERT_TRUE(WriteProfileString("S", "k", "new", path_));
    EXPECT_EQ(Read(path_), "[S]\nk=new\n");
    EXPECT_FALSE(fs::exists(path_ + ".tmp"));
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
