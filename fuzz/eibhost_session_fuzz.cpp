// eibhost's session file reader on arbitrary file contents. Invariant: a bad
// file is refused with an InputError, nothing else escapes, and a plan that
// was read passes or fails CheckPlan the same way.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "session_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/qel-fuzz-session-" + std::to_string(getpid()) + ".toml";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    eibhost::SessionPlan plan;
    try {
        eibhost::ReadSessionFile(path, plan, true);
        eibhost::CheckPlan(plan);
    } catch (const eibhost::InputError&) {
    }
    return 0;
}
