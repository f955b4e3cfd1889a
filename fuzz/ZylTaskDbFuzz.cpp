// Fuzz target of the task database loader: the input is the file "fst-S1.1000.fsd" of the login
// S1.1000. ZylDbFuzz.h says how the input is framed and what is checked.
#include "fuzz/ZylDbFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static zylfuzz::DBFUZZ state;
    CZylTaskManager& tasks = state.plugin.GetTaskManager();
    zylfuzz::RunDbInput(
        tasks, state.temp.Path() / "fst-S1.1000.fsd", [&] { return tasks.GetTaskCount(); }, data, size);
    return 0;
}
