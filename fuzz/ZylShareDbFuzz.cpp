// Fuzz target of the share database loader: the input is the file "fss-S1.1000.fsd" of the login
// S1.1000. ZylDbFuzz.h says how the input is framed and what is checked.
#include "fuzz/ZylDbFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zylfuzz::DBFUZZ state;
    CZylShareManager& shares = state.plugin.GetShareManager();
    zylfuzz::RunDbInput(
        shares, state.temp.Path() / "fss-S1.1000.fsd", [&] { return shares.GetShareCount(); }, data, size);
    return 0;
}
