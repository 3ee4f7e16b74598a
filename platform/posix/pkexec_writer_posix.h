#pragma once
// The Linux privileged writer with its parts named, for the tests.

#include <memory>
#include <string>

#include "platform/privileged_writer.h"

namespace ebbmark {

// Runs `pkexec helper KIND` with the contents on stdin, for `folder`'s files
// only (`folder` is the one settings folder the helper writes), and hears
// its end on `io`.
std::unique_ptr<PrivilegedWriter> MakePkexecWriter(asio::io_context& io, std::string helper,
                                                   std::string folder);

}  // namespace ebbmark
