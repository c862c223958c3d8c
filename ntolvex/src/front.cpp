#include "front.h"

#include "standard_streams.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
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
constexpr const char* kVersion = NTOLVEX_VERSION;
constexpr const char* kAbout = "Norvane Tolvex (" NTOLVEX_VERSION
                               ") manages and downloads packages.\n"
                               "https://norvane.dev/ntolvex";
constexpr const char* kVerboseHelp = "Print debug messages to console / log";

// Every subcommand's arguments, parsed into plain values; each subcommand reads the
// ones it declares.
struct Arguments {
  std::string url;
  std::string name;
  bool downgrade = false;
  std::optional<std::string> channel;
};

struct Option {
  const char* name;        // "--url"
  const char* value_name;  // "URL"; nullptr for a flag
  bool required;
  const char* help;
  std::variant<std::string Arguments::*, std::optional<std::string> Arguments::*, bool Arguments::*>
      field;
};

struct Command {
  const char* name;
  const char* about;
  std::vector<Option> options;  // besides --verbose and --help, which every one has
  const char* error_prefix;     // put before the message of the error it returns
  Result<void> (*handler)(const Arguments&);
};

Result<void> run_get_version(const Arguments&);
Result<void> run_get_packages(const Arguments&);

const Option kUrl = {"--url", "URL", true, "URL or local folder containing an update source",
                     &Arguments::url};
const Option kChannel = {"--channel", "NAME", false, "Explicitly switch to a specific channel",
                         &Arguments::channel};

// One row per subcommand: it builds the grammar, both help texts and the dispatch.
const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"get-version",
       "Prints the current version of the application",
       {},
       "Get-version error: ",
       run_get_version},
      {"get-packages",
       "Prints the path to the packages directory",
       {},
       "Get-packages error: ",
       run_get_packages},
      {"check",
       "Checks for available updates",
       {kUrl,
        {"--downgrade", nullptr, false, "Allow version downgrade", &Arguments::downgrade},
        kChannel},
       "Check error: ",
       [](const Arguments& a) {
         return run_check({a.url, a.downgrade, a.channel});
       }},
      {"download",
       "Download/copies an available remote file into the packages directory",
       {kUrl,
        {"--name", "NAME", true, "The name of the release to download", &Arguments::name},
        kChannel},
       "Download error: ",
       [](const Arguments& a) {
         return run_download({a.url, a.name, a.channel});
       }},
  };
  return table;
}

struct OptionHelp {
  std::string flags;
  std::string help;
};

// The options as the help lists them: the command's own, then --verbose and --help.
std::vector<OptionHelp> option_helps(const Command& c) {
  std::vector<OptionHelp> out;
  for (const Option& o : c.options) {
    std::string flags = std::string("    ") + o.name;
    if (o.value_name != nullptr) flags += std::string(" <") + o.value_name + ">";
    out.push_back({flags, o.help});
  }
  out.push_back({"    --verbose", kVerboseHelp});
  out.push_back({"-h, --help", "Print help"});
  return out;
}

// "check [OPTIONS] --url <URL>": the name and the required options.
std::string usage(const Command& c) {
  std::string out = std::string(c.name) + " [OPTIONS]";
  for (const Option& o : c.options)
    if (o.required) out += std::string(" ") + o.name + " <" + o.value_name + ">";
  return out;
}

void append_options(std::string& out, const std::vector<OptionHelp>& options, size_t indent) {
  for (const auto& o : options) {
    std::string flags = std::string(indent, ' ') + o.flags;
    if (flags.size() < indent + 22)
      flags.resize(indent + 22, ' ');
    else
      flags += "  ";
    out += flags + o.help + "\n";
  }
}

// The root's help documents the whole grammar: every usage, every subcommand with its
// about text and options.
std::string root_help(const std::string& program) {
  std::string out = std::string(kAbout) + "\n\nUsage: " + program + " [OPTIONS] [COMMAND]\n";
  for (const auto& c : commands()) out += "       " + program + " " + usage(c) + "\n";
  out += "\nOptions:\n";
  append_options(out,
                 {{"    --verbose", kVerboseHelp},
                  {"-h, --help", "Print help"},
                  {"-V, --version", "Print version"}},
                 2);
  out += "\nCommands:\n";
  for (const auto& c : commands()) {
    out += std::string("  ") + c.name + "\n    " + c.about + "\n";
    append_options(out, option_helps(c), 6);
  }
  return out;
}

std::string command_help(const std::string& program, const Command& c) {
  std::string out =
      std::string(c.about) + "\n\nUsage: " + program + " " + usage(c) + "\n\nOptions:\n";
  append_options(out, option_helps(c), 2);
  return out;
}

