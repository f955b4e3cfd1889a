// Who may do what on a share: the "Everyone" entry, entries of single users, the rights reported
// to a browsing friend, the user limit and the current-user entries.
#include "share/ZylShareObject.h"

#include "core/ZylProtocol.h"
#include "core/ZylText.h"

#include <gtest/gtest.h>

TEST(ZylShareAccess, EveryoneGrantsToAllUserEntriesOnlyAddAndTheUploadSwitchHidesUploads) {
    CZylShareObject share;
    // The "Everyone" id without case; a user's own entry cannot take away what "Everyone" grants.
    share.AddPrivilegedUser({u"EVERYONE", u"all", ZYL_PRIVILEGED_EVERYONE, ZYL_PRIV_BROWSE});
    share.AddPrivilegedUser({u"S1.1000", u"one", ZYL_PRIVILEGED_USER, ZYL_PRIV_DOWNLOAD | ZYL_PRIV_UPLOAD});
    share.AddPrivilegedUser({u"S1.3000", u"three", ZYL_PRIVILEGED_USER, 0});
    EXPECT_EQ(share.GetEveryonePrivilege(), ZYL_PRIV_BROWSE);
    struct ROW {
        std::u16string id;
        uint16_t reported, withoutUploads;
    };
    for (const ROW& row :
         {ROW{u"S1.1000", 7, 3}, ROW{u"s1.1000", 7, 3}, ROW{u"S1.2000", 1, 1}, ROW{u"S1.3000", 1, 1}}) {
        EXPECT_EQ(share.GetReportedPrivilege(row.id, false), row.reported) << ZylToUtf8(row.id);
        EXPECT_EQ(share.GetReportedPrivilege(row.id, true), row.withoutUploads) << ZylToUtf8(row.id);
        for (uint16_t right : {ZYL_PRIV_BROWSE, ZYL_PRIV_DOWNLOAD, ZYL_PRIV_UPLOAD})
            EXPECT_EQ(share.HasPrivilege(row.id, right) != 0, (row.reported & right) != 0)
                << ZylToUtf8(row.id);
    }
    CZylShareObject closed; // no entry at all: listed with no rights
    EXPECT_EQ(closed.GetReportedPrivilege(u"S1.2000", false), 0);
    EXPECT_FALSE(closed.HasPrivilege(u"S1.2000", ZYL_PRIV_BROWSE));

    // Adding an id already present (in another case) replaces only its privilege.
    EXPECT_EQ(share.AddPrivilegedUser({u"s1.1000", u"other", ZYL_PRIVILEGED_EVERYONE, 6}), 0);
    ASSERT_EQ(share.GetPrivilegedUserCount(), 3);
    ZYLPRIVILEGEDUSER* entry = nullptr;
    EXPECT_EQ(share.FindPrivilegedUser(u"S1.1000", &entry), 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::make_tuple(entry->id, entry->name, entry->type, entry->privilege),
              std::make_tuple(std::u16string(u"S1.1000"), std::u16string(u"one"), ZYL_PRIVILEGED_USER,
                              uint16_t{6}));
    EXPECT_EQ(share.FindPrivilegedUser(u"S1.5000", &entry), -1);
    EXPECT_EQ(entry, nullptr);
}

TEST(ZylShareUsers, LimitIsComparedUnsigned) {
    CZylShareObject share;
    share.SetLimitedUserNumber(0);
    EXPECT_EQ(share.IsUserLimitReached(), 0); // unlimited by default
    share.SetUnlimitedUserNumber(0);
    EXPECT_EQ(share.IsUserLimitReached(), 1); // a limit of 0 is reached with nobody
    share.SetLimitedUserNumber(-1);
    EXPECT_EQ(share.IsUserLimitReached(), 0);

    share.SetLimitedUserNumber(2);
    const CZylDateTime now(1200000000);
    // A user without any right on the share takes no place.
    share.AddCurrentUser({u"S1.9000", {}, 0, 0}, now);
    share.SetLimitedUserNumber(1);
    EXPECT_EQ(share.IsUserLimitReached(), 0);
    share.SetLimitedUserNumber(2);
    share.AddPrivilegedUser({u"S1.1000", {}, ZYL_PRIVILEGED_USER, ZYL_PRIV_UPLOAD});
    share.AddPrivilegedUser({u"S1.2000", {}, ZYL_PRIVILEGED_USER, ZYL_PRIV_BROWSE});
    share.AddCurrentUser({u"S1.1000", {}, 0, 0}, now);
    EXPECT_EQ(share.IsUserLimitReached(), 0);
    share.AddCurrentUser({u"s1.1000", {}, 0, 0}, now); // the same user again adds nothing
    EXPECT_EQ(share.GetCurrentUserCount(), 2);
    share.AddCurrentUser({u"S1.2000", {}, 0, 0}, now);
    EXPECT_EQ(share.IsUserLimitReached(), 1);
    share.RemoveCurrentUser(u"S1.2000");
    EXPECT_EQ(share.IsUserLimitReached(), 0);
}

TEST(ZylShareUsers, EntriesCarryTimeAndCounters) {
    CZylShareObject share;
    const CZylDateTime now(1200000000);
    share.AddCurrentUser({u"S1.1000", {}, 2, 1}, now);
    share.AddCurrentUser({u"S1.1000", {}, 0, 0}, now); // the first entry is found as well as any
    EXPECT_EQ(share.GetCurrentUserCount(), 1);
    ZYLSHAREUSER* user = nullptr;
    ASSERT_EQ(share.FindCurrentUser(u"S1.1000", &user), 0);
    EXPECT_TRUE(user->time == now);
    share.ReleaseCurrentUser(u"S1.1000", 1); // no such kind
    EXPECT_EQ(std::make_pair(user->downloads, user->uploads), std::make_pair(2, 1));
    share.ReleaseCurrentUser(u"S1.1000", 2);
    share.ReleaseCurrentUser(u"S1.1000", 4);
    share.ReleaseCurrentUser(u"S1.1000", 4); // a release without a start stays at 0
    EXPECT_EQ(std::make_pair(user->downloads, user->uploads), std::make_pair(1, 0));

    share.AddPrivilegedUser({u"Everyone", {}, ZYL_PRIVILEGED_EVERYONE, 3});
    share.ClearUsers();
    EXPECT_EQ(share.GetCurrentUserCount(), 0);
    EXPECT_EQ(share.GetPrivilegedUserCount(), 0);
}
