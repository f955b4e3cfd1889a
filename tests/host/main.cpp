// The test program. Run as "--zyl-host-child CAFILE PORT USER PASSWORD [PEER]" it is instead a
// bare host for a test to kill: it logs in over TLS to 127.0.0.1 with the user's keys beside the
// broker's authority, opens both channels to PEER (when given),
// prints "ready" once they are open and then serves until it is killed.
#include "host/ZylMqttHost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

static int RunChild(int argc, char** argv) {
    if (argc < 6)
        return 2;
    CZylMqttHost host;
    ZYLMQTTSECURITY security;
    security.nTls = 1;
    security.sCaFile = argv[2];
    security.pKeyFolder =
        std::filesystem::path(argv[2]).parent_path().parent_path() / ("keys-" + std::string(argv[4]));
    host.SetSecurity(security);
    const std::string error = host.Connect("127.0.0.1", std::atoi(argv[3]), argv[4], argv[5]);
    if (!error.empty()) {
        std::printf("error %s\n", error.c_str());
        return 1;
    }
    const std::string peer = argc > 6 ? argv[6] : "";
    if (!peer.empty()) {
        host.OpenChannel(peer, ZYL_CHANNEL_REQUEST);
        host.OpenChannel(peer, ZYL_CHANNEL_DATA);
    }
    bool told = false;
    for (;;) {
        host.Wait(50);
        host.Poll(nullptr);
        if (!told && (peer.empty() || (host.IsChannelOpen(peer, ZYL_CHANNEL_REQUEST) &&
                                       host.IsChannelOpen(peer, ZYL_CHANNEL_DATA)))) {
            std::printf("ready\n");
            std::fflush(stdout);
            told = true;
        }
    }
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--zyl-host-child") == 0)
        return RunChild(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
