#pragma once
// The notice every mail benchmark sends: the size of a real power-event email.

#include "base/mail_format.h"

namespace ebbmark::bench {

inline MailMessage Notice(int port) {
  MailMessage m;
  m.host = "127.0.0.1";
  m.port = port;
  m.from = "ups@localhost";
  m.to = "admin@localhost";
  m.subject = "[Ebbmark] Power Event";
  m.body = "The monitored inverter has begun inverting.\r\n\r\nInverter: 0\r\nBattery Charge: 80%";
  return m;
}

}  // namespace ebbmark::bench
