#include "host/ZylHostDefaults.h"

#include <cstdlib>

std::filesystem::path ZylDefaultDataDir(const std::string& user) {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::filesystem::path base;
    if (data && *data == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".local" / "share";
    }
    return base / "zylfs" / user;
}
