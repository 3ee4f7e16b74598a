#include "config/model/frm_about.h"

namespace ebbmark {

FrmAbout::FrmAbout(ToolWindowContext ctx)
    : Window("frmAbout", "About Ebbmark", 5055, 3285), ctx_(std::move(ctx)) {
  imgIcon.SetGeometry({240, 240, 480, 480});
  imgIcon.SetPicture("program");
  lblTitle.SetGeometry({960, 240, 3855, 375});
  lblTitle.SetCaption("Ebbmark");
  lblVersion.SetGeometry({960, 660, 3855, 255});
  lblVersion.SetCaption(std::string("Version ") + EBBMARK_VERSION);
  lblDescription.SetGeometry({960, 1020, 3855, 1095});
  lblDescription.SetCaption(about_texts::kDescription);
  cmdReadme.SetGeometry({960, 2280, 1335, 375});
  cmdReadme.SetCaption("Read Me");
  cmdOK.SetGeometry({3480, 2280, 1335, 375});
  cmdOK.SetCaption("OK");
  cmdOK.SetDefault(true);
  cmdOK.SetCancel(true);

  cmdReadme.OnClick = [this] { cmdReadme_Click(); };
  cmdOK.OnClick = [this] { Close(); };
}

void FrmAbout::cmdReadme_Click() {
  if (!ctx_.readme_path.empty() && ctx_.shell.Open(ctx_.readme_path)) return;
  ctx_.dialogs.Show(about_texts::kReadmeErrorTitle,
                    "Could not open the README: " + ctx_.readme_path, DialogButtons::Ok,
                    DialogIcon::Warning);
}

}  // namespace ebbmark
