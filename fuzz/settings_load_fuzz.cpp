// Loads arbitrary bytes as the settings file and checks that every value
// lands in its range, and that saving the record and loading it again gives
// the same record (the configuration program saves what the service loads).

#include <cstdint>
#include <map>
#include <string>

#include "common/settings.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/memory_file_system.h"

namespace {

using namespace ebbmark;

bool InRange(std::int64_t v, std::int64_t lo, std::int64_t hi) {
  return v >= lo && v <= hi;
}

void CheckRanges(const SettingsRecord& s) {
  FUZZ_CHECK(s.UDPBPort != 0 && s.TCPPort != 0);
  FUZZ_CHECK(InRange(s.MonitoredAddress, 0, 9));
  FUZZ_CHECK(s.ShutdownType <= 2);
  FUZZ_CHECK(InRange(s.ExecuteDelay, -1, 1800));
  FUZZ_CHECK(InRange(s.SDVoltage, 9, 48));
  FUZZ_CHECK(InRange(s.SDTimer, 0, 1440));
  FUZZ_CHECK(InRange(s.SDSOC, 59, 99));
  FUZZ_CHECK(InRange(s.SMTPPort, 1, 65535));
  FUZZ_CHECK(InRange(s.EmailOptions, 0, 3));
  FUZZ_CHECK(InRange(s.EmailDelay, 0, 60));
  // Text values are trimmed, hold no NUL and no line break (one INI line each).
  for (const std::string* t : {&s.TCPHost, &s.ExecuteFile, &s.SMTPHost, &s.SMTPFrom, &s.SMTPTo}) {
    FUZZ_CHECK(t->find_first_of(std::string("\0\n", 2)) == std::string::npos);
    if (!t->empty()) {
      FUZZ_CHECK(t->front() != ' ' && t->front() != '\t');
      FUZZ_CHECK(t->back() != ' ' && t->back() != '\t');
    }
  }
}

// The same record as far as a save keeps it: the run file's wait is written
// only with a run file, since without one it means nothing.
bool SameValues(SettingsRecord a, SettingsRecord b) {
  a.SettingsFileTime.reset();
  b.SettingsFileTime.reset();
  if (a.ExecuteFile.empty()) a.ExecuteDelay = b.ExecuteDelay;
  return a.UDPBPort == b.UDPBPort && a.TCPHost == b.TCPHost && a.TCPPort == b.TCPPort &&
         a.MonitoredAddress == b.MonitoredAddress && a.ShutdownType == b.ShutdownType &&
         a.Force == b.Force && a.ExecuteFile == b.ExecuteFile && a.ExecuteDelay == b.ExecuteDelay &&
         a.SDVoltage == b.SDVoltage && a.SDTimer == b.SDTimer && a.SDSOC == b.SDSOC &&
         a.SOCOII == b.SOCOII && a.SMTPHost == b.SMTPHost && a.SMTPPort == b.SMTPPort &&
         a.SMTPFrom == b.SMTPFrom && a.SMTPTo == b.SMTPTo && a.EmailOptions == b.EmailOptions &&
         a.EmailDelay == b.EmailDelay;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFileSystem fs;
  fs.every_pattern_matches = true;
  const std::string path = "/etc/ebbmark/Ebbmark.ini";
  fs.files[path].assign(reinterpret_cast<const char*>(data), size);
  SettingsStore store(fs, path);

  SettingsRecord loaded;
  store.LoadSettings(loaded);
  CheckRanges(loaded);

  // Saved into the same file (its other content kept) and loaded again.
  FUZZ_CHECK(!store.SaveSettings(loaded));
  SettingsRecord again;
  store.LoadSettings(again);
  FUZZ_CHECK(SameValues(loaded, again));

  // And into an empty file: the record alone carries every value.
  fs.files[path].clear();
  FUZZ_CHECK(!store.SaveSettings(loaded));
  SettingsRecord fresh;
  store.LoadSettings(fresh);
  FUZZ_CHECK(SameValues(loaded, fresh));
  return 0;
}
