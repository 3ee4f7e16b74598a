#include "config/model/tool_windows.h"

#include "config/model/frm_about.h"
#include "config/model/frm_ebbmark.h"
#include "config/model/frm_email.h"
#include "config/model/frm_find_servers.h"
#include "config/model/frm_network.h"
#include "config/model/frm_service.h"

namespace ebbmark {
namespace {

// An opener that shows a fresh `Form` each time: nothing is kept
// from the last opening.
template <typename Form>
std::function<void(Window&)> Opener(std::function<ToolWindowContext()> context, ModalRunner run) {
  return [context = std::move(context), run = std::move(run)](Window& owner) {
    Form window(context());
    std::function<MousePointer()> pointer;
    // Only the windows that work for a while (service control, the test
    // message) ask for the hourglass.
    if constexpr (requires { window.Pointer(); }) pointer = [&window] { return window.Pointer(); };
    window.modal_runner = [&run, &pointer](Window& self, Window* over) {
      run(self, over, pointer);
    };
    window.ShowModal(&owner);
  };
}

}  // namespace

void ConnectToolWindows(FrmEbbmark& main, std::function<ToolWindowContext()> context,
                        ModalRunner run) {
  main.open_service_window = Opener<FrmService>(context, run);
  main.open_email_window = Opener<FrmEmail>(context, run);
  main.open_network_window = Opener<FrmNetwork>(context, run);
  main.open_finder = Opener<FrmFindServers>(context, run);
  main.open_about = Opener<FrmAbout>(context, run);
}

}  // namespace ebbmark
