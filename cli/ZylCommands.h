// The node's commands. Each returns the process exit code: 0 done, 1 failed (a line on stderr
// says why), 130 interrupted.
#pragma once

#include "cli/ZylNode.h"

#include <cstdint>
#include <string>
#include <vector>

struct ZYLSHAREADD {
    std::string sPath;
    std::string sName;
    std::string sEveryone;
    std::vector<std::string> vGrants; // ID=RIGHTS
    int nMaxUsers = -1;               // -1: no limit
};

int ZylCmdShareAdd(const ZYLNODEOPTIONS& options, const ZYLSHAREADD& add);
int ZylCmdShareList(const ZYLNODEOPTIONS& options);
int ZylCmdShareRemove(const ZYLNODEOPTIONS& options, const std::string& name);
int ZylCmdShareUpload(const ZYLNODEOPTIONS& options, bool allowed);
int ZylCmdServe(const ZYLNODEOPTIONS& options);
int ZylCmdBrowse(const ZYLNODEOPTIONS& options, const std::string& friendId, const std::string& sharePath);
int ZylCmdGet(const ZYLNODEOPTIONS& options, const std::string& friendId, const std::string& sharePath,
              const std::string& destination);
int ZylCmdPut(const ZYLNODEOPTIONS& options, const std::string& localPath, const std::string& friendId,
              const std::string& sharePath);
int ZylCmdTasks(const ZYLNODEOPTIONS& options);

// "browse,download,upload" to privilege bits; false for an unknown word.
bool ZylParseRights(const std::string& text, uint16_t& rights);
std::string ZylRightsText(uint16_t rights);
// A share path as a user types it: "/" taken as "\", separators at the ends dropped.
std::u16string ZylNormalizeSharePath(const std::string& text);
