// The exports that need no service against the raw operation, as ratios
// measured in one run (result lines: bench/benchutil.h).
//  - HVC_idn_toAscii against the bare libidn call.
//  - HVC_Base64Decode on 1 MiB and 64 MiB of Base64 in 76-column lines
//    against Windows' own decoder (CryptStringToBinaryA) and a plain
//    table-driven decoder; and its peak memory against the decoded size.
// Run under Wine: hvcbench.exe [idn-iterations]
#include <windows.h>
#include <psapi.h>
#include <wincrypt.h>

#include <idn-free.h>
#include <idna.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"
#include "runtime/owners.h"

namespace {

using bench::bind;
using bench::secondsFor;

// A plain scalar decoder with the export's rules (bytes outside the
// alphabet skipped, groups of up to four), into a block of its own.
char* tableDecode(const char* text) {
    static signed char table[256];
    static bool ready = false;
    if (!ready) {
        std::memset(table, -1, sizeof table);
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        ready = true;
    }
    const size_t length = std::strlen(text);
    auto* out = static_cast<char*>(std::malloc(length / 4 * 3 + 4));
    if (!out) return nullptr;
    size_t written = 0;
    unsigned long bits = 0;
    int count = 0;
    for (size_t i = 0; i < length; ++i) {
        int value = table[static_cast<unsigned char>(text[i])];
        if (value < 0) continue;
        bits = (bits << 6) | static_cast<unsigned long>(value);
        if (++count == 4) {
            out[written++] = static_cast<char>(bits >> 16);
            out[written++] = static_cast<char>(bits >> 8);
            out[written++] = static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (count >= 2) out[written++] = static_cast<char>(bits >> (6 * count - 8));
    if (count == 3) out[written++] = static_cast<char>(bits >> 2);
    out[written] = '\0';
    return out;
}

// Windows' decoder, into a block of the same size.
char* cryptDecode(const char* text) {
    const size_t length = std::strlen(text);
    DWORD size = static_cast<DWORD>(length / 4 * 3 + 4);
    auto* out = static_cast<char*>(std::malloc(size));
    if (!out) return nullptr;
    if (!CryptStringToBinaryA(text, static_cast<DWORD>(length), CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(out),
                              &size, nullptr, nullptr)) {
        std::free(out);
        return nullptr;
    }
    out[size] = '\0';
    return out;
}

// Base64 of bytes 1..255 repeated (no zero byte, so the export decodes it
// all), in lines of 76 characters and CRLF, at least `bytes` long.
std::string base64Lines(size_t bytes) {
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line;
    std::string text;
    text.reserve(bytes + 80);
    unsigned char next = 1;
    auto byte = [&] {
        unsigned char b = next;
        next = static_cast<unsigned char>(next == 255 ? 1 : next + 1);
        return b;
    };
    while (text.size() < bytes) {
        line.clear();
        for (int group = 0; group < 19; ++group) {
            unsigned long bits = static_cast<unsigned long>(byte()) << 16;
            bits |= static_cast<unsigned long>(byte()) << 8;
            bits |= byte();
            for (int shift = 18; shift >= 0; shift -= 6) line += alphabet[(bits >> shift) & 63];
        }
        text += line;
        text += "\r\n";
    }
    return text;
}

struct Memory {
    SIZE_T pagefile, peakPagefile, workingSet, peakWorkingSet;
};

Memory memoryNow() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return {counters.PagefileUsage, counters.PeakPagefileUsage, counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

// The most the process's commit or working set grew above their level at
// the call's start while decode ran. The peaks only ever rise: touched
// ballast first lifts the current levels to the peaks so far, so that a new
// peak is the call's own.
double peakGrowth(const std::function<void()>& decode) {
    Memory before = memoryNow();
    SIZE_T gap = std::max(before.peakPagefile - before.pagefile, before.peakWorkingSet - before.workingSet);
    std::vector<char> ballast(gap + (1u << 20), 1);
    before = memoryNow();
    decode();
    Memory after = memoryNow();
    double commit = static_cast<double>(after.peakPagefile) - static_cast<double>(before.pagefile);
    double resident = static_cast<double>(after.peakWorkingSet) - static_cast<double>(before.workingSet);
    return std::max(commit, resident);
}

}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (iterations < 10) iterations = 10;
    HMODULE module = bench::loadLibrary();
    auto toAscii = bind<HVC_idn_toAscii_t>(module, HVC_NAME_idn_toAscii);
    auto base64 = bind<HVC_Base64Decode_t>(module, HVC_NAME_Base64Decode);
    auto freeString = bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);
    bool ok = true;

    // IDN: interleaved rounds of the bare call and the export.
    const char* name = "b\xC3\xBC" "cher.\xE4\xBE\x8B\xE5\xAD\x90.example";
    auto rawIdn = [&] {
        char* out = nullptr;
        if (idna_to_ascii_8z(name, &out, 0) == IDNA_SUCCESS)
            idn_free(out);
        else
            ok = false;
    };
    auto exportIdn = [&] {
        const char* out = toAscii(name);
        if (!out) ok = false;
        freeString(out);
    };
    secondsFor(200, rawIdn);
    secondsFor(200, exportIdn);
    double raw = 0, exported = 0;
    const int rounds = 10, block = iterations / rounds;
    for (int round = 0; round < rounds; ++round) {
        raw += secondsFor(block, rawIdn);
        exported += secondsFor(block, exportIdn);
    }
    const double calls = static_cast<double>(rounds) * block;
    bench::result("idn_toAscii_us", exported * 1e6 / calls, raw * 1e6 / calls, 1.10);

    // Base64: the same text through all three, rounds interleaved; the
    // result is checked against the plain decoder's once.
    for (size_t mib : {size_t(1), size_t(64)}) {
        const std::string text = base64Lines(mib << 20);
        {
            UniqueMallocPtr<char> expected(tableDecode(text.c_str()));
            UniqueMallocPtr<char> viaCrypt(cryptDecode(text.c_str()));
            const char* decoded = base64(text.c_str());
            if (!expected || !viaCrypt || !decoded || std::strcmp(expected.get(), decoded) != 0 ||
                std::strcmp(expected.get(), viaCrypt.get()) != 0) {
                std::fprintf(stderr, "Base64 decoders disagree on %zu MiB\n", mib);
                ok = false;
            }
            freeString(decoded);
        }
        const int perRound = mib == 1 ? 20 : 1, base64Rounds = 5;
        double exportTime = 0, tableTime = 0, cryptTime = 0;
        for (int round = 0; round < base64Rounds; ++round) {
            exportTime += secondsFor(perRound, [&] { freeString(base64(text.c_str())); });
            tableTime += secondsFor(perRound, [&] { std::free(tableDecode(text.c_str())); });
            cryptTime += secondsFor(perRound, [&] { std::free(cryptDecode(text.c_str())); });
        }
        const double n = static_cast<double>(perRound) * base64Rounds;
        const std::string prefix = "base64_" + std::to_string(mib) + "MiB_ms_vs_";
        bench::result((prefix + "table").c_str(), exportTime * 1e3 / n, tableTime * 1e3 / n, 1.0);
        bench::result((prefix + "CryptStringToBinaryA").c_str(), exportTime * 1e3 / n, cryptTime * 1e3 / n, -1);
        if (mib == 64) {
            // Peak memory of one call against the size of its result.
            double decodedSize = 0;
            double growth = peakGrowth([&] {
                const char* decoded = base64(text.c_str());
                if (decoded) decodedSize = static_cast<double>(std::strlen(decoded));
                freeString(decoded);
            });
            bench::result("base64_64MiB_peak_MiB_vs_decoded", growth / 1048576.0, decodedSize / 1048576.0, 2.0);
        }
    }
    if (!ok) {
        std::fprintf(stderr, "hvcbench: a measured call failed\n");
        return 1;
    }
    return 0;
}
