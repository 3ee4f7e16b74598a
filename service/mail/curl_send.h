#pragma once
// Sends one email with libcurl, blocking until the server has answered, the
// connection failed or the connect time-out passed. The caller bounds the
// whole send (the mail helper is killed at its deadline).

#include "base/mail_request.h"

namespace ebbmark {

MailResult SendWithCurl(const MailRequest& request);

}  // namespace ebbmark
