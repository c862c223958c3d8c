#include "front.h"

#include "standard_streams.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>

#include <norvane/locator.h>
#include <norvane/log.h>
#include <norvane/util.h>

#include "commands.h"
#include "logging.h"

namespace ntolvex {

namespace {

namespace fs = std::filesystem;
using norvane::Result;

constexpr const char* kTarget = "ntolvex";
constexpr const char* kVersion = "0.0.89";
constexpr const char* kAbout =
    "Norvane Tolvex (0.0.89) manages and downloads packages.\n"
    "https://norvane.dev/ntolvex";

// The grammar, parsed into plain values.
struct Invocation {
  std::string subcommand;
  bool verbose = false;
  CheckArgs check;
  DownloadArgs download;
};

struct OptionHelp {
  const char* flags;
  const char* help;
};

struct CommandHelp {
  const char* name;
  const char* about;
  const char* usage;  // after the program name
  std::vector<OptionHelp> options;
};

const std::vector<CommandHelp>& command_helps() {
  static const std::vector<CommandHelp> helps = {
      {"get-version", "Prints the current version of the application", "get-version [OPTIONS]",
       {{"    --verbose", "Print debug messages to console / log"}, {"-h, --help", "Print help"}}},
      {"get-packages", "Prints the path to the packages directory", "get-packages [OPTIONS]",
       {{"    --verbose", "Print debug messages to console / log"}, {"-h, --help", "Print help"}}},
      {"check", "Checks for available updates", "check [OPTIONS] --url <URL>",
       {{"    --url <URL>", "URL or local folder containing an update source"},
        {"    --downgrade", "Allow version downgrade"},
        {"    --channel <NAME>", "Explicitly switch to a specific channel"},
        {"    --verbose", "Print debug messages to console / log"},
        {"-h, --help", "Print help"}}},
      {"download", "Download/copies an available remote file into the packages directory",
       "download [OPTIONS] --url <URL> --name <NAME>",
       {{"    --url <URL>", "URL or local folder containing an update source"},
        {"    --name <NAME>", "The name of the release to download"},
        {"    --channel <NAME>", "Explicitly switch to a specific channel"},
        {"    --verbose", "Print debug messages to console / log"},
        {"-h, --help", "Print help"}}},
  };
  return helps;
}

void append_options(std::string& out, const std::vector<OptionHelp>& options) {
  for (const auto& o : options) {
    std::string flags = std::string("  ") + o.flags;
    if (flags.size() < 24) flags.resize(24, ' ');
    else flags += "  ";
    out += flags + o.help + "\n";
  }
}

// The root's help documents the whole grammar: every usage, every subcommand with its
// about text and options.
std::string root_help(const std::string& program) {
  std::string out = std::string(kAbout) + "\n\nUsage: " + program + " [OPTIONS] [COMMAND]\n";
  for (const auto& c : command_helps()) out += "       " + program + " " + c.usage + "\n";
  out += "\nOptions:\n";
  append_options(out, {{"    --verbose", "Print debug messages to console / log"},
                       {"-h, --help", "Print help"},
                       {"-V, --version", "Print version"}});
  out += "\nCommands:\n";
  for (const auto& c : command_helps()) {
    out += std::string("  ") + c.name + "\n    " + c.about + "\n";
    for (const auto& o : c.options) {
      std::string flags = std::string("      ") + o.flags;
      if (flags.size() < 28) flags.resize(28, ' ');
      else flags += "  ";
      out += flags + o.help + "\n";
    }
  }
  return out;
}

std::string command_help(const std::string& program, const CommandHelp& c) {
  std::string out = std::string(c.about) + "\n\nUsage: " + program + " " + c.usage + "\n\nOptions:\n";
  append_options(out, c.options);
  return out;
}

const CommandHelp* find_help(const std::string& name) {
  for (const auto& c : command_helps())
    if (name == c.name) return &c;
  return nullptr;
}

// Parses argv. Returns the invocation, or the exit status when the run ends here
// (help, version, usage error).
std::variant<Invocation, int> parse(int argc, char** argv) {
  const std::string program = argc > 0 ? fs::path(argv[0]).filename().string() : "ntolvex";
  Invocation inv;
  bool sub_verbose = false;

  CLI::App app(kAbout, program);
  app.set_help_flag("-h,--help", "Print help");
  app.set_version_flag("-V,--version", std::string("Update ") + kVersion, "Print version");
  app.require_subcommand(0, 1);
  app.add_flag("--verbose", inv.verbose, "Print debug messages to console / log")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  const auto add_command = [&](const char* name, const char* about) {
    CLI::App* sub = app.add_subcommand(name, about);
    sub->set_help_flag("-h,--help", "Print help");
    sub->add_flag("--verbose", sub_verbose, "Print debug messages to console / log")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    return sub;
  };
  CLI::App* get_version = add_command("get-version", "Prints the current version of the application");
  CLI::App* get_packages = add_command("get-packages", "Prints the path to the packages directory");
  CLI::App* check = add_command("check", "Checks for available updates");
  check->add_option("--url", inv.check.url, "URL or local folder containing an update source")
      ->required()
      ->type_name("URL");
  check->add_flag("--downgrade", inv.check.downgrade, "Allow version downgrade")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  check->add_option("--channel", inv.check.channel, "Explicitly switch to a specific channel")
      ->type_name("NAME");
  CLI::App* download =
      add_command("download", "Download/copies an available remote file into the packages directory");
  download->add_option("--url", inv.download.url, "URL or local folder containing an update source")
      ->required()
      ->type_name("URL");
  download->add_option("--name", inv.download.name, "The name of the release to download")
      ->required()
      ->type_name("NAME");
  download->add_option("--channel", inv.download.channel, "Explicitly switch to a specific channel")
      ->type_name("NAME");
  for (CLI::App* sub : {get_version, get_packages, check, download})
    for (CLI::Option* opt : sub->get_options())
      if (opt->get_expected_min() == 1) opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  for (CLI::Option* opt : app.get_options())
    if (opt->get_expected_min() == 1) opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    const auto selected = app.get_subcommands();
    const std::string text = selected.empty() ? root_help(program)
                                              : command_help(program, *find_help(selected[0]->get_name()));
    std::fputs(text.c_str(), stdout);
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(root_help(program).c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::fputs((std::string(e.what()) + "\n").c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    const auto selected = app.get_subcommands();
    const CommandHelp* help = selected.empty() ? nullptr : find_help(selected[0]->get_name());
    std::string usage = help ? program + " " + help->usage : program + " [OPTIONS] [COMMAND]";
    std::string problem = e.what();
    // A repeated option: say so plainly instead of the parser's count.
    if (e.get_name() == "ArgumentMismatch" && problem.find("At Most 1") != std::string::npos)
      problem = "the argument '" + problem.substr(0, problem.find(':')) +
                "' cannot be used multiple times";
    std::string text = std::string("error: ") + problem + "\n\nUsage: " + usage +
                       "\n\nFor more information, try '--help'.\n";
    std::fputs(text.c_str(), stderr);
    return 2;
  }
  inv.verbose = inv.verbose || sub_verbose;
  if (!app.get_subcommands().empty()) inv.subcommand = app.get_subcommands()[0]->get_name();
  return inv;
}

Result<void> run_get_version() {
  NV_INFO(kTarget, "Command: Get-Version");
  auto loc = norvane::auto_locate();
  if (!loc) return norvane::unexpected(std::move(loc).error());
  const std::string version = loc->manifest.version.to_string();
  NV_INFO(kTarget, "    Version: " + version);
  return print_result_line(version);
}

Result<void> run_get_packages() {
  NV_INFO(kTarget, "Command: Get-Packages");
  auto loc = norvane::auto_locate();
  if (!loc) return norvane::unexpected(std::move(loc).error());
  const std::string dir = norvane::path_text(loc->package_cache_dir);
  NV_INFO(kTarget, "    Packages Directory: " + dir);
  return print_result_line(dir);
}

}  // namespace

norvane::Result<void> print_result_line(std::string_view text) {
  // Started without a standard output: nobody can read the answer.
  if (standard_output_was_closed()) return norvane::unexpected(norvane::Error::from_errno(EBADF));
  std::string line(text);
  line += '\n';
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0)
    return norvane::unexpected(norvane::Error::from_errno(errno != 0 ? errno : EIO));
  return {};
}

namespace {

int report(const std::string& message) {
  // Always exactly one line, whatever text the message carries.
  std::fputs(("Error: " + norvane::escape_control_characters(message) + "\n").c_str(), stderr);
  return 1;
}

}  // namespace

int run(int argc, char** argv) {
  // Each result line reaches a reading parent at once; a parent that closed the pipe
  // costs the lines, never the run.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::signal(SIGPIPE, SIG_IGN);

  auto parsed = parse(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const Invocation& inv = std::get<Invocation>(parsed);
  if (inv.subcommand.empty())
    return report("No subcommand was used. Try `--help` for more information.");

  init_logging(inv.verbose);
  NV_INFO(kTarget, "--");
  NV_INFO(kTarget, std::string("Starting Norvane Tolvex (") + kVersion + ")");
  auto exe = norvane::executable_path();
  if (!exe) return report(exe.error().message);
  NV_INFO(kTarget, "    Location: " + norvane::lossy_utf8(*exe));
  NV_INFO(kTarget, std::string("    Verbose: ") + std::string(norvane::debug_bool(inv.verbose)));

  const fs::path exe_dir = fs::path(*exe).parent_path();
  if (::chdir(exe_dir.c_str()) != 0) return report(norvane::Error::from_errno(errno).message);

  Result<void> outcome;
  std::string prefix;
  if (inv.subcommand == "check") {
    prefix = "Check error: ";
    outcome = run_check(inv.check);
  } else if (inv.subcommand == "download") {
    prefix = "Download error: ";
    outcome = run_download(inv.download);
  } else if (inv.subcommand == "get-version") {
    prefix = "Get-version error: ";
    outcome = run_get_version();
  } else if (inv.subcommand == "get-packages") {
    prefix = "Get-packages error: ";
    outcome = run_get_packages();
  } else {
    return report("Unknown subcommand. Try `--help` for more information.");
  }
  if (outcome) return 0;
  const std::string message = prefix + outcome.error().message;
  NV_ERROR(kTarget, message);
  return report(message);
}

}  // namespace ntolvex
