#include "host/ZylHostDefaults.h"

#include "zylfs/ZylPlugin.h"

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

std::string ZylParseBrokerAddress(const std::string& text, std::string& host, int& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return "--broker is HOST:PORT, not '" + text + "'";
    const std::string digits = text.substr(colon + 1);
    int value = -1;
    try {
        size_t used = 0;
        value = std::stoi(digits, &used);
        if (used != digits.size())
            value = -1;
    } catch (...) {
        value = -1;
    }
    if (value <= 0 || value > 65535)
        return "the broker port must be a number from 1 to 65535, not '" + digits + "'";
    host = text.substr(0, colon);
    port = value;
    return {};
}

std::string ZylCanonicalUserId(const std::string& text) {
    // A user id is ASCII: any other byte stays a character the identity refuses.
    const std::u16string wide(text.begin(), text.end());
    HostUserId id;
    if (!id.Parse(wide) || id.GetKind() == HostUserId::Invalid)
        return {};
    const std::u16string canonical = id.ToText();
    return std::string(canonical.begin(), canonical.end());
}
