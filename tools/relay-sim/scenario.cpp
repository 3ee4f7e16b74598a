#include "tools/relay-sim/scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

namespace ebbmark::sim {
namespace {

enum class ValueType { Switch, Integer, Decimal };

struct PropertyInfo {
  std::string_view name;
  Property property;
  bool inverter;  // an inverter value, else a battery monitor value
  ValueType type;
  double min;
  double max;
};

// Ranges are what the wire fields can carry.
constexpr PropertyInfo kProperties[] = {
    {"mains", Property::Mains, true, ValueType::Switch, 0, 1},
    {"current", Property::Current, true, ValueType::Integer, 0, 99},
    {"ac", Property::Ac, true, ValueType::Integer, 0, 999},
    {"battery", Property::Battery, true, ValueType::Decimal, 0, 99.9},
    {"mode", Property::Mode, true, ValueType::Integer, 0, 99},
    {"double", Property::Double, true, ValueType::Switch, 0, 1},
    {"soc", Property::Soc, false, ValueType::Integer, 0, 100},
    {"temp", Property::Temp, false, ValueType::Integer, -10, 89},
};

const PropertyInfo* FindProperty(std::string_view name) {
  for (const auto& p : kProperties) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

std::string_view NameOf(Property p) {
  for (const auto& info : kProperties) {
    if (info.property == p) return info.name;
  }
  return "?";
}

std::vector<std::string_view> Tokens(std::string_view line) {
  if (auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

std::string Quote(std::string_view s) {
  return "'" + std::string(s) + "'";
}

std::optional<long long> WholeNumber(std::string_view s) {
  long long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<double> DecimalNumber(std::string_view s) {
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::string FormatRange(const PropertyInfo& p) {
  auto num = [&](double v) {
    if (p.type == ValueType::Decimal) {
      std::string s = std::to_string(v);
      return s.substr(0, s.find('.') + 2);
    }
    return std::to_string(static_cast<long long>(v));
  };
  return num(p.min) + " to " + num(p.max);
}

// Reads one value of property p, or says why not.
std::optional<double> ReadValue(const PropertyInfo& p, std::string_view token, std::string& error) {
  switch (p.type) {
    case ValueType::Switch:
      if (token == "on") return 1.0;
      if (token == "off") return 0.0;
      error = Quote(p.name) + " needs on or off, got " + Quote(token);
      return std::nullopt;
    case ValueType::Integer:
      if (auto v = WholeNumber(token); v && *v >= p.min && *v <= p.max) {
        return static_cast<double>(*v);
      }
      error =
          Quote(p.name) + " needs a whole number from " + FormatRange(p) + ", got " + Quote(token);
      return std::nullopt;
    case ValueType::Decimal:
      if (auto v = DecimalNumber(token); v && *v >= p.min && *v <= p.max) return *v;
      error = Quote(p.name) + " needs a number from " + FormatRange(p) + ", got " + Quote(token);
      return std::nullopt;
  }
  return std::nullopt;
}

constexpr long long kMaxSeconds = 10'000'000;  // about four months: plenty for any test

std::optional<int> ReadSeconds(std::string_view token, std::string_view what, long long min,
                               std::string& error) {
  if (auto v = WholeNumber(token); v && *v >= min && *v <= kMaxSeconds) return static_cast<int>(*v);
  error = std::string(what) + " needs a whole number of seconds from " + std::to_string(min) +
          ", got " + Quote(token);
  return std::nullopt;
}

// Splits "0,1" and "0 1" alike.
std::vector<std::string_view> ListItems(const std::vector<std::string_view>& tokens,
                                        std::size_t from) {
  std::vector<std::string_view> items;
  for (std::size_t i = from; i < tokens.size(); ++i) {
    std::string_view t = tokens[i];
    std::size_t pos = 0;
    while (pos <= t.size()) {
      std::size_t comma = t.find(',', pos);
      if (comma == std::string_view::npos) comma = t.size();
      if (comma > pos) items.push_back(t.substr(pos, comma - pos));
      pos = comma + 1;
    }
  }
  return items;
}

std::string JoinTokens(const std::vector<std::string_view>& tokens, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < tokens.size(); ++i) {
    if (!text.empty()) text += ' ';
    text += tokens[i];
  }
  return text;
}

}  // namespace

double Interpolate(const Change& c, int t) {
  if (t >= c.end) return c.to;
  if (t <= c.start) return c.from;
  double share = static_cast<double>(t - c.start) / static_cast<double>(c.end - c.start);
  return c.from + (c.to - c.from) * share;
}

std::string Scenario::ParseText(std::string_view text, std::string_view source) {
  int line_no = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    ++line_no;
    std::string where = std::string(source) + ":" + std::to_string(line_no);
    if (std::string error = ParseLine(text.substr(pos, eol - pos), where); !error.empty()) {
      return error;
    }
    pos = eol + 1;
  }
  return {};
}

std::string Scenario::ParseLine(std::string_view line, std::string_view where) {
  const std::vector<std::string_view> tok = Tokens(line);
  if (tok.empty()) return {};
  std::string error;
  auto fail = [&](const std::string& what) { return std::string(where) + ": " + what; };
  auto need = [&](std::size_t count, std::string_view usage) -> bool {
    if (tok.size() >= count) return true;
    error = fail("incomplete line, expected: " + std::string(usage));
    return false;
  };

  const std::string_view word = tok[0];
  if (word == "inverters") {
    std::vector<int> addresses;
    auto items = ListItems(tok, 1);
    if (items.size() == 1 && items[0] == "none")
      items.clear();
    else if (items.empty())
      return fail("'inverters' needs port addresses 0 to 9, or none");
    for (auto item : items) {
      if (item.size() != 1 || item[0] < '0' || item[0] > '9') {
        return fail("inverter port address must be one digit 0 to 9, got " + Quote(item));
      }
      int a = item[0] - '0';
      if (std::find(addresses.begin(), addresses.end(), a) != addresses.end()) {
        return fail("inverter " + std::string(item) + " is listed twice");
      }
      addresses.push_back(a);
    }
    inverters_ = addresses;
    return {};
  }
  if (word == "fndc") {
    std::vector<char> letters;
    auto items = ListItems(tok, 1);
    if (items.size() == 1 && items[0] == "none")
      items.clear();
    else if (items.empty())
      return fail("'fndc' needs battery monitor letters a to j, or none");
    for (auto item : items) {
      if (item.size() != 1 || item[0] < 'a' || item[0] > 'j') {
        return fail("battery monitor letter must be one of a to j, got " + Quote(item));
      }
      if (std::find(letters.begin(), letters.end(), item[0]) != letters.end()) {
        return fail("battery monitor " + std::string(item) + " is listed twice");
      }
      letters.push_back(item[0]);
    }
    fndcs_ = letters;
    return {};
  }
  if (word == "length") {
    if (tok.size() != 2) return fail("expected: length SECONDS");
    auto v = ReadSeconds(tok[1], "'length'", 1, error);
    if (!v) return fail(error);
    length_ = *v;
    return {};
  }
  if (word == "jitter") {
    if (tok.size() != 3) return fail("expected: jitter PROPERTY AMOUNT");
    const PropertyInfo* p = FindProperty(tok[1]);
    if (!p || p->type == ValueType::Switch || p->property == Property::Mode) {
      return fail("cannot jitter " + Quote(tok[1]) + " (current, ac, battery, soc or temp)");
    }
    auto amount = DecimalNumber(tok[2]);
    if (!amount || *amount < 0 || *amount > p->max - p->min) {
      return fail("jitter amount must be a number from 0 up to the value's range, got " +
                  Quote(tok[2]));
    }
    std::erase_if(jitters_, [&](const Jitter& j) { return j.property == p->property; });
    jitters_.push_back({p->property, *amount});
    return {};
  }

  if (word != "at" && word != "ramp") {
    return fail("unknown word " + Quote(word) +
                " (expected inverters, fndc, length, jitter, at or ramp)");
  }
  const bool ramp = word == "ramp";
  std::size_t i = 1;
  if (!need(ramp ? 4 : 3,
            ramp ? "ramp FROM_S TO_S inverter|fndc ..." : "at SECONDS inverter|fndc|fault ...")) {
    return error;
  }
  auto start = ReadSeconds(tok[i++], "time", 0, error);
  if (!start) return fail(error);
  int end = *start;
  if (ramp) {
    auto e = ReadSeconds(tok[i++], "ramp end", 0, error);
    if (!e) return fail(error);
    if (*e < *start) {
      return fail("ramp ends (" + std::to_string(*e) + ") before it starts (" +
                  std::to_string(*start) + ")");
    }
    end = *e;
  }

  const std::string_view target = tok[i++];
  if (target == "fault") {
    if (ramp) return fail("a fault cannot be ramped; use: at SECONDS fault ...");
    if (i >= tok.size()) {
      return fail(
          "missing fault kind (silence, close, refuse, garbage, split, bytewise, flood or double)");
    }
    Fault f;
    f.at = *start;
    f.where = std::string(where);
    f.text = JoinTokens(tok, i);
    const std::string_view kind = tok[i++];
    const std::size_t args = tok.size() - i;
    auto seconds_arg = [&](FaultKind k, bool optional, int fallback) -> bool {
      f.kind = k;
      if (args == 0 && optional) {
        f.amount = fallback;
        f.text += " " + std::to_string(fallback);
        return true;
      }
      if (args != 1) {
        error = fail("expected: at SECONDS fault " + std::string(kind) + " SECONDS");
        return false;
      }
      auto v = ReadSeconds(tok[i], Quote(kind), 1, error);
      if (!v) {
        error = fail(error);
        return false;
      }
      f.amount = *v;
      return true;
    };
    if (kind == "silence") {
      if (!seconds_arg(FaultKind::Silence, false, 0)) return error;
    } else if (kind == "refuse") {
      if (!seconds_arg(FaultKind::Refuse, false, 0)) return error;
    } else if (kind == "bytewise") {
      if (!seconds_arg(FaultKind::Bytewise, false, 0)) return error;
    } else if (kind == "flood") {
      if (!seconds_arg(FaultKind::Flood, false, 0)) return error;
    } else if (kind == "split") {
      if (!seconds_arg(FaultKind::Split, true, 10)) return error;
    } else if (kind == "close") {
      if (args != 0) return fail("unexpected " + Quote(tok[i]) + " after 'close'");
      f.kind = FaultKind::Close;
    } else if (kind == "garbage") {
      f.kind = FaultKind::Garbage;
      auto v = args == 1 ? WholeNumber(tok[i]) : std::nullopt;
      if (!v || *v < 1 || *v > 1'000'000) {
        return fail("expected: at SECONDS fault garbage BYTES (1 to 1000000)");
      }
      f.amount = static_cast<int>(*v);
    } else if (kind == "double") {
      f.kind = FaultKind::Double;
      if (args != 2) return fail("expected: at SECONDS fault double ADDRESS|all on|off");
      std::string_view a = tok[i];
      if (a == "all") {
        f.address = kAllDevices;
      } else if (a.size() == 1 && a[0] >= '0' && a[0] <= '9') {
        f.address = a[0] - '0';
      } else {
        return fail("inverter port address must be one digit 0 to 9 or all, got " + Quote(a));
      }
      auto on = ReadValue(*FindProperty("double"), tok[i + 1], error);
      if (!on) return fail(error);
      f.on = *on != 0;
      changes_.push_back(
          {*start, *start, Property::Double, f.address, *on, *on, std::string(where)});
    } else {
      return fail("unknown fault " + Quote(kind) +
                  " (silence, close, refuse, garbage, split, bytewise, flood or double)");
    }
    faults_.push_back(std::move(f));
    return {};
  }

  bool inverter = false;
  int device = kAllDevices;
  if (target == "inverter") {
    inverter = true;
    if (i >= tok.size()) return fail("missing inverter port address (0 to 9, or all)");
    std::string_view a = tok[i++];
    if (a.size() == 1 && a[0] >= '0' && a[0] <= '9') {
      device = a[0] - '0';
    } else if (a != "all") {
      return fail("inverter port address must be one digit 0 to 9 or all, got " + Quote(a));
    }
  } else if (target == "fndc") {
    // The letter is optional: without it the line applies to every monitor.
    if (i < tok.size() && tok[i].size() == 1) {
      char l = tok[i][0];
      if (l < 'a' || l > 'j') {
        return fail("battery monitor letter must be one of a to j, got " + Quote(tok[i]));
      }
      device = l;
      ++i;
    }
  } else {
    return fail("expected inverter, fndc" + std::string(ramp ? "" : " or fault") + ", got " +
                Quote(target));
  }
  if (i >= tok.size()) return fail("missing property after " + Quote(target));

  std::vector<Change> parsed;
  while (i < tok.size()) {
    const PropertyInfo* p = FindProperty(tok[i]);
    if (!p) return fail("unknown property " + Quote(tok[i]));
    if (p->inverter != inverter) {
      return fail(Quote(p->name) + " is " +
                  (p->inverter ? "an inverter value" : "a battery monitor value") + ", not for " +
                  Quote(target));
    }
    ++i;
    Change c{*start, end, p->property, device, 0, 0, std::string(where)};
    if (ramp) {
      if (p->type == ValueType::Switch || p->property == Property::Mode) {
        return fail(Quote(p->name) + " cannot be ramped; use an 'at' line");
      }
      if (i + 2 != tok.size()) {
        return fail("expected: ramp FROM_S TO_S " + std::string(target) + " ... " +
                    std::string(p->name) + " FROM TO");
      }
      auto from = ReadValue(*p, tok[i], error);
      if (!from) return fail(error);
      auto to = ReadValue(*p, tok[i + 1], error);
      if (!to) return fail(error);
      c.from = *from;
      c.to = *to;
      i += 2;
    } else {
      if (i >= tok.size()) return fail("missing value after " + Quote(p->name));
      auto v = ReadValue(*p, tok[i++], error);
      if (!v) return fail(error);
      c.from = c.to = *v;
    }
    parsed.push_back(std::move(c));
  }
  changes_.insert(changes_.end(), parsed.begin(), parsed.end());
  notes_.push_back({*start, JoinTokens(tok, 0)});
  return {};
}

std::string Scenario::Finish() {
  auto declared_inverter = [&](int a) {
    return a == kAllDevices ||
           std::find(inverters_.begin(), inverters_.end(), a) != inverters_.end();
  };
  auto declared_fndc = [&](int l) {
    return l == kAllDevices ||
           std::find(fndcs_.begin(), fndcs_.end(), static_cast<char>(l)) != fndcs_.end();
  };
  for (const Change& c : changes_) {
    const PropertyInfo* p = FindProperty(NameOf(c.property));
    if (p->inverter && !declared_inverter(c.device)) {
      return c.where + ": inverter " + std::to_string(c.device) +
             " is not declared (add it to the 'inverters' line)";
    }
    if (!p->inverter && !declared_fndc(c.device)) {
      return c.where + ": battery monitor " + std::string(1, static_cast<char>(c.device)) +
             " is not declared (add it to the 'fndc' line)";
    }
  }
  return {};
}

double Scenario::ValueAt(Property p, int device, int t, double fallback) const {
  const Change* best = nullptr;
  for (const Change& c : changes_) {
    if (c.property != p || c.start > t) continue;
    if (c.device != kAllDevices && c.device != device) continue;
    // The latest start wins; at equal starts the later line wins.
    if (!best || c.start >= best->start) best = &c;
  }
  return best ? Interpolate(*best, t) : fallback;
}

namespace {
int Round(double v) {
  return static_cast<int>(std::floor(v + 0.5));
}
}  // namespace

InverterReading Scenario::InverterAt(int address, int t) const {
  InverterReading r;
  r.address = address;
  const bool mains = ValueAt(Property::Mains, address, t, 1) != 0;
  r.ac_input = mains ? Round(ValueAt(Property::Ac, address, t, 120)) : 0;
  r.current = Round(ValueAt(Property::Current, address, t, 0));
  r.battery_tenths = Round(ValueAt(Property::Battery, address, t, 26.4) * 10);
  r.mode = Round(ValueAt(Property::Mode, address, t, 2));
  r.double_flag = ValueAt(Property::Double, address, t, 0) != 0;
  return r;
}

FndcReading Scenario::FndcAt(char letter, int t) const {
  FndcReading r;
  r.letter = letter;
  r.soc = Round(ValueAt(Property::Soc, letter, t, 85));
  r.temp_c = Round(ValueAt(Property::Temp, letter, t, 25));
  return r;
}

std::vector<Fault> Scenario::FaultsAt(int t) const {
  std::vector<Fault> out;
  for (const Fault& f : faults_) {
    if (f.at == t) out.push_back(f);
  }
  return out;
}

std::vector<std::string> Scenario::NotesAt(int t) const {
  std::vector<std::string> out;
  for (const Note& n : notes_) {
    if (n.at == t) out.push_back(n.text);
  }
  return out;
}

int Scenario::Length() const {
  if (length_ > 0) return length_;
  int last = 0;
  for (const Change& c : changes_) last = std::max(last, c.end);
  for (const Fault& f : faults_) {
    bool lasts =
        f.kind != FaultKind::Close && f.kind != FaultKind::Garbage && f.kind != FaultKind::Double;
    last = std::max(last, f.at + (lasts ? f.amount : 0));
  }
  return last + 10;
}

}  // namespace ebbmark::sim
