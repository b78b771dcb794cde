// The widgets of the main window, one per control of the window model and
// named like it (objectName = the control's name), with the layout that
// builds them and the writer that shows the model in them.
#pragma once

#include <QString>

#include "setup/window/model.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTreeWidget;
class QFrame;
class QProxyStyle;

namespace korvane::setup::qt {

class ProgressBoxWidget;
class SortHeader;

struct InstallControls {
  QGroupBox* Frame1;
  QLabel* Label3;
  QLineEdit* txtIdent;
  QLabel* Label7;
  QLabel* Label2;
  QLineEdit* txtPwd;
  QLabel* Label10;
  QLineEdit* txtPriority;
  QLabel* Label11;
  QLabel* Label12;
  QLineEdit* txtOrigMsgClass;
  QLabel* Label9;
  QLabel* Label5;
  QLabel* Label6;
  QLineEdit* txtNewMsgClass;
  QLabel* Label8;
  QPushButton* btnInstall;

  QGroupBox* Frame3;
  QLabel* Label1;
  QPushButton* btnRegisterSW;

  QGroupBox* Frame2;
  QTreeWidget* ListView1;
  SortHeader* header;
  QPushButton* Command4;
  QPushButton* Command5;
  QLabel* Label4;
  QPushButton* btnChange;
  QPushButton* Command1;

  QPlainTextEdit* txtErr;
  QPushButton* Command3;
  QPushButton* Command2;

  QStatusBar* StatusBar1;
  QLabel* textPanel;
  QFrame* progressPanel;
  ProgressBoxWidget* Picture1;
};

// Builds every control inside the window (client area 642 by 527 pixels,
// growing with the window) and gives it the model's design texts.
InstallControls buildInstallControls(QMainWindow* window, const InstallFormModel& ui);

// Writes the whole model into the widgets. The caller blocks the widgets'
// signals, so that nothing written here runs a handler. While the folder
// list is being filled (`listFilling`) its rows are not shown.
void showModel(InstallControls& c, const InstallFormModel& ui, bool listFilling = false);

// The list part of showModel: rows (rebuilt when keys or order changed),
// check boxes, icons, the selection and the header items.
void showList(InstallControls& c, const ListView& list, bool filling = false);

// The error log as the box shows it (each CR LF as one line break).
QString logForDisplay(const Text& log);

} // namespace korvane::setup::qt