const Command* find_command(const std::string& name) {
  for (const auto& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

// The grammar, parsed into plain values.
struct Invocation {
  const Command* command = nullptr;  // nullptr: none was given
  bool verbose = false;
  Arguments args;
};

// Parses argv. Returns the invocation, or the exit status when the run ends here
// (help, version, usage error).
std::variant<Invocation, int> parse(int argc, char** argv) {
  const std::string program = argc > 0 ? fs::path(argv[0]).filename().string() : "ntolvex";
  Invocation inv;
  // The argument list of every launch, the name of a command that has no options and
  // nothing else, reads the same whatever the rest of the grammar holds: that command,
  // nothing set. It is taken as it is, without the cost of building the grammar.
  if (argc == 2) {
    const Command* c = find_command(argv[1]);
    if (c != nullptr && c->options.empty()) {
      inv.command = c;
      return inv;
    }
  }
  bool sub_verbose = false;

  // CLI::App comes with -h,--help, and each subcommand takes its parent's; only their
  // descriptions would differ, and the help texts are ours (root_help, command_help).
  CLI::App app(kAbout, program);
  app.set_version_flag("-V,--version", std::string("Update ") + kVersion, "Print version");
  app.require_subcommand(0, 1);
  app.add_flag("--verbose", inv.verbose, kVerboseHelp)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  for (const Command& c : commands()) {
    CLI::App* sub = app.add_subcommand(c.name, c.about);
    sub->add_flag("--verbose", sub_verbose, kVerboseHelp)
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    for (const Option& o : c.options) {
      CLI::Option* opt = std::visit(
          [&](auto field) -> CLI::Option* {
            auto& target = inv.args.*field;
            if constexpr (std::is_same_v<std::remove_reference_t<decltype(target)>, bool>)
              return sub->add_flag(o.name, target, o.help);
            else
              return sub->add_option(o.name, target, o.help)->type_name(o.value_name);
          },
          o.field);
      opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
      if (o.required) opt->required();
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    const auto selected = app.get_subcommands();
    const std::string text = selected.empty()
                                 ? root_help(program)
                                 : command_help(program, *find_command(selected[0]->get_name()));
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
    const Command* command = selected.empty() ? nullptr : find_command(selected[0]->get_name());
    std::string line = command ? program + " " + usage(*command) : program + " [OPTIONS] [COMMAND]";
    std::string problem = e.what();
    // A repeated option: say so plainly instead of the parser's count.
    if (e.get_name() == "ArgumentMismatch" && problem.find("At Most 1") != std::string::npos)
      problem = "the argument '" + problem.substr(0, problem.find(':')) +
                "' cannot be used multiple times";
    std::string text = std::string("error: ") + problem + "\n\nUsage: " + line +
                       "\n\nFor more information, try '--help'.\n";
    std::fputs(text.c_str(), stderr);
    return 2;
  }
  inv.verbose = inv.verbose || sub_verbose;
  if (!app.get_subcommands().empty())
    inv.command = find_command(app.get_subcommands()[0]->get_name());
  return inv;
}

Result<void> run_get_version(const Arguments&) {
  NV_INFO(kTarget, "Command: Get-Version");
  auto loc = norvane::auto_locate();
  if (!loc) return norvane::unexpected(std::move(loc).error());
  const std::string version = loc->manifest.version.to_string();
  NV_INFO(kTarget, "    Version: " + version);
  return print_result_line(version);
}

Result<void> run_get_packages(const Arguments&) {
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

Result<void> run_catching(const std::function<Result<void>()>& command) {
  try {
    return command();
  } catch (const std::bad_alloc&) {
    return norvane::fail("out of memory");
  } catch (const std::exception& e) {
    return norvane::fail(std::string("unexpected failure: ") + e.what());
  } catch (...) {
    return norvane::fail("unexpected failure");
  }
}

int run(int argc, char** argv) {
  // Each result line reaches a reading parent at once; a parent that closed the pipe
  // costs the lines, never the run.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::signal(SIGPIPE, SIG_IGN);

  auto parsed = parse(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const Invocation& inv = std::get<Invocation>(parsed);
  if (inv.command == nullptr)
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

  const Result<void> outcome = run_catching([&] { return inv.command->handler(inv.args); });
  if (outcome) return 0;
  const std::string message = inv.command->error_prefix + outcome.error().message;
  NV_ERROR(kTarget, message);
  return report(message);
}

}  // namespace ntolvex
