// The program end to end: run from a fake bundle, with HOME in the sandbox.
#include <gtest/gtest.h>

#include <regex>

#include "bundle.h"

namespace ntolvex::testing {
namespace {

using norvane::testing::read_file;
using norvane::testing::write_file;

const char* kNoSubcommand = "Error: No subcommand was used. Try `--help` for more information.\n";

TEST(CommandLineTest, UsageErrorsHelpAndVersionLogNothing) {
  FakeBundle bundle;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out_contains;  // "" for empty stdout
    const char* err_contains;  // "" for empty stderr
  };
  const Case cases[] = {
      {{"--version"}, 0, "Update 0.0.89\n", ""},
      {{"-V"}, 0, "Update 0.0.89\n", ""},
      {{"--help"}, 0, "Norvane Tolvex (0.0.89) manages and downloads packages.", ""},
      {{"-h"}, 0, "Download/copies an available remote file into the packages directory", ""},
      {{"check", "--help"}, 0, "Checks for available updates", ""},
      {{"download", "-h"}, 0, "--name <NAME>", ""},
      {{"get-version", "--help"}, 0, "Prints the current version of the application", ""},
      {{"check", "--version"}, 2, "", "Usage:"},
      {{"get-version", "-V"}, 2, "", "--help"},
      {{"help"}, 2, "", "help"},
      {{"bogus"}, 2, "", "bogus"},
      {{"GET-VERSION"}, 2, "", "GET-VERSION"},  // command names are exact
      {{"--bogus"}, 2, "", "--bogus"},
      {{"get-version", "extra"}, 2, "", "extra"},
      {{"check"}, 2, "", "--url"},
      {{"check", "--url"}, 2, "", "--url"},
      {{"check", "--url", "a", "--url", "b"}, 2, "", "--url"},
      {{"check", "--url=a", "--url=b"}, 2, "", "--url"},
      {{"check", "--url", "a", "--downgrade", "--downgrade"}, 2, "", "--downgrade"},
      {{"check", "--url", "a", "--channel", "x", "--channel", "y"}, 2, "", "--channel"},
      {{"download", "--url", "a"}, 2, "", "--name"},
      {{"download", "--name", "a"}, 2, "", "--url"},
      {{"download", "--url", "a", "--name", "n", "--downgrade"}, 2, "", "--downgrade"},
      {{"--verbose", "--verbose", "get-version"}, 2, "", "--verbose"},
      {{"get-version", "--verbose", "--verbose"}, 2, "", "--verbose"},
      {{"-v", "get-version"}, 2, "", "-v"},
      {{"--url", "x", "check"}, 2, "", "--url"},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += a + " ";
    SCOPED_TRACE(label);
    const RunResult r = bundle.run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.out_contains) {
      EXPECT_NE(r.out.find(c.out_contains), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.out, "");
    }
    if (*c.err_contains) {
      EXPECT_NE(r.err.find(c.err_contains), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(fs::exists(bundle.home() / "Library")) << "nothing may be logged";
  }
}

TEST(CommandLineTest, RootHelpDocumentsEverySubcommand) {
  FakeBundle bundle;
  const RunResult r = bundle.run({"--help"});
  ASSERT_EQ(r.status, 0);
  for (const char* text :
       {"get-version", "get-packages", "check", "download", "--url <URL>", "--downgrade",
        "--channel <NAME>", "--name <NAME>", "--verbose", "-V, --version", "Print help",
        "Print version", "Prints the path to the packages directory",
        "URL or local folder containing an update source", "Allow version downgrade",
        "Explicitly switch to a specific channel", "The name of the release to download",
        "Print debug messages to console / log", "Usage: ntolvex"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text;
  }
  const RunResult sub = bundle.run({"get-packages", "--help"});
  EXPECT_EQ(sub.out.find("--url"), std::string::npos) << "a subcommand's help shows only itself";
}

TEST(CommandLineTest, NoSubcommandFailsBeforeLogging) {
  FakeBundle bundle;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--verbose"}}) {
    SCOPED_TRACE(args.size());
    const RunResult r = bundle.run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNoSubcommand);
    EXPECT_FALSE(fs::exists(bundle.home() / "Library"));
  }
}

TEST(CommandLineTest, GetVersionAndGetPackages) {
  FakeBundle bundle(manifest_xml("Sample", "1.2.3-beta.1+exp.sha.5", "osx"));
  RunResult r = bundle.run({"get-version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1.2.3-beta.1+exp.sha.5\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(bundle.log_lines(),
            (std::vector<std::string>{"[INFO] --", "[INFO] Starting Norvane Tolvex (0.0.89)",
                                      "[INFO]     Location: " + bundle.exe().string(),
                                      "[INFO]     Verbose: false", "[INFO] Command: Get-Version",
                                      "[INFO]     Version: 1.2.3-beta.1+exp.sha.5"}));
  // Every line: HH:MM:SS, a space, the level.
  const std::regex line_form("^\\d\\d:\\d\\d:\\d\\d \\[INFO\\] .*$");
  std::istringstream in(bundle.log());
  for (std::string line; std::getline(in, line);)
    EXPECT_TRUE(std::regex_match(line, line_form)) << line;

  r = bundle.run({"get-packages"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, bundle.packages_dir().string() + "\n");
  EXPECT_FALSE(fs::exists(bundle.packages_dir())) << "the directory is not created";
  const auto lines = bundle.log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "[INFO] Command: Get-Packages");
  EXPECT_EQ(lines.back(), "[INFO]     Packages Directory: " + bundle.packages_dir().string());
  EXPECT_EQ(lines[6], "[INFO] --") << "the second run appends to the first";
}

TEST(CommandLineTest, VerboseAfterTheSubcommandCountsToo) {
  for (const auto& args : {std::vector<std::string>{"--verbose", "get-version"},
                           std::vector<std::string>{"get-version", "--verbose"},
                           std::vector<std::string>{"--verbose", "get-version", "--verbose"}}) {
    FakeBundle bundle;
    SCOPED_TRACE(args.size());
    const RunResult r = bundle.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1.2.3\n");
    EXPECT_EQ(bundle.log_lines().at(3), "[INFO]     Verbose: true");
  }
}

TEST(CommandLineTest, VerboseRunsKeepTheLineForm) {
  FakeBundle bundle;
  // A manifest that is cut short logs an error record; a verbose run has the same
  // info and error lines; debug lines carry "(1) target: ".
  bundle.write_manifest("<p><id>Sample</id><version>1.0.0</version><title>x");
  RunResult r = bundle.run({"--verbose", "get-version"});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = bundle.log_lines();
  bool saw_manifest_error = false;
  for (const auto& line : lines) {
    if (line.rfind("[ERROR] Error: ", 0) == 0) saw_manifest_error = true;
    if (line.rfind("[DEBUG]", 0) == 0 || line.rfind("[TRACE]", 0) == 0) {
      EXPECT_NE(line.find("] (1) "), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(saw_manifest_error);
}

TEST(CommandLineTest, FailuresAreWrappedReportedAndLogged) {
  struct Case {
    const char* name;
    std::function<void(const FakeBundle&)> spoil;
    std::vector<std::string> args;
    std::string message;  // after "Error: "
  };
  const Case cases[] = {
      {"manifest missing",
       [](const FakeBundle& b) { fs::remove(b.macos_dir() / "nv.version"); },
       {"get-version"},
       "Get-version error: Unable to read nuspec file in current directory."},
      {"updater missing",
       [](const FakeBundle& b) { fs::remove(b.macos_dir() / "Hoistel"); },
       {"get-packages"},
       ""},
      {"no id",
       [](const FakeBundle& b) { b.write_manifest("<p><version>1.0.0</version></p>"); },
       {"get-packages"},
       "Get-packages error: Missing 'id' in package manifest. Please contact the application "
       "author."},
      {"version 0.0.0",
       [](const FakeBundle& b) { b.write_manifest(manifest_xml("A", "0.0.0")); },
       {"get-version"},
       "Get-version error: Missing 'version' in package manifest. Please contact the application "
       "author."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBundle bundle;
    c.spoil(bundle);
    std::string message = c.message;
    if (message.empty())
      message = "Get-packages error: Unable to locate Hoistel in directory: " +
                bundle.macos_dir().string();
    const RunResult r = bundle.run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: " + message + "\n");
    EXPECT_EQ(bundle.log_lines().back(), "[ERROR] " + message);
  }
}

TEST(CommandLineTest, OutsideABundle) {
  norvane::testing::TempDir dir;
  fs::create_directories(dir / "bin");
  fs::copy_file(NTOLVEX_BINARY, dir / "bin" / "ntolvex");
  fs::create_directories(dir / "home");
  const RunResult r = run_program(dir / "bin" / "ntolvex", {"get-version"}, {}, dir / "home");
  const std::string message = "Get-version error: Unable to locate '.app' directory in path: " +
                              (dir / "bin/ntolvex").string();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error: " + message + "\n");
  const std::string log = read_file(dir / "home/Library/Logs/norvane.log");
  EXPECT_NE(log.find("[ERROR] " + message + "\n"), std::string::npos) << log;
}

TEST(CommandLineTest, PathsThatAreNotUtf8AreLoggedAndPrintedWithReplacements) {
  FakeBundle bundle(manifest_xml("Sample", "1.2.3"), "Bad\xff");
  RunResult r = bundle.run({"get-version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1.2.3\n");
  const std::string shown = bundle.root().string() + "/Bad\xef\xbf\xbd.app/Contents/MacOS/ntolvex";
  EXPECT_EQ(bundle.log_lines().at(2), "[INFO]     Location: " + shown);

  // A home directory that is not UTF-8 shows the same way in the packages directory.
  const fs::path home = bundle.root() / "h\xfe";
  fs::create_directories(home);
  r = bundle.run({"get-packages"}, {.env = {{"HOME", home.string()}}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            bundle.root().string() + "/h\xef\xbf\xbd/Library/Caches/norvane/Sample/packages\n");
}

TEST(CommandLineTest, HomeRules) {
  FakeBundle bundle;
  // HOME empty: the packages directory and the log are relative to the working
  // directory, which is the executable's own.
  RunResult r =
      bundle.run({"get-packages"}, {.env = {{"HOME", ""}}, .working_dir = bundle.root().string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Library/Caches/norvane/Sample/packages\n");
  // Logging is set up before the change of directory: the log is beside the caller.
  EXPECT_TRUE(fs::exists(bundle.root() / "Library/Logs/norvane.log"));
  // HOME unset: the password database decides.
  r = bundle.run({"get-packages"}, {.env = {{"HOME", std::nullopt}}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("/Library/Caches/norvane/Sample/packages\n"), std::string::npos);
}

TEST(CommandLineTest, ALogDirectoryThatCannotBeCreatedDoesNotStopTheRun) {
  FakeBundle bundle;
  write_file(bundle.home() / "Library", "a file where a directory should be");
  const RunResult r = bundle.run({"get-version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1.2.3\n");
}

TEST(CommandLineTest, AResultThatCannotBeDeliveredIsAFailure) {
  FakeBundle bundle;
  // The parent closed its end: the line cannot be written. The run ends with a status
  // of its own, not by a signal, and does not claim success.
  for (const char* command : {"get-version", "get-packages"}) {
    SCOPED_TRACE(command);
    const RunResult r = bundle.run({command}, {.close_stdout = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Broken pipe (os error 32)"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace ntolvex::testing
