// What every host program of this transport shares, so that the command-line node and the desktop
// host see the same user's shares and tasks: the default broker, the variables that name the user
// and the password, where a user's application folder is by default, and how the arguments that
// say so are read.
#pragma once

#include <filesystem>
#include <string>

inline constexpr const char* ZYL_DEFAULT_BROKER = "127.0.0.1:1883";
inline constexpr const char* ZYL_ENV_USER = "ZYLFS_USER";
inline constexpr const char* ZYL_ENV_PASSWORD = "ZYLFS_PASSWORD";

// The default application path of a user: $XDG_DATA_HOME/zylfs/<user> (~/.local/share/...).
std::filesystem::path ZylDefaultDataDir(const std::string& user);
// Reads "HOST:PORT"; an empty text when it is one, else a sentence saying what is wrong.
std::string ZylParseBrokerAddress(const std::string& text, std::string& host, int& port);
// The user id in its own spelling ("s1.1000" gives "S1.1000"); empty when the text is none.
std::string ZylCanonicalUserId(const std::string& text);
