// The demonstration: a private broker, two nodes, a generated folder tree shared by one and
// downloaded by the other, every file compared byte for byte.
#pragma once

#include <string>

struct ZYLDEMOOPTIONS {
    int nRandomMiB = 16;
    std::string sKeep; // keep the folders here instead of a temporary folder
};

int ZylCmdDemo(const ZYLDEMOOPTIONS& options);
