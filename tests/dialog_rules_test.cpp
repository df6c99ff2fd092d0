#include "settings/dialog_rules.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(ForceExtension, ReplacesOrAppendsWithWindowsSeparators) {
    const std::string_view win = "\\/";
    EXPECT_EQ(ForceExtension("C:\\video\\clip.mpg", ".avi", win), "C:\\video\\clip.avi");
    EXPECT_EQ(ForceExtension("C:\\video\\CLIP.AVI", ".avi", win), "C:\\video\\CLIP.avi");
    EXPECT_EQ(ForceExtension("D:\\run\\night", ".avi", win), "D:\\run\\night.avi");
    EXPECT_EQ(ForceExtension("C:\\dark.frames\\dark", ".bmp", win), "C:\\dark.frames\\dark.bmp");
    EXPECT_EQ(ForceExtension("C:\\a.b\\c", ".avi", win), "C:\\a.b\\c.avi");
}

TEST(ForceExtension, SlashIsTheSeparatorHere) {
    EXPECT_EQ(ForceExtension("/home/user/my.videos/night", ".avi"),
              "/home/user/my.videos/night.avi");
    EXPECT_EQ(ForceExtension("/darks/d1.BMP", ".bmp"), "/darks/d1.bmp");
    EXPECT_EQ(ForceExtension("/a/b.tar.gz", ".avi"), "/a/b.tar.avi");
    EXPECT_EQ(ForceExtension("", ".avi"), ".avi");
    // The full name is kept even past what a stored name holds; storing cuts it.
    std::string longName = "/" + std::string(kMaxNameChars - 1, 'x');
    std::string forced = ForceExtension(longName, ".avi");
    EXPECT_EQ(forced.size(), kMaxNameChars + 4);
    EXPECT_EQ(StoredName(forced), forced.substr(0, kMaxNameChars));
    EXPECT_EQ(StoredName("short"), "short");
    // A cut never splits a character: "\xc3\xa9" is one.
    std::string accented = std::string(kMaxNameChars - 1, 'a') + "\xc3\xa9";
    EXPECT_EQ(StoredName(accented), std::string(kMaxNameChars - 1, 'a'));
}

TEST(ReadUnsigned, AcceptsWhatAnUnsignedFieldReadAccepts) {
    uint32_t n = 7;
    EXPECT_TRUE(ReadUnsigned("0", n));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(ReadUnsigned("  42", n));
    EXPECT_EQ(n, 42u);
    EXPECT_TRUE(ReadUnsigned("4294967295", n));
    EXPECT_EQ(n, 4294967295u);
    n = 7;
    for (const char* bad : {"", "   ", "4294967296", "99999999999999999999", "-1", "+5", "12a",
                            "12 ", "x"}) {
        EXPECT_FALSE(ReadUnsigned(bad, n)) << bad;
        EXPECT_EQ(n, 7u) << bad;
    }
}

TEST(ClampedRead, ClampsEachValueAlone) {
    int32_t v = 99;
    ClampedRead("300", 0, 255, v);
    EXPECT_EQ(v, 255);
    ClampedRead("60", 0, 50, v);
    EXPECT_EQ(v, 50);
    ClampedRead("0", 0, 100, v);
    EXPECT_EQ(v, 0);
    v = 99;
    ClampedRead("2147483648", 0, 100, v);
    EXPECT_EQ(v, 0);
    v = 99;
    ClampedRead("4294967295", 0, 100, v);
    EXPECT_EQ(v, 0);
    v = 99;
    ClampedRead("4294967296", 0, 100, v);
    EXPECT_EQ(v, 99);
    ClampedRead("", 0, 100, v);
    EXPECT_EQ(v, 99);
    ClampedRead("2147483647", 0, 100, v);
    EXPECT_EQ(v, 100);
}

TEST(UnsignedText, ShowsThe32BitsUnsigned) {
    EXPECT_EQ(UnsignedText(-1), "4294967295");
    EXPECT_EQ(UnsignedText(999), "999");
    EXPECT_EQ(UnsignedText(INT32_MIN), "2147483648");
}

TEST(ValueFields, ResetValuesAreTheStartValues) {
    Settings fresh;
    for (const ValueField& f : kValueFields) {
        EXPECT_EQ(fresh.*f.value, f.reset);
        EXPECT_GE(f.reset, f.minimum);
        EXPECT_LE(f.reset, f.maximum);
    }
    EXPECT_EQ(kValueFields[0].maximum, 255);
    EXPECT_EQ(kValueFields[4].maximum, 50);
}

TEST(AdvancedHelpText, FiveParagraphsWithEmptyLinesBetween) {
    const std::string& t = AdvancedHelpText();
    EXPECT_TRUE(t.starts_with("Hot pixel threshold: Pixels brighter"));
    EXPECT_TRUE(t.ends_with("when calculating gradients."));
    size_t breaks = 0;
    for (size_t p = t.find("\n\n"); p != std::string::npos; p = t.find("\n\n", p + 2)) ++breaks;
    EXPECT_EQ(breaks, 4u);
    EXPECT_EQ(t.find("\n\n\n"), std::string::npos);
    EXPECT_NE(t.find("\n\nBorder: Pixels within the border are ignored when analysing image for "
                     "gradients and stretching.\n\n"),
              std::string::npos);
}

}  // namespace
}  // namespace kestrel
