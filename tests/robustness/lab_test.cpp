// korvane-lab as people use it: what a sender controls never forges a line
// of a table (JSON keeps it exact), and a folder is deleted only when asked
// for with --recursive.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/store/store.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

// A line break, a carriage return, an ESC sequence, DEL, C1 (NEL), a
// right-to-left override, an isolate, zero-width characters and a line
// separator. Names cannot hold C0 characters, so theirs leaves those out.
const std::string kHostile = "x\nFAKE  row\r\x1b[2J\x7f\xc2\x85\xe2\x80\xae\xe2\x81\xa6\xe2\x80\x8b\xef\xbb\xbf\xe2\x80\xa8y";
const std::string kHostileName = "n\x7f\xc2\x85\xe2\x80\xae\xe2\x81\xa6\xe2\x80\x8b\xef\xbb\xbf\xe2\x80\xa8m";

// What a terminal would act on instead of showing.
bool invisible(char16_t c) {
  return (c < 0x20 && c != u'\n') || (c >= 0x7F && c <= 0x9F) || c == 0x061C || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

class Lab : public RobustnessTest {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    addFolder(u"Sales");
  }
  ChildResult ok(const std::vector<std::string>& args) {
    ChildResult r = lab(args);
    EXPECT_TRUE(r.exited && r.exitCode == 0) << args[0] << " " << describe(r);
    return r;
  }
};

TEST_F(Lab, EveryPrintedColumnShowsControlCharactersEscaped) {
  ok({"folder", "add", kHostileName, "--mail", kHostile, "--contentclass", kHostile, "--description", kHostile});
  ok({"deliver", kHostileName, "--class", kHostile, "--subject", kHostile});
  ok({"complus", "install", kHostile, (workDir() / "Korvane.dll").string(), "--identity", kHostile, "--password",
      "secret", "--ctor", kHostile});
  ok({"reg", "add", kHostileName, "--sink", "Korvane.KorvaneCls", "--priority", kHostile});
  ok({"user", "add", kHostileName, "--cn", kHostile, "--home-server", kHostile});
  const std::vector<std::vector<std::string>> listings{
      {"folder", "list"}, {"items", kHostileName}, {"reg", "list"}, {"complus", "list"}, {"user", "list"}, {"info"}};
  for (const auto& listing : listings) {
    SCOPED_TRACE(listing[0]);
    const std::string out = ok(listing).out;
    const Text shown = fromUtf8(out);
    for (char16_t c : shown) EXPECT_FALSE(invisible(c)) << "U+" << std::hex << static_cast<int>(c) << " in\n" << out;
    if (listing[0] != "info") {
      EXPECT_NE(out.find("\\u202e"), std::string::npos) << out;
    }
  }
  // JSON carries the texts exactly.
  auto items = nlohmann::json::parse(ok({"items", kHostileName, "--json"}).out);
  EXPECT_EQ(items.at(0).at("subject"), kHostile);
  EXPECT_EQ(items.at(0).at("messageclass"), kHostile);
  auto folders = nlohmann::json::parse(ok({"folder", "list", "--json"}).out);
  EXPECT_EQ(folders.back().at("description"), kHostile);
}

struct DeleteRow {
  const char* what;
  std::vector<std::string> args;
  bool deletes;
};

TEST_F(Lab, AFolderIsDeletedOnlyWithRecursive) {
  ok({"deliver", "Sales", "--class", "IPM.Note", "--subject", "One"});
  const DeleteRow rows[] = {
      {"an item", {"delete", "Sales/One.EML"}, true},
      {"a folder", {"delete", "Sales"}, false},
      {"a folder by URL", {"delete", "http://exch01/Public/Sales"}, false},
      {"a folder, asked for", {"delete", "Sales", "--recursive"}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ok({"deliver", "Sales", "--class", "IPM.Note", "--subject", "Two"});
    ChildResult r = lab(row.args);
    EXPECT_EQ(r.exitCode == 0, row.deletes) << describe(r);
    EXPECT_EQ(!store::findItem(fromUtf8(row.args[1])), row.deletes);
    if (!row.deletes) {
      EXPECT_NE(r.err.find("--recursive"), std::string::npos) << r.err;
    }
  }
  EXPECT_NE(ok({"delete", "--help"}).out.find("--recursive"), std::string::npos);
}

// The event service would read a mistyped scope as EXACT and ignore a
// mistyped method: the sink would never run, and nothing would say why.
TEST_F(Lab, RegistrationsTakeOnlyScopesAndMethodsTheEventServiceKnows) {
  ok({"complus", "install", "Korvane", (workDir() / "Korvane.dll").string()});
  const std::vector<std::string> add{"reg", "add", "Sales", "--sink", "Korvane.KorvaneCls"};
  for (const auto& [option, value] : {std::pair{"--scope", "deeep"}, std::pair{"--method", "OnSyncSave,onsyncdel"}}) {
    auto args = add;
    args.insert(args.end(), {option, value});
    ChildResult r = lab(args);
    EXPECT_NE(r.exitCode, 0) << describe(r);
    EXPECT_NE(r.err.find(option), std::string::npos) << r.err;
  }
  EXPECT_EQ(nlohmann::json::parse(ok({"reg", "list", "--json"}).out).size(), 0u);
  auto args = add;
  args.insert(args.end(), {"--scope", "deep", "--method", "OnSyncSave; onsyncdelete"});
  ok(args);
}

} // namespace
} // namespace korvane::robustness
