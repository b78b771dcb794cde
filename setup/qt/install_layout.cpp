// The main window's layout: three frames stacked from the top ("COM+
// object", "Store-wide registration", "Per-folder registration"), the error
// log with its buttons, and the status bar with the progress panel. The
// folder list takes whatever height the window grows by.
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "setup/qt/install_controls.h"
#include "setup/qt/progress_box.h"
#include "setup/qt/sort_header.h"

namespace korvane::setup::qt {

namespace {

constexpr int kButtonWidth = 96;

QString q(const Text& text) { return QString::fromStdU16String(text); }

// The password box echoes "*" for every character.
class StarPasswordStyle : public QProxyStyle {
public:
  using QProxyStyle::QProxyStyle;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

template <typename W>
W* named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QLabel* label(QWidget* parent, const Label& model, const char* name) {
  return named(new QLabel(q(model.caption), parent), name);
}

QLineEdit* textBox(QWidget* parent, const TextBox& model, const char* name) {
  auto* box = named(new QLineEdit(q(model.text), parent), name);
  box->setMinimumWidth(60);
  return box;
}

QPushButton* button(QWidget* parent, const Button& model, const char* name) {
  auto* b = named(new QPushButton(q(model.caption), parent), name);
  b->setFixedWidth(kButtonWidth);
  b->setAutoDefault(false);
  return b;
}

QGroupBox* frame(QWidget* parent, const Frame& model, const char* name) {
  return named(new QGroupBox(q(model.caption), parent), name);
}

void buildFrame1(InstallControls& c, QWidget* parent, const InstallFormModel& ui) {
  c.Frame1 = frame(parent, ui.Frame1, "Frame1");
  QWidget* f = c.Frame1;
  c.Label3 = label(f, ui.Label3, "Label3");
  c.txtIdent = textBox(f, ui.txtIdent, "txtIdent");
  c.Label7 = label(f, ui.Label7, "Label7");
  c.Label2 = label(f, ui.Label2, "Label2");
  c.txtPwd = textBox(f, ui.txtPwd, "txtPwd");
  c.txtPwd->setEchoMode(QLineEdit::Password);
  auto* stars = new StarPasswordStyle(c.txtPwd->style()->name());
  stars->setParent(c.txtPwd);
  c.txtPwd->setStyle(stars);
  c.Label10 = label(f, ui.Label10, "Label10");
  c.txtPriority = textBox(f, ui.txtPriority, "txtPriority");
  c.Label11 = label(f, ui.Label11, "Label11");
  c.Label11->setWordWrap(true);
  c.Label12 = label(f, ui.Label12, "Label12");
  c.txtOrigMsgClass = textBox(f, ui.txtOrigMsgClass, "txtOrigMsgClass");
  c.Label9 = label(f, ui.Label9, "Label9");
  c.Label5 = label(f, ui.Label5, "Label5");
  c.Label6 = label(f, ui.Label6, "Label6");
  c.txtNewMsgClass = textBox(f, ui.txtNewMsgClass, "txtNewMsgClass");
  c.Label8 = label(f, ui.Label8, "Label8");
  c.btnInstall = button(f, ui.btnInstall, "btnInstall");

  auto* g = new QGridLayout(f);
  g->setHorizontalSpacing(12);
  g->setVerticalSpacing(2);
  g->addWidget(c.Label3, 0, 0);
  g->addWidget(c.txtIdent, 1, 0);
  g->addWidget(c.Label7, 2, 0, Qt::AlignTop);
  g->addWidget(c.Label2, 0, 1);
  g->addWidget(c.txtPwd, 1, 1);
  g->addWidget(c.Label10, 0, 2);
  g->addWidget(c.txtPriority, 1, 2);
  g->addWidget(c.Label11, 2, 2, Qt::AlignTop);

  auto* original = new QHBoxLayout;
  original->setSpacing(6);
  original->addWidget(c.txtOrigMsgClass, 1);
  original->addWidget(c.Label5);
  g->addWidget(c.Label12, 3, 0);
  g->addLayout(original, 4, 0);
  g->addWidget(c.Label9, 5, 0, Qt::AlignTop);
  g->addWidget(c.Label6, 3, 1, 1, 2);
  g->addWidget(c.txtNewMsgClass, 4, 1, 1, 2);
  g->addWidget(c.Label8, 5, 1, 1, 2, Qt::AlignTop);
  g->setRowMinimumHeight(3, 22);
  g->addWidget(c.btnInstall, 1, 3, Qt::AlignRight | Qt::AlignTop);
  g->setColumnStretch(0, 3);
  g->setColumnStretch(1, 2);
  g->setColumnStretch(2, 2);
  // Two lines for the priority's range, as the label is laid out.
  c.Label11->setMinimumHeight(2 * c.Label11->fontMetrics().lineSpacing());
}

void buildFrame3(InstallControls& c, QWidget* parent, const InstallFormModel& ui) {
  c.Frame3 = frame(parent, ui.Frame3, "Frame3");
  c.Label1 = label(c.Frame3, ui.Label1, "Label1");
  c.Label1->setWordWrap(true);
  c.btnRegisterSW = button(c.Frame3, ui.btnRegisterSW, "btnRegisterSW");
  auto* h = new QHBoxLayout(c.Frame3);
  h->addWidget(c.Label1, 1);
  h->addWidget(c.btnRegisterSW, 0, Qt::AlignRight | Qt::AlignVCenter);
}

QTreeWidget* folderList(InstallControls& c, QWidget* parent, const ListView& model) {
  auto* list = named(new QTreeWidget(parent), "ListView1");
  c.header = new SortHeader(list);
  list->setHeader(c.header);
  list->setColumnCount(3);
  list->setHeaderLabels({q(model.headers[0].caption), q(model.headers[1].caption), q(model.headers[2].caption)});
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  // The list sorts its model rows itself; turning the view's own sorting
  // off also makes the header unclickable, so that comes after it.
  list->setSortingEnabled(false);
  c.header->setSectionsClickable(true);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setIconSize(QSize(16, 16));
  list->setAllColumnsShowFocus(true);
  c.header->setStretchLastSection(true);
  c.header->resizeSection(0, 190);
  c.header->resizeSection(1, 120);
  return list;
}

void buildFrame2(InstallControls& c, QWidget* parent, const InstallFormModel& ui) {
  c.Frame2 = frame(parent, ui.Frame2, "Frame2");
  QWidget* f = c.Frame2;
  c.ListView1 = folderList(c, f, ui.ListView1);
  c.Command4 = button(f, ui.Command4, "Command4");
  c.Command5 = button(f, ui.Command5, "Command5");
  c.Label4 = label(f, ui.Label4, "Label4");
  c.btnChange = button(f, ui.btnChange, "btnChange");
  c.Command1 = button(f, ui.Command1, "Command1");

  auto* right = new QVBoxLayout;
  right->addWidget(c.btnChange);
  right->addWidget(c.Command1);
  right->addStretch();

  auto* under = new QHBoxLayout;
  under->addWidget(c.Command4);
  under->addWidget(c.Command5);
  under->addStretch();
  under->addWidget(c.Label4);

  auto* g = new QGridLayout(f);
  g->addWidget(c.ListView1, 0, 0);
  g->addLayout(right, 0, 1);
  g->addLayout(under, 1, 0);
  g->setRowStretch(0, 1);
  g->setColumnStretch(0, 1);
}

QLayout* buildLogArea(InstallControls& c, QWidget* parent, const InstallFormModel& ui) {
  c.txtErr = named(new QPlainTextEdit(parent), "txtErr");
  c.txtErr->setReadOnly(true);
  c.txtErr->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  c.txtErr->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  c.txtErr->setFixedHeight(78);
  c.Command3 = button(parent, ui.Command3, "Command3");
  c.Command3->setFixedWidth(kButtonWidth + 16);
  c.Command2 = button(parent, ui.Command2, "Command2");

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(c.Command3, 0, Qt::AlignRight);
  buttons->addStretch();
  buttons->addWidget(c.Command2, 0, Qt::AlignRight);

  auto* h = new QHBoxLayout;
  h->addWidget(c.txtErr, 1);
  h->addStretch(0);
  h->addLayout(buttons);
  return h;
}

void buildStatusBar(InstallControls& c, QMainWindow* window) {
  c.StatusBar1 = named(window->statusBar(), "StatusBar1");
  QFont arial(QStringLiteral("Arial"));
  arial.setPointSizeF(c.StatusBar1->font().pointSizeF());
  c.StatusBar1->setFont(arial);
  c.textPanel = named(new QLabel(c.StatusBar1), "text");
  c.progressPanel = named(new QFrame(c.StatusBar1), "progress");
  c.progressPanel->setFrameShape(QFrame::Panel);
  c.progressPanel->setFrameShadow(QFrame::Sunken);
  c.progressPanel->setFixedWidth(200);
  c.Picture1 = new ProgressBoxWidget(c.progressPanel);
  auto* inside = new QVBoxLayout(c.progressPanel);
  inside->setContentsMargins(1, 1, 1, 1);
  inside->addWidget(c.Picture1);
  c.StatusBar1->addWidget(c.textPanel, 1);
  c.StatusBar1->addPermanentWidget(c.progressPanel);
}

} // namespace

InstallControls buildInstallControls(QMainWindow* window, const InstallFormModel& ui) {
  InstallControls c{};
  auto* central = new QWidget(window);
  central->setObjectName(QStringLiteral("client"));
  buildFrame1(c, central, ui);
  buildFrame3(c, central, ui);
  buildFrame2(c, central, ui);
  auto* v = new QVBoxLayout(central);
  v->setContentsMargins(8, 6, 8, 4);
  v->setSpacing(6);
  v->addWidget(c.Frame1);
  v->addWidget(c.Frame3);
  v->addWidget(c.Frame2, 1);
  v->addLayout(buildLogArea(c, central, ui));
  window->setCentralWidget(central);
  buildStatusBar(c, window);
  window->resize(642, 527);
  return c;
}

} // namespace korvane::setup::qt
