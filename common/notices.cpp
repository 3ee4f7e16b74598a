#include "common/notices.h"

#include <string_view>
#include <utility>

#include "base/mail_format.h"

namespace ebbmark {
namespace {

constexpr const char* kCrLf = "\r\n";

std::string Num(std::int32_t n) {
  return std::to_string(n);
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Position of `needle` (lower case) in `text` at or after `from`, ignoring
// the case of ASCII letters; other bytes must match exactly.
std::size_t FindIgnoringCase(std::string_view text, std::string_view needle, std::size_t from) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  // Every placeholder opens with '%', which has no case: jump between those
  // with a plain search, so a large template costs one fast scan each.
  const bool first_has_case = needle[0] >= 'a' && needle[0] <= 'z';
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (!first_has_case) {
      i = text.find(needle[0], i);
      if (i == std::string_view::npos || i + needle.size() > text.size()) break;
    }
    std::size_t j = 0;
    while (j < needle.size() && AsciiLower(text[i + j]) == needle[j]) ++j;
    if (j == needle.size()) return i;
  }
  return std::string_view::npos;
}

// Every occurrence, left to right; the search goes on after each inserted
// value, so a value that itself spells the placeholder is left alone.
std::string ReplaceAll(std::string text, std::string_view placeholder, const std::string& value) {
  std::size_t pos = FindIgnoringCase(text, placeholder, 0);
  if (pos == std::string_view::npos) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t done = 0;
  while (pos != std::string_view::npos) {
    out.append(text, done, pos - done);
    out += value;
    done = pos + placeholder.size();
    pos = FindIgnoringCase(text, placeholder, done);
  }
  out.append(text, done, std::string::npos);
  return out;
}

// The five lines every body but the stop notice ends with.
void AppendReadings(std::string& b, const NoticeValues& v) {
  b += "Inverter: " + Num(v.inverter) + kCrLf;
  b += "AC Input: " + Num(v.ac_input) + kCrLf;
  b += "Inverter Current: " + Num(v.inverter_current) + kCrLf;
  b += "Battery Voltage: " + Num(v.battery_voltage) + "v" + kCrLf;
  b += "Battery Charge: " + Num(v.battery_soc) + "%" + kCrLf;
}

}  // namespace

const char* NoticeSubject(Notice n) {
  switch (n) {
    case Notice::Action:
      return "[Ebbmark] Shutdown Event";
    case Notice::LinkDown:
      return "[Ebbmark] Lost TCP Connection";
    case Notice::RunFile:
    case Notice::InverterStarted:
    case Notice::InverterStopped:
      break;
  }
  return "[Ebbmark] Power Event";
}

const char* NoticeName(Notice n) {
  switch (n) {
    case Notice::RunFile:
      return "the run-file notice";
    case Notice::Action:
      return "the power-action notice";
    case Notice::InverterStarted:
      return "the mains-failure notice";
    case Notice::InverterStopped:
      return "the mains-return notice";
    case Notice::LinkDown:
      break;
  }
  return "the lost-connection notice";
}

const char* NoticeTemplateName(Notice n) {
  switch (n) {
    case Notice::RunFile:
      return "execute.msg";
    case Notice::Action:
      return "action.msg";
    case Notice::InverterStarted:
      return "invstart.msg";
    case Notice::InverterStopped:
      return "invstop.msg";
    case Notice::LinkDown:
      break;
  }
  return nullptr;
}

std::int32_t NoticeKind(Notice n, std::int32_t email_options) {
  switch (n) {
    case Notice::RunFile:
    case Notice::Action:
      return 2;
    case Notice::InverterStarted:
    case Notice::InverterStopped:
      return 1;
    case Notice::LinkDown:
      break;
  }
  return email_options;
}

std::string BuiltInBody(Notice n, const NoticeValues& v) {
  std::string b;
  switch (n) {
    case Notice::RunFile:
      // The line break inside the parentheses is part of the text.
      b += "The execution of file (" + v.execute_file + kCrLf;
      b += ") on computer " + v.computer_name + " has begun." + kCrLf;
      b += kCrLf;
      AppendReadings(b, v);
      break;
    case Notice::Action:
      b += "The action (" + v.action_name + ") on computer " + v.computer_name + " has begun." +
           kCrLf;
      b += kCrLf;
      AppendReadings(b, v);
      break;
    case Notice::InverterStarted:
      b += std::string("The monitored inverter has begun inverting.") + kCrLf;
      b += kCrLf;
      b += "Host: " + v.computer_name + kCrLf;
      AppendReadings(b, v);
      break;
    case Notice::InverterStopped:
      b += std::string("The monitored inverter has stopped inverting.") + kCrLf;
      b += kCrLf;
      b += "Host: " + v.computer_name + kCrLf;
      b += "Inverter: " + Num(v.inverter) + kCrLf;
      b += "Duration: " + v.last_duration + kCrLf;
      b += "Batt SOC Drop: " + Num(v.last_soc_drop) + "%" + kCrLf;
      b += "Batt Voltage Drop: " + Num(v.last_voltage_drop) + "v" + kCrLf;
      b += "AC Input: " + Num(v.ac_input) + kCrLf;
      b += "Inverter Current: " + Num(v.inverter_current) + kCrLf;
      b += "Battery Voltage: " + Num(v.battery_voltage) + "v" + kCrLf;
      b += "Battery Charge: " + Num(v.battery_soc) + "%" + kCrLf;
      break;
    case Notice::LinkDown:
      b = "Could not establish TCP connection from Ebbmark on " + v.computer_name + " to host " +
          v.tcp_host + "! Will keep trying.";
      break;
  }
  return b;
}

