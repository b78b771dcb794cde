// The folder list as the administrator uses it: sorting through the column
// headers with the arrow, the check rules through the check boxes, the
// icons, and the selected row kept in view.
#include "setup/qt/icons.h"
#include "setup/qt/sort_header.h"
#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

class FolderList : public WindowFixture {
protected:
  SortHeader* header() { return static_cast<SortHeader*>(list()->header()); }
  // The column whose header shows the arrow (1-based), 0 for none.
  int arrowColumn() {
    int found = 0;
    for (int i = 0; i < 3; ++i)
      if (!header()->arrowRect(i).isEmpty()) found = found ? -1 : i + 1;
    return found;
  }
};

TEST_F(FolderList, RefreshSortsByPathWithTheArrowThereAndTheFirstRowSelected) {
  startAndAccept();
  EXPECT_EQ(paths(), (QStringList{"Contacts", "Forms", "Sales", "Sales/Orders", "Sales/Quotes",
                                  "Support/Bob's Escalations", "Support/Tickets", "Team Calendar"}));
  EXPECT_EQ(list()->currentItem(), list()->topLevelItem(0));
  EXPECT_TRUE(list()->topLevelItem(0)->isSelected());
  EXPECT_EQ(arrowColumn(), 1);
  EXPECT_EQ(header()->format(0), 0x5800);
  EXPECT_EQ(header()->image(0), 0);
  QTreeWidgetItem* orders = row("Sales/Orders");
  EXPECT_EQ(orders->text(1), "Orders");
  EXPECT_EQ(orders->text(2), "orders@corp.example.com");
}

TEST_F(FolderList, HeaderClicksToggleAndAnotherColumnStartsAscending) {
  startAndAccept();
  clickHeader(1);  // right after a refresh: descending
  EXPECT_EQ(paths().front(), "Team Calendar");
  EXPECT_EQ(header()->image(0), 1);
  EXPECT_EQ(arrowColumn(), 1);

  clickHeader(3);  // by e-mail address, ascending
  EXPECT_EQ(arrowColumn(), 3);
  EXPECT_EQ(header()->image(2), 0);
  QStringList mails;
  for (int i = 0; i < list()->topLevelItemCount(); ++i) mails << list()->topLevelItem(i)->text(2);
  QStringList sorted = mails;
  std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
  EXPECT_EQ(mails, sorted);

  clickHeader(3);
  EXPECT_EQ(header()->image(2), 1);
  EXPECT_EQ(list()->topLevelItem(0)->text(2), sorted.back());
  clickHeader(3);
  EXPECT_EQ(header()->image(2), 0);

  clickHeader(2);  // by name, ascending
  EXPECT_EQ(arrowColumn(), 2);
  EXPECT_EQ(list()->topLevelItem(0)->text(1), "Bob's Escalations");
}

TEST_F(FolderList, ASortKeepsTheSelectedRowInViewAndTheRefreshSelectsTheFirst) {
  for (int i = 0; i < 40; ++i) {
    Text name = u"Bulk " + fromUtf8(std::to_string(100 + i));
    store::createFolder(testing::mailFolder(name, u"bulk" + fromUtf8(std::to_string(i)) + u"@corp.example.com"));
  }
  startAndAccept();
  QTreeWidgetItem* last = list()->topLevelItem(list()->topLevelItemCount() - 1);
  list()->setCurrentItem(last);
  list()->scrollToTop();
  clickHeader(1);  // descending: the selected row moves to the top, still selected
  EXPECT_EQ(list()->currentItem(), last);
  EXPECT_TRUE(list()->viewport()->rect().intersects(list()->visualItemRect(last)));
  EXPECT_EQ(form().strLastSelectedItemKey, u"http://exch01/Public/Team Calendar");
  list()->scrollToBottom();
  click("Command1");  // the refresh selects row 1 and scrolls it into view
  QTreeWidgetItem* first = list()->topLevelItem(0);
  EXPECT_EQ(list()->currentItem(), first);
  EXPECT_TRUE(list()->viewport()->rect().intersects(list()->visualItemRect(first)));
}

TEST_F(FolderList, WithoutTheApplicationChecksAreUndoneButUnchecksAllowed) {
  registerFolder(u"Forms");
  startAndAccept();
  clickCheckBox("Sales");
  EXPECT_FALSE(isChecked("Sales"));
  EXPECT_FALSE(button("btnChange")->isEnabled());
  clickCheckBox("Forms");
  EXPECT_FALSE(isChecked("Forms"));
  EXPECT_TRUE(button("btnChange")->isEnabled());
  click("btnChange");
  EXPECT_TRUE(registeredFolders().empty());
}

TEST_F(FolderList, RowsShowTheIconOfTheirKind) {
  startAndAccept();
  struct Row {
    const char* path;
    const char* key;
  } rows[] = {{"Team Calendar", "calendarfolder"}, {"Contacts", "contactfolder"}, {"Sales/Orders", "folder1"},
              {"Forms", "folder1"}};
  for (const Row& r : rows) {
    QTreeWidgetItem* item = row(r.path);
    ASSERT_NE(item, nullptr);
    QImage shown = item->icon(0).pixmap(16, 16).toImage();
    QImage expected = folderIcon(r.key).pixmap(16, 16).toImage();
    EXPECT_EQ(shown, expected) << r.path;  // each key's image is its own (see Icons)
  }
}

TEST(Icons, EveryKeyHasItsOwnSixteenBySixteenImage) {
  const QStringList& keys = folderImageKeys();
  EXPECT_EQ(keys.size(), 17);
  QList<QImage> images;
  for (const QString& key : keys) {
    QIcon icon = folderIcon(key);
    ASSERT_FALSE(icon.isNull()) << key.toStdString();
    QImage image = icon.pixmap(16, 16).toImage();
    EXPECT_EQ(image.size(), QSize(16, 16));
    EXPECT_FALSE(images.contains(image)) << key.toStdString() << " looks like another key";
    images << image;
  }
  EXPECT_TRUE(folderIcon("nosuchkey").isNull());
  EXPECT_EQ(sortArrow(0).size(), QSize(8, 7));
  EXPECT_NE(sortArrow(0).toImage(), sortArrow(1).toImage());
  EXPECT_TRUE(sortArrow(2).isNull());
}

} // namespace
} // namespace korvane::setup::qt
