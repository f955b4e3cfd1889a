// The real libzylfs.so as hosts load it: what it exports. The header-alone host beside this file
// drives it through login, channels and logout.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

TEST(ZylModule, ExportsOnlyProcessMessage) {
    const std::string command = std::string("nm -D --defined-only '") + ZYLFS_MODULE_PATH + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        const auto space = text.rfind(' ');
        const char kind = text.size() > 17 ? text[17] : '?';
        // Only code and data count; the linker's version node is no symbol of ours.
        if (kind == 'T' || kind == 'D' || kind == 'B' || kind == 'W' || kind == 'V' || kind == 'R')
            symbols.push_back(text.substr(space + 1, text.find_last_not_of("\r\n") - space));
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols, std::vector<std::string>{"ProcessMessage"});
}