std::string ApplyPlaceholders(Notice n, std::string text, const NoticeValues& v) {
  if (n == Notice::RunFile) text = ReplaceAll(std::move(text), "%executepath%", v.execute_file);
  if (n == Notice::LinkDown) return text;  // sent without a template
  text = ReplaceAll(std::move(text), "%host%", v.computer_name);
  text = ReplaceAll(std::move(text), "%inverter%", Num(v.inverter));
  if (n == Notice::InverterStopped) {
    text = ReplaceAll(std::move(text), "%duration%", v.last_duration);
    text = ReplaceAll(std::move(text), "%socdrop%", Num(v.last_soc_drop));
    text = ReplaceAll(std::move(text), "%voltagedrop%", Num(v.last_voltage_drop));
  }
  text = ReplaceAll(std::move(text), "%acinput%", Num(v.ac_input));
  text = ReplaceAll(std::move(text), "%ivcurrent%", Num(v.inverter_current));
  text = ReplaceAll(std::move(text), "%battvoltage%", Num(v.battery_voltage));
  text = ReplaceAll(std::move(text), "%battsoc%", Num(v.battery_soc));
  return text;
}

bool EmailConfigured(const SettingsRecord& s) {
  return !s.SMTPHost.empty() && s.SMTPPort >= 1 && s.SMTPPort <= 65535 && !s.SMTPFrom.empty() &&
         !s.SMTPTo.empty();
}

std::vector<std::string> DroppedRecipientWarnings(std::string_view smtp_to, bool unusable) {
  std::vector<std::string> out;
  // A longer text is what the service will cut it to when it loads it.
  const std::string_view loaded = smtp_to.substr(0, kAddressListLimit);
  const AddressList read = ReadAddressList(loaded);
  if (unusable) {
    for (const auto& entry : read.unusable)
      out.push_back("The SMTPTo setting does not hold a usable email address in \"" + entry +
                    "\". The other recipients still get the notices.");
  }
  if (!read.cut.empty() || smtp_to.size() > kAddressListLimit) {
    const auto from = read.cut.empty() ? kAddressListLimit : loaded.rfind(read.cut);
    std::string_view dropped = smtp_to.substr(from == std::string_view::npos ? 0 : from);
    const auto first = dropped.find_first_not_of(" \t,;");
    dropped = first == std::string_view::npos ? std::string_view() : dropped.substr(first);
    while (!dropped.empty() &&
           std::string_view(" \t,;").find(dropped.back()) != std::string_view::npos)
      dropped.remove_suffix(1);
    out.push_back("The SMTPTo setting is longer than " + std::to_string(kAddressListLimit) +
                  " characters, so \"" + std::string(dropped) +
                  "\" at its end was dropped and gets no email.");
  }
  return out;
}

const char* UnusableAddressSetting(const SettingsRecord& s) {
  if (!s.SMTPFrom.empty() && !AddressesUsable(s.SMTPFrom, false)) return "SMTPFrom";
  if (!s.SMTPTo.empty()) {
    // An entry the length limit cut is dropped with its own warning
    // (DroppedRecipientWarnings); the rest of the list is still usable.
    const AddressList read = ReadAddressList(s.SMTPTo);
    if (read.usable.empty() || !read.unusable.empty()) return "SMTPTo";
  }
  return nullptr;
}

bool NoticeEnabled(std::int32_t kind, const SettingsRecord& s) {
  return EmailConfigured(s) && (kind & s.EmailOptions) != 0;
}

ComposedBody ComposeBody(FileSystem& fs, const std::string& folder, Notice n,
                         const NoticeValues& v) {
  ComposedBody out;
  const char* name = NoticeTemplateName(n);
  if (name == nullptr) {
    out.body = BuiltInBody(n, v);
    return out;
  }
  const std::string path = JoinPath(folder, name);
  if (!fs.PatternMatches(path)) {
    out.body = BuiltInBody(n, v);
    return out;
  }
  ReadResult r = fs.ReadFile(path, kTemplateFileLimit);
  switch (r.status) {
    case ReadResult::Status::Ok:
      // A template saved by a Windows-era editor is Windows-1252; the
      // message is labelled UTF-8, so it is converted rather than garbled.
      out.body = ApplyPlaceholders(n, TextAsUtf8(r.data), v);
      return out;
    case ReadResult::Status::Error:
      // The notice still goes out: a template problem (unreadable, no
      // regular file, over the cap) must not cost the
      // people who rely on it the message. The service logs the warning.
      out.warning = "Could not read the notice template " + path + ": " + r.error.message() +
                    ". The built-in text was sent instead.";
      break;
    case ReadResult::Status::Missing:
      // Removed between the lookup and the read: as if it had never been there.
      break;
  }
  out.body = BuiltInBody(n, v);
  return out;
}

}  // namespace ebbmark
