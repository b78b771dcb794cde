// The main window's state as the setup's procedures read and write it:
// texts, captions, enabled and visible flags, the folder list rows, the
// progress box and the error log. The Qt widgets bind to this model, so every
// procedure runs, and is tested, without a display.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/com/text.h"

namespace korvane::setup {

struct Control {
  bool enabled = true;
  bool visible = true;
};

struct TextBox : Control {
  Text text;
};

struct Label : Control {
  Text caption;
};

using Button = Label;
using Frame = Label;

// One row of the folder list: key = folder URL, three column texts, the
// image key of its icon and its check mark.
struct ListRow {
  Text key;
  Text text;
  Text smallIcon;
  bool checked = false;
  Text subItem1;
  Text subItem2;
};

// What one column header shows: the header item's format bits and image.
struct HeaderItem {
  Text caption;
  int format = 0x4000;  // HDF_STRING
  int image = 0;
  bool showsImage() const { return (format & 0x800) != 0; }
};

struct ListView : Control {
  HeaderItem headers[3] = {{u"Folder path"}, {u"Name"}, {u"E-mail address"}};
  std::vector<ListRow> rows;
  int sortKey = 0;    // 0-based column
  int sortOrder = 0;  // 0 ascending, 1 descending
  bool sorted = false;
  std::optional<std::size_t> selected;  // index into rows
  // Offering per-folder selection (the check boxes); off while a store-wide
  // registration exists.
  bool checkBoxes = true;

  const ListRow* find(TextView key) const;
  ListRow* find(TextView key);
  void select(TextView key);  // no effect when no such row exists
};

// The progress box over the status bar: a scale, the steps done, and what
// it shows (the percentage text and the filled share).
struct ProgressBox : Control {
  double scaleWidth = 100;
  double scaleHeight = 1;
  std::int32_t progress = 0;
  Text percentText;
  double filledWidth = 0;  // the box drawn from 0 to this x
  ProgressBox() { visible = false; }
};

enum MousePointer : int { Default = 0, Hourglass = 11 };

struct InstallFormModel {
  Text caption;
  int mousePointer = Default;

  Frame Frame1{{}, u"COM+ object"};
  Label Label3{{}, u"Identity:"};
  TextBox txtIdent;
  Label Label7{{}, u"Example: corp.example.com\\ExAdmin"};
  Label Label2{{}, u"Password:"};
  TextBox txtPwd;
  Label Label10{{}, u"Event sink priority:"};
  TextBox txtPriority{{}, u"65223"};
  Label Label11{{}, u"       (0 is highest, 65535 is lowest)"};
  Label Label12{{}, u"Original Message Class:"};
  TextBox txtOrigMsgClass{{}, u"*"};
  Label Label9{{}, u"Example: IPM.Note"};
  Label Label5{{}, u" -->"};
  Label Label6{{}, u"New Message Class:"};
  TextBox txtNewMsgClass{{}, u"IPM.Note"};
  Label Label8{{}, u"Example: IPM.Note.MyForm"};
  Button btnInstall{{}, u"Install"};

  Frame Frame3{{}, u"Store-wide registration"};
  Label Label1{{}, u"Application can be registered for all public folders."};
  Button btnRegisterSW{{}, u"Register"};

  Frame Frame2{{}, u"Per-folder registration"};
  ListView ListView1;
  Button Command4{{}, u"Select All"};
  Button Command5{{}, u"Deselect All"};
  Label Label4{{}, u"(only mail-enabled public folders are shown)"};
  Button btnChange{{}, u"Change"};
  Button Command1{{}, u"Refresh"};

  TextBox txtErr{{true, false}, {}};
  Button Command3{{true, false}, u"Clear Error Log"};
  Button Command2{{}, u"Exit"};
  ProgressBox Picture1;
};

} // namespace korvane::setup
