#pragma once
// The relay finder's datagrams: the query it broadcasts and the answers that
// relays send back.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ebbmark {

// The query, seven characters and nothing else.
inline constexpr std::string_view kRelayQuery = "Quorral";

// One relay's answer, ready for the finder's list.
struct RelayAnswer {
  std::string entry_text;  // sender, tab, "2 Inverters, 1 FNDC"
  std::string host_name;   // the relay's own name for itself
  std::string address;     // the sender's dotted address
  std::int32_t port = 0;   // the relay's TCP port; 0 when the field holds no number
};

// Reads an answer: LF "TCP..." "," host "," port "," inverters "," unused ","
// battery monitors ["," more] CR. Nothing for a datagram without that
// framing, with fewer than six fields, or with a count or port too large to
// be a number of its kind.
std::optional<RelayAnswer> ParseRelayAnswer(std::string_view datagram, const std::string& sender);

// A number field of an answer: blanks are skipped, then the decimal digits
// that follow are the number; whatever comes after is ignored. No sign,
// fraction, exponent or radix prefix: "2.5" is 2, "1e1" is 1, "-1" and "&H2"
// are 0. A field without leading digits is 0; a number too large for a
// double is an infinity.
double AnswerNumber(std::string_view field);

// The answer's bytes are characters one to one (Latin-1); the program's
// texts are UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// A number as plain decimal text, without an exponent: 2, -1, 2.5.
std::string PlainNumber(double value);

}  // namespace ebbmark
