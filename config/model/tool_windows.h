#pragma once
// What the main window's helper windows (the relay finder, the service
// window, the email window and the about window) work with. Everything is
// owned by the caller and outlives the windows.
//
// Each window is opened the same way, modally over the main window:
//
//   FrmService window(context);
//   window.modal_runner = view_runner;  // the view's modal loop
//   window.ShowModal(&owner);           // Form_Load, shown, returns once closed
//
// and changes nothing but the settings record it is given, in memory.

#include <functional>
#include <string>

#include <asio/io_context.hpp>

#include "common/settings.h"
#include "config/model/network_seams.h"
#include "config/model/seams.h"
#include "platform/dialogs.h"
#include "platform/mailer.h"
#include "platform/secret_store.h"
#include "platform/service_control.h"
#include "platform/service_watch.h"

namespace ebbmark {

struct ToolWindowContext {
  asio::io_context& io;
  // The one settings record of the program: the finder changes TCPHost and
  // TCPPort, the email window the mail settings.
  SettingsRecord& settings;
  ServiceWatch& service;
  Dialogs& dialogs;
  Mailer& mailer;
  Shell& shell;
  NetworkInfo& network;
  // A new, unbound datagram socket for each opening of the finder.
  UdpSocketFactory make_udp_socket;
  // The README shipped with the program, opened from the about window.
  std::string readme_path;
  // The computer's name for the test message; empty: the system's.
  std::function<std::string()> computer_name;
  // The saved mail password, which the test message uses when none is typed;
  // without a store it cannot be read.
  SecretStore* secrets = nullptr;
  std::string secret_path = {};  // smtp.secret beside the settings file
};

// The mouse pointers a window asks its view for while it works.
enum class MousePointer { Default = 0, Hourglass = 11 };

class FrmEbbmark;
class Window;

// The view's part of a modal window: shows `self` over `owner` and returns
// once it has closed; `pointer` (may be empty) tells the mouse pointer the
// window wants while it works.
using ModalRunner =
    std::function<void(Window& self, Window* owner, std::function<MousePointer()> pointer)>;

// Opens the service, email, network, finder and about windows from the main window,
// each a new window on `context()` shown through `run`.
void ConnectToolWindows(FrmEbbmark& main, std::function<ToolWindowContext()> context,
                        ModalRunner run);

}  // namespace ebbmark
