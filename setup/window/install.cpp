#include "setup/window/install.h"

#include "setup/complus/complus.h"
#include "setup/window/main_window.h"

namespace korvane::setup {

Text composeConstructorString(const InstallFormModel& ui) {
  return ui.txtNewMsgClass.text + u"\r" + ui.txtOrigMsgClass.text + u"\r" + trimBlanks(ui.txtPriority.text);
}

void btnInstall_Click(InstallForm& form) {
  auto& ui = form.ui;
  ui.mousePointer = Hourglass;
  if (ui.btnInstall.caption != u"Install") {
    RemoveComPlusApp(form, kApplicationName);
  } else {
    if (trimBlanks(ui.txtIdent.text).empty() || trimBlanks(ui.txtPwd.text).empty()) {
      if (form.hooks) form.hooks->exclamation(u"Please fill the Identity and Password fields");
      ui.mousePointer = Default;
      return;
    }
    if (trimBlanks(ui.txtOrigMsgClass.text).empty() || trimBlanks(ui.txtNewMsgClass.text).empty()) {
      if (form.hooks)
        form.hooks->exclamation(u"Please fill in the Original Message Class and New Message Class fields");
      ui.mousePointer = Default;
      return;
    }
    AddComPlusApp(form, kApplicationName, ui.txtIdent.text, ui.txtPwd.text, composeConstructorString(ui));
  }
  subRefresh(form);
  ui.mousePointer = Default;
}

int txtPriority_KeyPress(int keyAscii) {
  if ((keyAscii >= '0' && keyAscii <= '9') || keyAscii == 8 || keyAscii == 32) return keyAscii;
  return 0;
}

bool isAcceptablePriority(TextView text) {
  // Only digits between the blanks: a sign, a fraction or an exponent would
  // put a value outside 0..65535 into the registrations.
  Text t = trimBlanks(text);
  if (t.empty() || t.size() > 10) return false;
  std::uint64_t value = 0;
  for (char16_t c : t) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  return value <= 65535;
}

void txtPriority_Change(InstallForm& form) {
  if (form.priorityReentry) {
    form.priorityReentry = false;
    return;
  }
  form.priorityReentry = true;
  if (isAcceptablePriority(form.ui.txtPriority.text)) form.priorityLastAccepted = form.ui.txtPriority.text;
  // Writing the text back raises a change of its own only when it differs;
  // the flag is cleared right after in either case.
  form.ui.txtPriority.text = form.priorityLastAccepted;
  form.priorityReentry = false;
}

void setPriorityFromCode(InstallForm& form, TextView priority) {
  form.priorityReentry = true;
  form.ui.txtPriority.text = Text(priority);
  form.priorityLastAccepted = form.ui.txtPriority.text;
  form.priorityReentry = false;
}

} // namespace korvane::setup
