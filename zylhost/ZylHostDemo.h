// zylhost demo: a private broker, a folder tree shared by one user, and two desktop hosts side by
// side, one with its file-sharing window open, the other opening it on the first one's shares.
#pragma once

#include <string>

// Runs until both hosts have ended (their windows closed) or an interrupt; the exit code.
int ZylHostDemo(const std::string& keep);
