#include "platform/power_dryrun.h"

#include <utility>

namespace ebbmark {
namespace {

class DryRunPowerControl final : public PowerControl {
 public:
  DryRunPowerControl(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  std::error_code Perform(PowerKind kind, bool force) override {
    return fs_.AppendLine(path_, PowerDryRunLine(kind, force));
  }

 private:
  FileSystem& fs_;
  const std::string path_;
};

}  // namespace

std::string PowerDryRunLine(PowerKind kind, bool force) {
  std::string line = R"({"action":")";
  line += kind == PowerKind::Shutdown ? "shutdown" : "hibernate";
  line += R"(","force":)";
  line += force ? "true" : "false";
  line += '}';
  return line;
}

std::unique_ptr<PowerControl> MakeDryRunPowerControl(FileSystem& fs, std::string path) {
  return std::make_unique<DryRunPowerControl>(fs, std::move(path));
}

}  // namespace ebbmark
