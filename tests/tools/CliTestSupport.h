// Helpers for the command-line companion's tests: a scratch folder per test, running the
// program in-process or as a child process, writing fixture recordings and reading outputs.
#pragma once

#include "tools/cli/Cli.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct CliResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

// Runs velmorant-cli's core in this process with the given arguments (without argv[0]),
// offering only `features` (see RunCli), by default those of this build.
CliResult RunCliInProcess(const std::vector<std::string>& args,
                          const CliFeatures& features = BuiltFeatures());

// Runs the built velmorant-cli executable as a child process and collects its output.
CliResult RunCliProgram(const std::vector<std::string>& args);
// The same for the program at `program` (a copy of it, say).
CliResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args);
// The same with the descriptor `input` as its standard input (-1: this process's own).
CliResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     int input);
// Runs the built velmorant-cli with the file `input` piped into its standard input by cat.
CliResult RunCliProgramPipedFrom(const std::filesystem::path& input,
                                 const std::vector<std::string>& args);
// Where the built velmorant-cli is.
std::filesystem::path CliProgramPath();

// Writes a 16-bit PCM file of any rate and channel count; `interleaved` holds frames of
// `channels` samples. The container follows the extension: .wav, .flac, .aiff, or .ogg (Vorbis,
// so not sample-exact).
void WriteRecording(const std::filesystem::path& path, int sampleRate, int channels,
                    const std::vector<std::int16_t>& interleaved);

std::string ReadText(const std::filesystem::path& path);

// The lines of a text, without their line breaks.
std::vector<std::string> SplitLines(const std::string& text);

// One row of CSV output as column name -> text.
using CsvRow = std::map<std::string, std::string>;
// Parses CSV output with its header row; fails the test on a malformed line.
std::vector<CsvRow> ParseCsv(const std::string& text);

// A fresh folder for each test, removed afterwards.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path Path(const std::string& name) const { return Folder / name; }
    // Names of everything in the folder, hidden files included: a leftover temporary shows.
    std::vector<std::string> FolderContents() const;

    std::filesystem::path Folder;
};
