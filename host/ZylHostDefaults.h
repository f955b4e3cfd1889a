// What every host program of this transport shares, so that the command-line node and the desktop
// host see the same user's shares and tasks: the default broker, the variables that name the user
// and the password, where a user's application folder is by default, and how the arguments that
// say so are read.
#pragma once

#include <filesystem>
#include <string>

// Reading a broker address and a user id's own spelling live with the transport.
#include "host/ZylMqttFrame.h"
#include "host/ZylMqttHost.h"

inline constexpr const char* ZYL_DEFAULT_BROKER = "127.0.0.1:1883";
inline constexpr const char* ZYL_ENV_USER = "ZYLFS_USER";
inline constexpr const char* ZYL_ENV_PASSWORD = "ZYLFS_PASSWORD";

// The default application path of a user: $XDG_DATA_HOME/zylfs/<user> (~/.local/share/...).
std::filesystem::path ZylDefaultDataDir(const std::string& user);
