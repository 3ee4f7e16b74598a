#pragma once
// The operator's dry run of the power actions: instead of powering off or
// hibernating, one JSON line per action is appended to a file. Used by both
// platforms when EBBMARK_POWER_DRYRUN names a file.

#include <memory>
#include <string>
#include <system_error>

#include "base/clock.h"
#include "platform/file_system.h"
#include "platform/power_control.h"

namespace ebbmark {

// {"action":"shutdown","force":true,"time":"2026-12-07T05:45:22.125Z"}, with
// ,"refused":true before "time" for an action the dry run refused. `time`
// is the UTC moment of the action.
std::string PowerDryRunLine(PowerKind kind, bool force, bool refused, TimePoint time);

// Which actions a dry run refuses, from a comma-separated list of
// "hibernate" (with or without force), "shutdown" (without force) and
// "forced-shutdown". Unknown words are ignored.
struct DryRunRefusals {
  bool hibernate = false;
  bool shutdown = false;
  bool forced_shutdown = false;
};
DryRunRefusals ParseDryRunRefusals(const std::string& list);

// A control that appends PowerDryRunLine to `path` on `fs` and returns the
// file's error, if any, or the refusal `refuse` asks for (after its line).
// `fs` and `clock` must outlive it.
std::unique_ptr<PowerControl> MakeDryRunPowerControl(FileSystem& fs, const Clock& clock,
                                                     std::string path, DryRunRefusals refuse = {});

// The dry run the operator switches ask for, or nullptr without
// EBBMARK_POWER_DRYRUN: `dry_run` and `refuse` are the two variables' values.
std::unique_ptr<PowerControl> DryRunFromSwitches(const std::string& dry_run,
                                                 const std::string& refuse);

}  // namespace ebbmark
