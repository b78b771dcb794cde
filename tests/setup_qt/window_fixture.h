// The window tests' ground: a provisioned server (with the sample folders),
// the real program with its Disclaimer and main window, message boxes
// answered by the ModalAnswerer, and helpers that click, type and check
// like a user does, through QTest's input events.
#pragma once

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>
#include <vector>

#include "platform/complus/admin.h"
#include "platform/store/store.h"
#include "setup/qt/disclaimer.h"
#include "setup/qt/install_window.h"
#include "setup/qt/modal_answerer.h"
#include "setup/qt/program.h"
#include "setup/registration/items.h"
#include "setup/window/error_log.h"
#include "support/delivery_fixture.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace korvane::setup::qt {

class WindowFixture : public testing::DeliveryFixture {
protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    server::addSampleContent();
    setDateTimeSource([] { return Text(u"12/7/2026 3:04:05 AM"); });
  }
  void TearDown() override {
    program.reset();
    answerer.reset();
    setDateTimeSource(nullptr);
    DeliveryFixture::TearDown();
  }

  // Starts the program: the Disclaimer is open.
  void start(const QString& arguments = {}) {
    answerer = std::make_unique<ModalAnswerer>();
    program = std::make_unique<SetupProgram>(arguments, [this](int code) { endCodes.push_back(code); });
    program->start();
  }
  // "Yes", then waits until the first activation (and a batch run) is over.
  void startAndAccept(const QString& arguments = {}) {
    start(arguments);
    QTest::mouseClick(program->disclaimer()->yesButton(), Qt::LeftButton);
    waitUntilIdle();
  }
  void waitUntilIdle() {
    ASSERT_TRUE(program->window() || program->ended());
    if (program->window() && !program->ended()) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return program->window()->activated() || program->ended(); }, 20000));
    }
  }

  InstallWindow& window() { return *program->window(); }
  InstallForm& form() { return window().form(); }

  template <typename W = QWidget>
  W* widget(const char* name) {
    W* w = window().findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QPushButton* button(const char* name) { return widget<QPushButton>(name); }
  QLineEdit* box(const char* name) { return widget<QLineEdit>(name); }
  QLabel* label(const char* name) { return widget<QLabel>(name); }
  QTreeWidget* list() { return widget<QTreeWidget>("ListView1"); }

  void click(const char* name) {
    QPushButton* b = button(name);
    ASSERT_TRUE(b->isVisible() && b->isEnabled()) << name << " cannot be clicked";
    QTest::mouseClick(b, Qt::LeftButton);
  }
  // Replaces a box's text by typing it, key by key.
  void type(const char* name, const QString& text) {
    QLineEdit* b = box(name);
    b->setFocus();
    b->selectAll();
    if (text.isEmpty()) QTest::keyClick(b, Qt::Key_Backspace);
    QTest::keyClicks(b, text);
  }

  QTreeWidgetItem* row(const QString& path) {
    for (int i = 0; i < list()->topLevelItemCount(); ++i)
      if (list()->topLevelItem(i)->text(0) == path) return list()->topLevelItem(i);
    ADD_FAILURE() << "no row " << path.toStdString();
    return nullptr;
  }
  QStringList paths() {
    QStringList out;
    for (int i = 0; i < list()->topLevelItemCount(); ++i) out << list()->topLevelItem(i)->text(0);
    return out;
  }
  bool hasCheckBox(QTreeWidgetItem* item) { return item->data(0, Qt::CheckStateRole).isValid(); }
  bool isChecked(const QString& path) {
    QTreeWidgetItem* item = row(path);
    return item && hasCheckBox(item) && item->checkState(0) == Qt::Checked;
  }
  // A click on the row's check box, as the list delivers it.
  void clickCheckBox(const QString& path) {
    QTreeWidgetItem* item = row(path);
    ASSERT_NE(item, nullptr);
    QRect rect = list()->visualItemRect(item);
    QStyleOptionViewItem option;
    option.initFrom(list());
    option.rect = rect;
    option.features = QStyleOptionViewItem::HasCheckIndicator;
    QRect indicator = list()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list());
    QPoint at = indicator.isValid() ? indicator.center() : QPoint(rect.left() + 10, rect.center().y());
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  }
  void clickHeader(int column) {
    QHeaderView* header = list()->header();
    QPoint at(header->sectionViewportPosition(column - 1) + header->sectionSize(column - 1) / 2,
              header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  }

  // Platform-side set-ups, as another administrator's earlier run left them.
  void installApplication(const Text& ctor = u"IPM.Note.Custom\r*\r100") {
    complus::Catalog().installApplication(u"Korvane", (workDir() / "Korvane.dll").u16string(), u"CORP\\svc-old",
                                          u"secret", ctor);
  }
  void registerFolder(TextView path) {
    withSink([&] { ASSERT_EQ(registerOn(folderUrl(path)), folderUrl(path)); });
  }
  void registerStoreWide() {
    withSink([&] { ASSERT_EQ(DeliveryFixture::registerStoreWide(), store::globalEventsUrl()); });
  }
  // A registration item is accepted only when the sink's class can be
  // created: with no application, one is installed for the moment.
  template <typename F>
  void withSink(F&& create) {
    bool temporary = complus::Catalog().listApplications().empty();
    if (temporary) installApplication();
    create();
    if (temporary) complus::Catalog().removeApplication(u"Korvane");
  }
  // Whether the store-wide item exists: the one registration on no folder of the list.
  bool storeWideRegistered() { return store::registrations().size() > registeredFolders().size(); }
  std::vector<Text> priorities() {
    std::vector<Text> out;
    for (const auto& item : store::registrations())
      out.push_back(item.properties.text(u"http://schemas.microsoft.com/exchange/events/priority"));
    return out;
  }

  // The real program on the offscreen platform against `server`, walked by
  // `script`; its screenshots go into `shots`.
  struct Run {
    int exitCode;
    QString out, err;
  };
  Run runScripted(const QString& script, const QString& server = QString(), const QStringList& arguments = {}) {
    QFile file(shots.filePath("steps.script"));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(script.toUtf8());
    file.close();
    QProcess setup;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVANE_SERVER", server.isEmpty() ? QString::fromStdString(serverDir().string()) : server);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KORVANE_SETUP_SCRIPT", file.fileName());
    env.insert("KORVANE_SETUP_SHOTS", shots.path());
    env.insert("KORVANE_SETUP_SCRIPT_TIMEOUT", "120");
    setup.setProcessEnvironment(env);
    setup.setWorkingDirectory(QString::fromStdString(workDir().string()));
    db::Database::closeCurrent();  // the other process works on the server now
    setup.start(KORVANE_SETUP_PATH, arguments);
    EXPECT_TRUE(setup.waitForFinished(150000));
    EXPECT_EQ(setup.exitStatus(), QProcess::NormalExit);
    return {setup.exitCode(), QString::fromUtf8(setup.readAllStandardOutput()),
            QString::fromUtf8(setup.readAllStandardError())};
  }

  QTemporaryDir shots;
  std::unique_ptr<ModalAnswerer> answerer;
  std::unique_ptr<SetupProgram> program;
  std::vector<int> endCodes;
};

} // namespace korvane::setup::qt
