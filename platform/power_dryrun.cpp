#include "platform/power_dryrun.h"

#include <sstream>
#include <utility>

namespace ebbmark {
namespace {

class DryRunPowerControl final : public PowerControl {
 public:
  DryRunPowerControl(FileSystem& fs, const Clock& clock, std::string path, DryRunRefusals refuse)
      : fs_(fs), clock_(clock), path_(std::move(path)), refuse_(refuse) {}

  PowerRefusal Perform(PowerKind kind, bool force) override {
    const bool refused = kind == PowerKind::Hibernate ? refuse_.hibernate
                         : force                      ? refuse_.forced_shutdown
                                                      : refuse_.shutdown;
    if (auto error =
            fs_.AppendLine(path_, PowerDryRunLine(kind, force, refused, clock_.Now().wall)))
      return {error, {}};
    if (refused) {
      return {std::make_error_code(std::errc::operation_not_permitted),
              "refused by the dry run (EBBMARK_POWER_DRYRUN_REFUSE)"};
    }
    return {};
  }

 private:
  FileSystem& fs_;
  const Clock& clock_;
  const std::string path_;
  const DryRunRefusals refuse_;
};

}  // namespace

std::string PowerDryRunLine(PowerKind kind, bool force, bool refused, TimePoint time) {
  std::string line = R"({"action":")";
  line += kind == PowerKind::Shutdown ? "shutdown" : "hibernate";
  line += R"(","force":)";
  line += force ? "true" : "false";
  if (refused) line += R"(,"refused":true)";
  line += R"(,"time":")" + FormatUtcIso(time) + R"("})";
  return line;
}

DryRunRefusals ParseDryRunRefusals(const std::string& list) {
  DryRunRefusals r;
  std::istringstream in(list);
  std::string word;
  while (std::getline(in, word, ',')) {
    if (word == "hibernate") r.hibernate = true;
    if (word == "shutdown") r.shutdown = true;
    if (word == "forced-shutdown") r.forced_shutdown = true;
  }
  return r;
}

std::unique_ptr<PowerControl> MakeDryRunPowerControl(FileSystem& fs, const Clock& clock,
                                                     std::string path, DryRunRefusals refuse) {
  return std::make_unique<DryRunPowerControl>(fs, clock, std::move(path), refuse);
}

std::unique_ptr<PowerControl> DryRunFromSwitches(const std::string& dry_run,
                                                 const std::string& refuse) {
  if (dry_run.empty()) return nullptr;
  static const SystemClock clock;
  return MakeDryRunPowerControl(RealFileSystem(), clock, dry_run, ParseDryRunRefusals(refuse));
}

}  // namespace ebbmark
