// Export overhead as ratios against the raw operation, measured in one run.
// Run under Wine: hvcbench.exe [iterations]
#include <windows.h>

#include <idn-free.h>
#include <idna.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"

namespace {

using bench::bind;
using bench::secondsFor;

}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
    HMODULE module = bench::loadLibrary();
    auto toAscii = bind<HVC_idn_toAscii_t>(module, HVC_NAME_idn_toAscii);
    auto base64 = bind<HVC_Base64Decode_t>(module, HVC_NAME_Base64Decode);
    auto freeString = bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);

    const char* name = "b\xC3\xBC" "cher.\xE4\xBE\x8B\xE5\xAD\x90.example";
    double raw = secondsFor(iterations, [&] {
        char* out = nullptr;
        if (idna_to_ascii_8z(name, &out, 0) == IDNA_SUCCESS) idn_free(out);
    });
    double exported = secondsFor(iterations, [&] { freeString(toAscii(name)); });
    std::printf("idn_toAscii: %d calls, raw idna_to_ascii_8z %.2f us/call, HVC_idn_toAscii %.2f us/call, ratio %.2f\n",
                iterations, raw * 1e6 / iterations, exported * 1e6 / iterations, exported / raw);

    // 1 MiB of Base64 in 76-character lines.
    std::string text;
    while (text.size() < (1u << 20)) text += "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsuIFRoZSBxdWljayBicm93biBmb3gganVtcHMu\r\n";
    int rounds = iterations / 1000 > 0 ? iterations / 1000 : 1;
    double copy = secondsFor(rounds, [&] { std::free(_strdup(text.c_str())); });
    double decode = secondsFor(rounds, [&] { freeString(base64(text.c_str())); });
    double mb = static_cast<double>(text.size()) * rounds / (1 << 20);
    std::printf("Base64Decode: %d x %.1f MiB, %.1f MiB/s; a plain _strdup of the input %.1f MiB/s; ratio %.2f\n",
                rounds, text.size() / 1048576.0, mb / decode, mb / copy, decode / copy);
    return 0;
}
