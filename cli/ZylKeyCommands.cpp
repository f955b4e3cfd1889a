#include "cli/ZylKeyCommands.h"

#include "core/ZylText.h"

#include <fmt/format.h>

#include <chrono>

namespace {

int Fail(const std::string& message) {
    fmt::print(stderr, "zylfs: {}\n", message);
    return 1;
}

// The friend's user id in its one spelling and the key store of the data folder; the exit code
// after saying why not, or 0.
int OpenFriendKeys(const ZYLNODEOPTIONS& options, const std::string& text, std::string& id,
                   CZylKeyStore& keys) {
    id = ZylCanonicalUserId(text);
    if (id.empty()) {
        Fail("a friend is a user id like S1.1000, not '" + text + "'");
        return 2;
    }
    if (std::string error = keys.Open(options.pDataDir); !error.empty())
        return Fail(error);
    return 0;
}

} // namespace

int ZylCmdWhois(const ZYLNODEOPTIONS& options, const std::string& friendId) {
    std::string id;
    CZylKeyStore keys;
    if (const int failed = OpenFriendKeys(options, friendId, id, keys))
        return failed;
    if (id == options.sUser) {
        fmt::print("{} (you) {}\n", id, ZylKeyFingerprint(keys.PublicKey()));
        return 0;
    }
    if (!keys.Pinned(id)) {
        // Never seen: its published key is pinned at the login.
        CZylNode node(options);
        if (std::string error = node.Start(true); !error.empty())
            return Fail(error);
        node.RunUntil(
            [&] { return node.Host()->KeyRefusal(id).find("published no key") == std::string::npos; },
            std::chrono::seconds(3));
        node.Stop();
    }
    std::optional<ZYLKEY> changed;
    const auto pinned = keys.Pinned(id, &changed);
    if (!pinned)
        return Fail(id + " has published no key yet");
    fmt::print("{} {}\n", id, ZylKeyFingerprint(*pinned));
    if (changed)
        fmt::print(
            "{} now shows another key, {}: its channels are refused until you trust it (zylfs trust {})\n",
            id, ZylKeyFingerprint(*changed), id);
    return 0;
}

int ZylCmdTrust(const ZYLNODEOPTIONS& options, const std::string& friendId) {
    std::string id;
    CZylKeyStore keys;
    if (const int failed = OpenFriendKeys(options, friendId, id, keys))
        return failed;
    std::optional<ZYLKEY> changed;
    const auto pinned = keys.Pinned(id, &changed);
    if (!pinned)
        return Fail("no key of " + id + " was seen yet: it is pinned the first time " + id +
                    " is seen online");
    if (!changed)
        return Fail(id + "'s key has not changed: " + ZylKeyFingerprint(*pinned));
    if (!keys.Trust(id))
        return Fail("cannot write " + (options.pDataDir / "friends.keys").string());
    fmt::print("{}'s new key is trusted: {}\n", id, ZylKeyFingerprint(*changed));
    return 0;
}
