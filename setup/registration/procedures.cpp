#include "setup/registration/procedures.h"

#include "setup/registration/items.h"
#include "setup/window/main_window.h"

namespace korvane::setup {

void subRegister(InstallForm& form, bool blnRefresh) {
  auto& ui = form.ui;
  ui.mousePointer = Hourglass;
  ui.txtErr.text.clear();
  const std::size_t n = ui.ListView1.rows.size();
  for (std::size_t i = 0; i < n; ++i) {
    const ListRow row = ui.ListView1.rows[i];
    DeleteRegItem(ui.txtErr, row.key, u"", kRegItemName, false);
    if (row.checked)
      CreateRegItem(ui.txtErr, row.key, u"", kRegItemName, kEventMethod, kSinkClass, u"SHALLOW", kCriteria,
                    ui.txtPriority.text, true);
  }
  if (blnRefresh) {
    subRefresh(form);
    ui.mousePointer = Default;
  }
}

void subRegisterSW(InstallForm& form) {
  auto& ui = form.ui;
  ui.mousePointer = Hourglass;
  ui.txtErr.text.clear();
  const Text base = storeWideBaseUrl(form.strPublicRoot);
  const Text relative = storeWideRelativePath(form.strStoreGuid);
  DeleteRegItem(ui.txtErr, base, relative, kRegItemName, false);
  if (ui.btnRegisterSW.caption == u"Register" || form.blnBatchMode)
    CreateRegItem(ui.txtErr, base, relative, kRegItemName, kEventMethod, kSinkClass, u"ANY", kCriteria,
                  ui.txtPriority.text, true);
  subRefresh(form);
  ui.mousePointer = Default;
}

void btnChange_Click(InstallForm& form) { subRegister(form, true); }

void btnRegisterSW_Click(InstallForm& form) {
  if (form.ui.btnRegisterSW.caption == u"Register" && form.hooks &&
      !form.hooks->askYesNo(u"Are you sure you wish to register store-wide?"))
    return;
  subRegisterSW(form);
}

void Command1_Click(InstallForm& form) {
  form.ui.mousePointer = Hourglass;
  form.ui.txtErr.text.clear();
  subRefresh(form);
  form.ui.mousePointer = Default;
}

} // namespace korvane::setup
