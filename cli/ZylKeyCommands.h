// The commands about the keys that seal what travels between two users: whose key is whose, and
// accepting a friend's new key.
#pragma once

#include "cli/ZylNode.h"

#include <string>

// Prints the friend's key fingerprint (your own for your id), logging in to see it when it has not
// been seen yet; and the new key's when it changed.
int ZylCmdWhois(const ZYLNODEOPTIONS& options, const std::string& friendId);
// Accepts the friend's changed key, so that its channels are taken again.
int ZylCmdTrust(const ZYLNODEOPTIONS& options, const std::string& friendId);
