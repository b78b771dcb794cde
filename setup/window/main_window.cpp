#include "setup/window/main_window.h"

#include "platform/win32/environment.h"
#include "setup/complus/complus.h"
#include "setup/discovery/discovery.h"
#include "setup/folders/enumeration.h"
#include "setup/folders/list_behaviour.h"
#include "setup/registration/items.h"
#include "setup/registration/procedures.h"
#include "setup/registration/store_access.h"
#include "setup/window/error_log.h"

namespace korvane::setup {

namespace {

void showStoreWideState(InstallForm& form, bool registered) {
  auto& ui = form.ui;
  if (registered) {
    ui.btnRegisterSW.caption = u"Unregister";
    ui.Label1.caption = u"As " + Text(kProductName) +
                        u" application is registered store-wide, you can not provide per-folder "
                        u"registration.";
  } else {
    ui.btnRegisterSW.caption = u"Register";
    ui.Label1.caption = Text(kProductName) + u" application can be registered for all public folders.";
  }
  ui.Command4.enabled = !registered;
  ui.Command5.enabled = !registered;
  ui.ListView1.checkBoxes = !registered;
}

void setClassFieldsEnabled(InstallFormModel& ui, bool enabled) {
  ui.txtOrigMsgClass.enabled = enabled;
  ui.txtNewMsgClass.enabled = enabled;
  ui.txtPriority.enabled = enabled;
}

void showNotInstalled(InstallForm& form, bool dllPresent) {
  auto& ui = form.ui;
  const bool swUnregister = ui.btnRegisterSW.caption == u"Unregister";
  ui.btnRegisterSW.enabled = swUnregister;
  ui.Frame3.enabled = swUnregister;
  ui.Command4.enabled = false;
  if (!dllPresent) {
    ui.Frame1.enabled = false;
    ui.btnInstall.enabled = false;
    ui.txtIdent.enabled = false;
    ui.txtPwd.enabled = false;
    setClassFieldsEnabled(ui, false);
    addMissingFileEntry(ui.txtErr, win32::currentDirectory());
    return;
  }
  ui.btnInstall.caption = u"Install";
  FillIdentityField(form);
  ui.txtIdent.enabled = true;
  ui.txtIdent.visible = true;
  ui.txtPwd.text.clear();
  ui.txtPwd.enabled = true;
  ui.txtPwd.visible = true;
  ui.Label2.caption = u"Password:";
  ui.Label2.visible = true;
  ui.Label3.visible = true;
  setClassFieldsEnabled(ui, true);
}

void showInstalled(InstallForm& form, bool storeWide, const Text& identity) {
  auto& ui = form.ui;
  ui.btnInstall.caption = u"Uninstall";
  ui.btnRegisterSW.enabled = true;
  ui.Frame3.enabled = true;
  ui.Command4.enabled = !storeWide;
  ui.txtIdent.enabled = false;
  ui.txtIdent.text = identity;
  ui.txtPwd.enabled = false;
  ui.txtPwd.visible = false;
  ui.Label2.caption = u"Password: ********";
  setClassFieldsEnabled(ui, false);
}

} // namespace

bool isBatchSwitch(TextView arguments) {
  if (arguments.size() <= 1) return false;
  TextView head = arguments.substr(0, 2);
  return equalsIgnoreCase(head, u"-b") || equalsIgnoreCase(head, u"/b");
}

void Form_Load(InstallForm& form, TextView commandLineArguments) {
  form.blnListReady = true;
  form.blnBatchMode = false;
  if (isBatchSwitch(commandLineArguments)) form.blnBatchMode = true;
  form.ui.caption = Text(kProductName) + u" setup";
  if (form.blnBatchMode) form.ui.caption += u" - batch mode";
  runDiscovery(form);
}

void Form_Activate(InstallForm& form) {
  if (form.blnNotFirstTime) return;
  form.blnNotFirstTime = true;
  subRefresh(form);
  if (!form.blnBatchMode) return;
  if (form.ui.btnRegisterSW.caption != u"Unregister")
    subRegister(form, false);
  else
    subRegisterSW(form);
  // Nobody reads the window of an unattended run: its log goes to the caller.
  if (!form.ui.txtErr.text.empty() && form.hooks) form.hooks->batchRunFailed(form.ui.txtErr.text);
  Command2_Click(form);
}

void subRefresh(InstallForm& form) {
  auto& ui = form.ui;
  const Text base = storeWideBaseUrl(form.strPublicRoot);
  const Text relative = storeWideRelativePath(form.strStoreGuid);
  std::optional<ComError> failure;
  std::int16_t found =
      CheckItemExists(ui.txtErr, base, relative, kRegItemName, kRegItemCondition, false, form.cnn1, &failure);
  const bool storeWide = found != 0;  // a failed look-up counts as registered
  showStoreWideState(form, storeWide);
  if (found < 0 && failure) {
    // The captions say "registered"; the log says that this is not known.
    addErrorEntry(ui.txtErr, composeFolderUrl(base, relative), failure->code(),
                  u"The store-wide registration could not be looked up, so it is shown as registered: " +
                      failure->description());
  }

  Text identity;
  if (CheckComPlusAppExists(form, kApplicationName, identity)) {
    showInstalled(form, storeWide, identity);
  } else {
    bool dllPresent = win32::fileExists(win32::currentDirectory() + u"\\Korvane.dll");
    showNotInstalled(form, dllPresent);
  }

  ui.mousePointer = Hourglass;
  ui.ListView1.rows.clear();
  GetPublicFolders(form);
  ResetListSort(form);
  showErrorLogIfAny(ui);
  ui.btnChange.enabled = false;
}

void Command2_Click(InstallForm& form) {
  Form_Unload(form);
  if (form.hooks) form.hooks->closeWindow();
}

void Form_Unload(InstallForm& form) {
  for (auto* connection : {&form.cnn, &form.cnn1}) {
    try {
      if (*connection && store::isOpen(connection->get())) store::close(connection->get());
    } catch (const ComError&) {
    }
    connection->reset();
  }
}

} // namespace korvane::setup
