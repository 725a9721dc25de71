// The device capabilities report composed from arbitrary capability records.
//
// Input: a WAVEOUTCAPS (52 bytes), the output volume (4 bytes) and a WAVEINCAPS (48 bytes), in
// that order and copied byte for byte, so names may lack their NUL and every bit may be set; a
// short input leaves the rest zero. The report goes into a heap block of exactly 1024 bytes so
// AddressSanitizer catches any write or read beyond it, and must end with a NUL inside it.
#include "diagnostics/CapsFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void Violation(const char* what) {
    std::fprintf(stderr, "fuzz_capsreport: %s\n", what);
    std::abort();
}

// The name as the report must show it: up to its NUL, or all 32 characters when it has none.
std::string_view ShownName(const char (&name)[32]) {
    return {name, strnlen(name, sizeof name)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kRecordBytes = sizeof(WAVEOUTCAPS) + sizeof(DWORD) + sizeof(WAVEINCAPS);
    std::uint8_t bytes[kRecordBytes] = {};
    std::memcpy(bytes, data, size < kRecordBytes ? size : kRecordBytes);

    WAVEOUTCAPS output;
    DWORD volume = 0;
    WAVEINCAPS input;
    std::memcpy(&output, bytes, sizeof output);
    std::memcpy(&volume, bytes + sizeof output, sizeof volume);
    std::memcpy(&input, bytes + sizeof output + sizeof volume, sizeof input);

    // Filled with a non-zero byte first, so a report left unterminated cannot pass by luck.
    const auto storage = std::make_unique<char[]>(kCapsReportSize);
    std::memset(storage.get(), 'X', kCapsReportSize);
    auto& text = *reinterpret_cast<char(*)[kCapsReportSize]>(storage.get());
    FormatCapsReport(output, volume, input, text);

    const void* end = std::memchr(text, '\0', kCapsReportSize);
    if (end == nullptr) {
        Violation("report not terminated inside its 1024 bytes");
    }
    const std::string_view report(text,
                                  static_cast<std::size_t>(static_cast<const char*>(end) - text));

    // Names are at most 32 characters, so the whole report fits and nothing may be cut off.
    const std::string_view outputHeading = "WaveOut driver: ";
    if (report.substr(0, outputHeading.size()) != outputHeading ||
        report.substr(outputHeading.size(), ShownName(output.szPname).size()) !=
            ShownName(output.szPname)) {
        Violation("report does not begin with the output's heading and name");
    }
    const std::string inputLine =
        "\nWaveIn driver: " + std::string(ShownName(input.szPname)) + "\n";
    if (report.find(inputLine) == std::string_view::npos) {
        Violation("report lacks the input's heading and name");
    }
    return 0;
}
