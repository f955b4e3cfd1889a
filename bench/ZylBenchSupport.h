// What the benchmarks share: timing, peak memory, and the large files they move and compare.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

// The unit of the benchmarks' sizes and of their file buffers.
inline constexpr size_t ZYL_CHUNK = 1 << 20;

inline double ZylSeconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// RUSAGE_SELF for this process, RUSAGE_CHILDREN for the largest child waited for.
inline long ZylPeakRssKiB(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

// The same seed gives the same bytes, so that a run can be repeated.
inline bool ZylWriteRandomFile(const std::filesystem::path& path, size_t bytes, uint64_t seed) {
    std::filesystem::create_directories(path.parent_path());
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    std::mt19937_64 random(seed);
    std::vector<uint64_t> chunk(ZYL_CHUNK / sizeof(uint64_t));
    bool ok = true;
    for (size_t done = 0; ok && done < bytes;) {
        for (auto& word : chunk)
            word = random();
        const size_t n = std::min(ZYL_CHUNK, bytes - done);
        ok = std::fwrite(chunk.data(), 1, n, out) == n;
        done += n;
    }
    return std::fclose(out) == 0 && ok;
}

inline bool ZylSameFiles(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::FILE* x = std::fopen(a.c_str(), "rb");
    std::FILE* y = std::fopen(b.c_str(), "rb");
    bool same = x && y;
    std::vector<char> bx(ZYL_CHUNK), by(ZYL_CHUNK);
    while (same) {
        const size_t n = std::fread(bx.data(), 1, bx.size(), x);
        const size_t m = std::fread(by.data(), 1, by.size(), y);
        same = n == m && std::memcmp(bx.data(), by.data(), n) == 0;
        if (n == 0)
            break;
    }
    if (x)
        std::fclose(x);
    if (y)
        std::fclose(y);
    return same;
}
