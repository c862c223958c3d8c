// The check subcommand: reads the release feed of the practical channel and prints the
// release to offer as one line of JSON, or nothing.
#include <string>
#include <utility>

#include <norvane/log.h>
#include <norvane/manager.h>
#include <norvane/sources.h>
#include <norvane/util.h>

#include "commands.h"

namespace ntolvex {

namespace {

constexpr std::string_view kTarget = "ntolvex";

template <norvane::UpdateSource Source>
norvane::Result<void> check_with(Source source, norvane::UpdateSettings settings) {
  auto manager = norvane::UpdateManager<Source>::create(std::move(source), std::move(settings));
  if (!manager) return norvane::unexpected(std::move(manager).error());
  auto info = manager->get_update_info();
  if (!info) return norvane::unexpected(std::move(info).error());
  if (!*info) return {};
  return print_result_line(norvane::to_json(**info));
}

}  // namespace

norvane::Result<void> run_check(const CheckArgs& args) {
  NV_INFO(kTarget, "Command: Check");
  NV_INFO(kTarget, "    URL: " + norvane::debug_string(args.url));
  NV_INFO(kTarget, "    Allow Downgrade: " + std::string(norvane::debug_bool(args.downgrade)));
  NV_INFO(kTarget, "    Channel: " + norvane::debug_optional(args.channel));

  const norvane::UpdateSettings settings{args.channel, args.downgrade};
  return with_source(args.url,
                     [&](auto source) { return check_with(std::move(source), settings); });
}

}  // namespace ntolvex
