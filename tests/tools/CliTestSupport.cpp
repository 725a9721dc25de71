#include "tests/tools/CliTestSupport.h"

#include "tools/cli/Cli.h"
#include "tools/cli/Interrupt.h"
#include "tools/cli/Plot.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

CliResult RunCliInProcess(const std::vector<std::string>& args, const CliFeatures& features) {
    std::vector<const char*> argv{"velmorant-cli"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    CliResult result;
    result.ExitCode = RunCli(static_cast<int>(argv.size()), argv.data(), out, err, false, features);
    result.Out = out.str();
    result.Err = err.str();
    return result;
}

namespace {

// Reads both pipes to their ends together, so neither child output can fill up and block.
void DrainPipes(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(got));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
}

} // namespace

std::filesystem::path CliProgramPath() {
    return VELMORANT_CLI_PATH;
}

CliResult RunCliProgram(const std::vector<std::string>& args) {
    return RunProgram(CliProgramPath(), args);
}

CliResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args) {
    return RunProgram(program, args, -1);
}

CliResult RunCliProgramPipedFrom(const std::filesystem::path& input,
                                 const std::vector<std::string>& args) {
    int feed[2];
    if (pipe2(feed, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot create a pipe";
        return {};
    }
    // cat, as a user's shell would run it: the program sees a pipe, not the file.
    std::string path = input.string();
    char cat[] = "cat";
    char* catArgv[] = {cat, path.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, feed[1], 1);
    pid_t feeder = 0;
    const int spawned = posix_spawnp(&feeder, cat, &actions, nullptr, catArgv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(feed[1]);
    if (spawned != 0) {
        close(feed[0]);
        ADD_FAILURE() << "cannot start cat";
        return {};
    }
    CliResult result = RunProgram(CliProgramPath(), args, feed[0]);
    close(feed[0]);
    int status = 0;
    waitpid(feeder, &status, 0);
    return result;
}

CliResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     int input) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot create pipes";
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    if (input >= 0) {
        posix_spawn_file_actions_adddup2(&actions, input, 0);
    }
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    CliResult result;
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        ADD_FAILURE() << "cannot start " << argv[0];
        return result;
    }
    DrainPipes(outPipe[0], errPipe[0], result.Out, result.Err);
    int status = 0;
    waitpid(child, &status, 0);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void WriteRecording(const std::filesystem::path& path, int sampleRate, int channels,
                    const std::vector<std::int16_t>& interleaved) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    const std::string extension = path.extension().string();
    const int container = extension == ".flac"   ? SF_FORMAT_FLAC
                          : extension == ".aiff" ? SF_FORMAT_AIFF
                          : extension == ".ogg"  ? SF_FORMAT_OGG
                                                 : SF_FORMAT_WAV;
    info.format = container | (container == SF_FORMAT_OGG ? SF_FORMAT_VORBIS : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(interleaved.size() / channels);
    EXPECT_EQ(sf_writef_short(file, interleaved.data(), frames), frames);
    EXPECT_EQ(sf_close(file), 0);
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<CsvRow> ParseCsv(const std::string& text) {
    const auto split = [](const std::string& line) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, ',');) {
            fields.push_back(field);
        }
        return fields;
    };
    const std::vector<std::string> lines = SplitLines(text);
    std::vector<CsvRow> rows;
    if (lines.empty()) {
        ADD_FAILURE() << "no CSV header";
        return rows;
    }
    const std::vector<std::string> header = split(lines.front());
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> fields = split(lines[i]);
        if (fields.size() != header.size()) {
            ADD_FAILURE() << "CSV line " << i << " has " << fields.size()
                          << " fields: " << lines[i];
            continue;
        }
        CsvRow row;
        for (std::size_t k = 0; k < header.size(); ++k) {
            row[header[k]] = fields[k];
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void CliTest::SetUp() {
    ClearStopRequest();
#if VELMORANT_HAVE_PLOT
    // The plot library linked into the test draws in-process plots; the module the program
    // loads lies beside the program, not beside the test.
    UsePlotRenderer(&RenderRpmPlotPng);
#endif
    std::string pattern = (std::filesystem::temp_directory_path() / "velmorant-cli-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    Folder = pattern;
}

void CliTest::TearDown() {
    ClearStopRequest();
    std::error_code ignored;
    std::filesystem::remove_all(Folder, ignored);
}

std::vector<std::string> CliTest::FolderContents() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
