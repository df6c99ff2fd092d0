#include "settings/dialog_rules.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(DialogRules, ForceExtensionReplacesTheLastExtensionOfTheFileName) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/user/my.videos/night", "/home/user/my.videos/night.avi"},
        {"/v/CLIP.AVI", "/v/CLIP.avi"}, {"/a/b.tar.gz", "/a/b.tar.avi"}, {"", ".avi"},
        {"D:\\run\\night", "D:\\run\\night.avi"}, {"/x/.avi", "/x/.avi"}};
    for (const auto& [name, forced] : cases) EXPECT_EQ(ForceExtension(name, ".avi"), forced);
}

// The dialog reads a field as an unsigned 32-bit number and keeps its bits as signed.
TEST(DialogRules, ClampedReadOfAField) {
    const struct {
        const char* text;
        int32_t maximum, value;  // 99 when the text is no number and the value stays
    } cases[] = {{"300", 255, 255}, {"60", 50, 50}, {"0", 100, 0}, {"  42", 100, 42},
                 {"2147483647", 100, 100}, {"2147483648", 100, 0}, {"4294967295", 100, 0},
                 {"4294967296", 100, 99}, {"99999999999", 100, 99}, {"", 100, 99},
                 {"   ", 100, 99}, {"-1", 100, 99}, {"+5", 100, 99}, {"12a", 100, 99},
                 {"12 ", 100, 99}};
    for (const auto& c : cases) {
        int32_t value = 99;
        ClampedRead(c.text, 0, c.maximum, value);
        EXPECT_EQ(value, c.value) << c.text;
    }
}

}  // namespace
}  // namespace kestrel
