#pragma once
// The email notices: subjects, templates, placeholders and built-in bodies,
// and when email may be sent at all.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"
#include "platform/file_system.h"

namespace ebbmark {

enum class Notice { RunFile, Action, InverterStarted, InverterStopped, LinkDown };

// Everything a notice may quote.
struct NoticeValues {
  std::string computer_name;
  std::int32_t inverter = 0;  // MonitoredAddress
  std::int32_t ac_input = 0;
  std::int32_t inverter_current = 0;
  std::int32_t battery_voltage = 0;
  std::int32_t battery_soc = 0;
  std::string execute_file;
  std::string action_name;  // "do nothing", "shutdown" or "hibernate"
  std::string last_duration;
  std::int32_t last_soc_drop = 0;
  std::int32_t last_voltage_drop = 0;
  std::string tcp_host;
};

// "[Ebbmark] Power Event", "[Ebbmark] Shutdown Event", "[Ebbmark] Lost TCP Connection".
const char* NoticeSubject(Notice n);

// What records call the notice, since several share a subject: "the
// mains-failure notice", "the run-file notice", ...
const char* NoticeName(Notice n);

// "execute.msg", "action.msg", "invstart.msg", "invstop.msg"; nullptr for the link-down notice.
const char* NoticeTemplateName(Notice n);

// The kind that EmailOptions must enable: 1 for the inverter notices, 2 for
// the run-file and action notices, the whole EmailOptions for link down.
std::int32_t NoticeKind(Notice n, std::int32_t email_options);

// The built-in body (CR LF line ends; the link-down body has no line end).
std::string BuiltInBody(Notice n, const NoticeValues& v);

// Replaces the placeholders this notice lists, ignoring case, in their order.
std::string ApplyPlaceholders(Notice n, std::string text, const NoticeValues& v);

// Email is configured: a server, a port in 1..65535, a sender and a recipient.
bool EmailConfigured(const SettingsRecord& s);

// The warning for recipients of SMTPTo that get no email: the entry the
// length limit cut (dropped whole, never sent as a fragment), and, with
// `unusable`, each entry that holds no usable address. Empty when every
// entry is used. The service records these; the window shows them at save.
std::vector<std::string> DroppedRecipientWarnings(std::string_view smtp_to, bool unusable);

// "SMTPFrom" or "SMTPTo" when that setting holds text that is no usable
// address (see AddressesUsable); nullptr when both are usable or empty.
const char* UnusableAddressSetting(const SettingsRecord& s);

// SendNotice's conditions: configured, and kind AND EmailOptions not 0.
bool NoticeEnabled(std::int32_t kind, const SettingsRecord& s);

struct ComposedBody {
  std::string body;
  // Set when a template exists but could not be read: the text of the
  // warning record naming the file. The built-in body is used then.
  std::optional<std::string> warning;
};

// The body of a notice: the template in `folder` when one is found, with its
// placeholders replaced; otherwise the built-in body.
ComposedBody ComposeBody(FileSystem& fs, const std::string& folder, Notice n,
                         const NoticeValues& v);

}  // namespace ebbmark
