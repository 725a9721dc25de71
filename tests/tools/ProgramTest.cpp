// The built program itself: what scripts see of it through its exit code and two streams.

#include "tests/tools/CliTestSupport.h"

#include <string>

namespace {

using Program = CliTest;

TEST_F(Program, VersionIsTheProjectVersion) {
    const CliResult result = RunCliProgram({"--version"});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Out, VELMORANT_PROJECT_VERSION "\n");
    EXPECT_EQ(result.Err, "");
}

TEST_F(Program, HelpOfEveryCommandListsTheExitCodes) {
    for (const auto& args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"analyse", "--help"},
          std::vector<std::string>{"listen", "--help"},
          std::vector<std::string>{"devcaps", "--help"},
          std::vector<std::string>{"generate", "--help"}}) {
        const CliResult result = RunCliProgram(args);
        SCOPED_TRACE(args.front());
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(result.Err, "");
        for (const char* code : {"Exit codes:", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  6 ",
                                 "\n  7 ", "\n  8 "}) {
            EXPECT_NE(result.Out.find(code), std::string::npos) << code;
        }
    }
}

TEST_F(Program, ReadingsGoToStdoutAndErrorsToStderr) {
    const std::string wav = Path("run.wav").string();
    const CliResult generated = RunCliProgram({"generate", wav, "--rpm", "1500", "--ppr", "2"});
    ASSERT_EQ(generated.ExitCode, 0) << generated.Err;
    const CliResult analysed = RunCliProgram({"analyse", wav, "--ppr", "2", "--format", "csv"});
    EXPECT_EQ(analysed.ExitCode, 0);
    const std::vector<CsvRow> rows = ParseCsv(analysed.Out);
    ASSERT_EQ(rows.size(), 26u) << "10 s is 26 whole blocks";
    EXPECT_EQ(rows.back().at("rpm"), "1500");

    const CliResult missing = RunCliProgram({"analyse", Path("missing.wav").string()});
    EXPECT_EQ(missing.ExitCode, 3);
    EXPECT_EQ(missing.Out, "");
    EXPECT_EQ(missing.Err,
              "velmorant-cli: cannot read '" + Path("missing.wav").string() + "': no such file\n");
}

} // namespace
