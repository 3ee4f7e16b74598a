#pragma once
// The operator's dry run of the power actions: instead of powering off or
// hibernating, one JSON line per action is appended to a file. Used by both
// platforms when EBBMARK_POWER_DRYRUN names a file.

#include <memory>
#include <string>
#include <system_error>

#include "platform/file_system.h"
#include "platform/power_control.h"

namespace ebbmark {

// {"action":"shutdown","force":true} or {"action":"hibernate","force":false}
std::string PowerDryRunLine(PowerKind kind, bool force);

// A control that appends PowerDryRunLine to `path` on `fs` and returns the
// file's error, if any. `fs` must outlive it.
std::unique_ptr<PowerControl> MakeDryRunPowerControl(FileSystem& fs, std::string path);

}  // namespace ebbmark
