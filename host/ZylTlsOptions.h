// The command-line options that say how a host program reaches the broker over TLS, read the same
// way by the command-line node and the desktop host.
#pragma once

#include "host/ZylMqttHost.h"

#include <CLI/CLI.hpp>

#include <string>

// --tls and --ca-file, written into security as they are read: either one asks for TLS; without
// them TLS is used on port 8883 alone. Verification stays on whatever is given.
inline void ZylAddTlsOptions(CLI::App& app, ZYLMQTTSECURITY& security) {
    app.add_flag_callback(
        "--tls", [&security] { security.nTls = 1; },
        "connect with TLS, verifying the broker's certificate and host name (on by default for port 8883)");
    app.add_option_function<std::string>(
        "--ca-file",
        [&security](const std::string& file) {
            security.sCaFile = file;
            security.nTls = 1;
        },
        "the authority's certificate (PEM) to verify the broker with, instead of the system's");
}
