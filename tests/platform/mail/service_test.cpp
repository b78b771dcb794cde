// `korvane-lab serve` as a real process, driven by clients we did not write
// (Python's smtplib, swaks) and by raw sockets for what those never send.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <thread>

#include "platform/mail/message.h"
#include "platform/store/store.h"
#include "robustness/child_process.h"
#include "support/server_fixture.h"

namespace korvane::mail {
namespace {

using robustness::Child;
using robustness::ChildOptions;
using robustness::ChildResult;
using robustness::describe;
using robustness::slurp;
using Json = nlohmann::json;
using namespace std::chrono_literals;

const std::string kLab = std::string(KORVANE_BINARY_DIR) + "/lab/korvane-lab";
// The same tool with the fault hook: KORVANE_FAULT kills it at a named point.
const std::string kLabWithFaults = std::string(KORVANE_BINARY_DIR) + "/tests/robustness/korvane-lab-faults";
const std::string kClient = std::string(KORVANE_SOURCE_DIR) + "/tests/platform/mail/mail_client.py";
constexpr char kSales[] = "sales@corp.example.com";
constexpr char kSupport[] = "support@corp.example.com";

class MailService : public korvane::testing::ServerFixture {
protected:
  void SetUp() override {
    ServerFixture::SetUp();
    store::createFolder(korvane::testing::mailFolder(u"Sales", u"Sales@Corp.Example.com"));
    store::createFolder(korvane::testing::mailFolder(u"Support", fromUtf8(kSupport)));
    store::createFolder(korvane::testing::mailFolder(u"Plain", u""));
    db::Database::closeCurrent();
  }
  void TearDown() override {
    server_.reset();
    ServerFixture::TearDown();
  }

  ChildResult lab(std::vector<std::string> args) {
    args.insert(args.begin(), {kLab, "--server", serverDir().string()});
    return robustness::run(ChildOptions{args, {}, {}, workDir() / "lab.out", workDir() / "lab.err", {}, false}, 60s);
  }

  // Starts the service on free loopback ports and waits for it to listen.
  void start(const std::vector<std::string>& extra = {}, const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> args{env.empty() ? kLab : kLabWithFaults, "--server", serverDir().string(), "serve", "--smtp", "127.0.0.1:0",
                                  "--lmtp", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::filesystem::remove(log());
    smtp_ = lmtp_ = 0;
    server_.emplace(ChildOptions{args, env, {}, {}, log(), {}, false});
    const std::regex listening("listening for (SMTP|LMTP) on 127\\.0\\.0\\.1:(\\d+)");
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;) {
      const std::string text = slurp(log());
      for (std::sregex_iterator it(text.begin(), text.end(), listening), end; it != end; ++it)
        ((*it)[1] == "SMTP" ? smtp_ : lmtp_) = std::stoi((*it)[2]);
      if (smtp_ && lmtp_) return;
      ASSERT_FALSE(server_->poll()) << "the service ended: " << text;
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the service did not listen: " << slurp(log());
  }

  ChildResult stop(int signal = SIGTERM) {
    ::kill(server_->pid(), signal);
    ChildResult r = server_->wait(std::chrono::steady_clock::now() + 30s);
    r.err = slurp(log());
    server_.reset();
    return r;
  }

  ChildOptions clientOptions(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> all{"python3", kClient};
    all.insert(all.end(), args.begin(), args.end());
    return ChildOptions{all, {}, {}, workDir() / out, workDir() / (out + ".err"), {}, false};
  }
  static Json result(const ChildResult& r) {
    EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);
    return r.out.empty() ? Json() : Json::parse(r.out);
  }
  Json client(const std::vector<std::string>& args) { return result(robustness::run(clientOptions(args, "client.out"))); }

  Json send(const std::string& message, const std::string& to, int port = 0, bool lmtp = false) {
    std::ofstream(workDir() / "message.eml", std::ios::binary) << message;
    std::vector<std::string> args{"send", std::to_string(port ? port : smtp_), "ann@example.com", to,
                                  (workDir() / "message.eml").string()};
    if (lmtp) args.push_back("--lmtp");
    return client(args);
  }
  // Raw conversation: each step sends its text and reads that many final replies.
  std::vector<int> talk(const Json& steps, int port = 0) {
    return client({"talk", std::to_string(port ? port : smtp_), steps.dump()})["codes"].get<std::vector<int>>();
  }

  // A talk client running on its own, once it has read `marker` ("greeted", "step N").
  Child talking(const Json& steps, const std::string& out, const std::string& marker) {
    Child c(clientOptions({"talk", std::to_string(smtp_), steps.dump()}, out));
    const auto err = workDir() / (out + ".err");
    for (auto until = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < until && slurp(err).find(marker) == std::string::npos;)
      std::this_thread::sleep_for(20ms);
    EXPECT_THAT(slurp(err), ::testing::HasSubstr(marker));
    return c;
  }

  // The messages of a folder (its registration item left out).
  std::vector<store::ItemInfo> items(const char16_t* folder) {
    db::Database::closeCurrent();
    auto list = store::listItems(folder);
    db::Database::closeCurrent();
    std::erase_if(list, [](const auto& item) { return item.name == u"Korvane.reg"; });
    return list;
  }
  std::filesystem::path log() const { return workDir() / "serve.err"; }

  std::optional<Child> server_;
  int smtp_ = 0, lmtp_ = 0;
};

std::string mail(const std::string& subject, const std::string& body = "Hello\r\n") {
  return "From: Ann <ann@example.com>\r\nTo: sales@corp.example.com\r\nSubject: " + subject + "\r\n\r\n" + body;
}

// Each recipient is answered by the folders' addresses as they are at that
// moment, whatever the service looked up before.
TEST_F(MailService, AcceptsOnlyTheAddressesOfMailEnabledFoldersAsTheyAreNow) {
  start();
  const std::string orders = "orders@corp.example.com";
  struct Row {
    std::vector<std::string> change;  // a lab command run before the row
    std::string to;
    bool ok;
    std::vector<std::string> refused;
    std::size_t sales, support;  // items after the row
  };
  const Row rows[] = {
      {{}, kSales, true, {}, 1, 0},
      {{}, "nobody@corp.example.com", false, {"nobody@corp.example.com"}, 1, 0},
      {{}, "plain@corp.example.com", false, {"plain@corp.example.com"}, 1, 0},
      {{}, "SALES@corp.example.COM,support@corp.example.com,nobody@x", true, {"nobody@x"}, 2, 1},
      {{}, std::string(kSales) + ",Sales@Corp.Example.com", true, {}, 3, 1},  // one item per folder
      {{"folder", "set", "Sales", "--mail", ""}, kSales, false, {kSales}, 3, 1},
      {{"folder", "set", "Sales", "--mail", kSales}, kSales, true, {}, 4, 1},
      {{"folder", "set", "Sales", "--mail", orders}, kSales, false, {kSales}, 4, 1},
      {{}, orders, true, {}, 5, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.to + " after " + ::testing::PrintToString(row.change));
    if (!row.change.empty()) {
      ASSERT_EQ(lab(row.change).exitCode, 0);
    }
    Json r = send(mail("Row"), row.to);
    EXPECT_EQ(r["ok"], row.ok) << r;
    std::vector<std::string> refused;
    for (const auto& [address, code] : r["refused"].items()) {
      refused.push_back(address);
      EXPECT_EQ(code, 550);
    }
    EXPECT_EQ(refused, row.refused);
    EXPECT_EQ(items(u"Sales").size(), row.sales);
    EXPECT_EQ(items(u"Support").size(), row.support);
  }
  ChildResult r = stop();
  EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);
  EXPECT_THAT(r.err, ::testing::HasSubstr("refused from <ann@example.com> to <nobody@corp.example.com>: no mail-enabled"));
  EXPECT_THAT(r.err, ::testing::HasSubstr("-> Support as IPM.Post"));
}

TEST_F(MailService, KeepsTheMessageAndWhatItSays) {
  start();
  const std::string message =
      "From: =?utf-8?q?J=C3=BCrgen?= <j@example.com>\r\nTo: sales@corp.example.com\r\n"
      "Subject: =?utf-8?B?w4RwZmVsIOKCrA==?=\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n\r\nSch\xc3\xb6n\r\n.leading dot\r\n";
  ASSERT_EQ(send(message, kSales)["ok"], true);
  auto list = items(u"Sales");
  ASSERT_EQ(list.size(), 1u);
  const auto& p = list[0].properties;
  EXPECT_EQ(p.text(store::prop::textBody), u"Schön\r\n.leading dot\r\n");
  EXPECT_EQ(rawOctets(p.text(store::prop::rawMessage)), message);
  // The sender, subject and class as stored, through the lab's listing.
  EXPECT_THAT(lab({"items", "Sales"}).out, ::testing::ContainsRegex("Jürgen <j@example.com> +Äpfel € +IPM.Post"));
  EXPECT_EQ(lab({"show", "--raw", "Sales/" + toUtf8(list[0].name)}).out, message);
}

TEST_F(MailService, IncomingClassAndEachFoldersSink) {
  ASSERT_EQ(lab({"complus", "install", "Korvane", (workDir() / "Korvane.dll").string(), "--ctor",
                 "IPM.Note.Sink\\r*\\r65223"}).exitCode, 0);
  ASSERT_EQ(lab({"reg", "add", "Sales", "--sink", "Korvane.KorvaneCls"}).exitCode, 0);
  start();
  ASSERT_EQ(send(mail("Both"), std::string(kSales) + "," + kSupport)["ok"], true);
  ChildResult r = lab({"incoming", "IPM.Note"});
  EXPECT_THAT(r.out, ::testing::HasSubstr("stored as IPM.Note")) << describe(r);
  ASSERT_EQ(send(mail("Switched"), kSupport)["ok"], true);

  EXPECT_EQ(items(u"Sales")[0].properties.text(store::prop::messageClass), u"IPM.Note.Sink");
  auto support = items(u"Support");
  ASSERT_EQ(support.size(), 2u);
  EXPECT_EQ(support[0].properties.text(store::prop::messageClass), u"IPM.Post");
  EXPECT_EQ(support[1].properties.text(store::prop::messageClass), u"IPM.Note");
}

TEST_F(MailService, SwaksOverSmtpAndLmtp) {
  start();
  std::ofstream(workDir() / "offer.pdf") << "%PDF-1.4";
  for (int port : {smtp_, lmtp_}) {
    ChildResult r = robustness::run(
        ChildOptions{{"swaks", "--silent", "2", "--server", "127.0.0.1:" + std::to_string(port), "--protocol",
                      port == lmtp_ ? "LMTP" : "ESMTP", "--from", "bob@example.com", "--to", kSupport, "--header",
                      "Subject: =?utf-8?q?=C3=9Cber_swaks?=", "--body", "Grüße", "--attach",
                      (workDir() / "offer.pdf").string()},
                     {}, {}, workDir() / "swaks.out", workDir() / "swaks.err", {}, false},
        60s);
    EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);
  }
  auto list = items(u"Support");
  ASSERT_EQ(list.size(), 2u);
  for (const auto& item : list) {
    EXPECT_EQ(item.properties.text(store::prop::subject), u"Über swaks");
    EXPECT_EQ(item.properties.text(store::prop::attachmentNames), u"offer.pdf");
    EXPECT_EQ(item.properties.text(store::prop::envelopeSender), u"bob@example.com");
  }
}

TEST_F(MailService, ProtocolManners) {
  start({"--max-size", "4096"});
  const std::string hello = "EHLO me\r\n";
  const std::string envelope = "MAIL FROM:<a@b>\r\nRCPT TO:<" + std::string(kSales) + ">\r\n";
  struct Row {
    const char* name;
    Json steps;
    std::vector<int> codes;
    std::size_t items;  // in Sales after the row
  };
  const Row rows[] = {
      {"pipelined", Json::array({{hello + envelope + "RCPT TO:<nobody@x>\r\nDATA\r\n", 5},
                                 {"Subject: p\r\n\r\nx\r\n.\r\nQUIT\r\n", 2}}),
       {220, 250, 250, 250, 550, 354, 250, 221}, 1},
      {"over the size limit", Json::array({{hello + envelope + "DATA\r\n", 4}, {std::string(5000, 'x') + "\r\n.\r\n", 1},
                                           {"MAIL FROM:<a@b> SIZE=5000\r\n", 1}}),
       {220, 250, 250, 250, 354, 552, 552}, 1},
      {"stops mid-message", Json::array({{hello + envelope + "DATA\r\n", 4}, {"Subject: cut\r\n\r\nhalf", 0}}),
       {220, 250, 250, 250, 354}, 1},
      {"LMTP per recipient", Json::array({{"LHLO me\r\n" + envelope + "RCPT TO:<" + kSupport + ">\r\nDATA\r\n", 5},
                                          {"Subject: l\r\n\r\nx\r\n.\r\n", 2}}),
       {220, 250, 250, 250, 250, 354, 250, 250}, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(talk(row.steps, row.steps[0][0].get<std::string>().rfind("LHLO", 0) == 0 ? lmtp_ : smtp_), row.codes);
    EXPECT_EQ(items(u"Sales").size(), row.items);
  }
  ChildResult r = stop();
  EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);
}

TEST_F(MailService, EightClientsWithOneSubjectEachLandOnce) {
  start();
  Json r = client({"parallel", std::to_string(smtp_), "8", "ann@example.com", kSales, "Same subject"});
  EXPECT_EQ(r["results"], Json(std::vector<std::string>(8, "ok")));
  std::set<std::string> bodies, names;
  for (const auto& item : items(u"Sales")) {
    bodies.insert(toUtf8(item.properties.text(store::prop::textBody)));
    names.insert(toUtf8(item.name));
  }
  EXPECT_EQ(names.size(), 8u);
  std::set<std::string> expected;
  for (int k = 0; k < 8; ++k) expected.insert("client " + std::to_string(k) + "\r\n");
  EXPECT_EQ(bodies, expected);
}

TEST_F(MailService, AcknowledgedMessageSurvivesSigkill) {
  start();
  EXPECT_EQ(talk(Json::array({{"EHLO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<" + std::string(kSales) + ">\r\nDATA\r\n", 4},
                              {"Subject: Kept\r\n\r\nx\r\n.\r\n", 1}})),
            (std::vector<int>{220, 250, 250, 250, 354, 250}));
  ChildResult r = stop(SIGKILL);  // at once after the 250
  EXPECT_EQ(r.signal, SIGKILL);
  auto list = items(u"Sales");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].properties.text(store::prop::subject), u"Kept");
}

TEST_F(MailService, FailureBeforeTheCommitIsNeverAcknowledged) {
  start();
  const std::string envelope = "EHLO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<" + std::string(kSupport) + ">\r\n";
  // The folder goes away between RCPT and the end of the message: for good,
  // so 550 (a 451 would have the sender store its other copies twice).
  const std::string deleted = (workDir() / "deleted").string();
  Child late = talking(Json::array({{envelope, 3}, {"DATA\r\nSubject: Gone\r\n\r\nx\r\n.\r\n", 2, deleted}}),
                       "late.out", "step 4");
  ASSERT_EQ(lab({"delete", "--recursive", "Support"}).exitCode, 0);
  std::ofstream{deleted};
  EXPECT_EQ(result(late.wait(std::chrono::steady_clock::now() + 30s))["codes"], Json({220, 250, 250, 250, 354, 550}));
  stop();

  // The process storing it killed inside the save, before its commit: 451,
  // no item, and the service goes on with a new process.
  start({}, {{"KORVANE_FAULT", "store.before-commit"}});
  const std::string toSales = "EHLO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<" + std::string(kSales) + ">\r\nDATA\r\n";
  for (int attempt = 0; attempt < 2; ++attempt)
    EXPECT_EQ(talk(Json::array({{toSales, 4}, {"Subject: Lost\r\n\r\nx\r\n.\r\nQUIT\r\n", -1}})),
              (std::vector<int>{220, 250, 250, 250, 354, 451, 221}));
  EXPECT_FALSE(server_->poll());
  stop();
  EXPECT_TRUE(items(u"Sales").empty());
}

TEST_F(MailService, SigtermFinishesTheMessageInProgress) {
  start();
  Child idle = talking(Json::array({{"EHLO me\r\n", 1}, {"", -1}}), "idle.out", "step 2");
  Child busy = talking(Json::array({{"EHLO me\r\nMAIL FROM:<a@b>\r\nRCPT TO:<" + std::string(kSales) + ">\r\n", 3},
                                    {"DATA\r\n", 1, 1.5},
                                    {"Subject: Late\r\n\r\nx\r\n.\r\nNOOP\r\n", -1}}),
                       "busy.out", "step 4");
  ChildResult r = stop();
  EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r) << r.err;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  EXPECT_EQ(result(busy.wait(deadline))["codes"], Json({220, 250, 250, 250, 354, 250, 421}));
  EXPECT_EQ(result(idle.wait(deadline))["codes"], Json({220, 250, 421}));
  EXPECT_EQ(items(u"Sales").size(), 1u);
}

TEST_F(MailService, IdleTimeoutAndConnectionLimit) {
  start({"--idle-timeout", "3", "--max-connections", "1"});
  Child first = talking(Json::array({{"", -1}}), "first.out", "greeted");
  EXPECT_EQ(talk(Json::array({{"", -1}})), std::vector<int>{421});  // the limit
  EXPECT_EQ(result(first.wait(std::chrono::steady_clock::now() + 30s))["codes"], Json({220, 421}));  // the timeout
}

// A Unix socket is its owner's only, unless it is opened wider or given to
// the account of the mail server that hands mail over through it.
TEST_F(MailService, AUnixSocketIsItsOwnersOnlyUnlessToldOtherwise) {
  const std::string path = (workDir() / "lmtp.sock").string();
  struct Row {
    std::vector<std::string> options;
    unsigned mode;
    const char* owner;  // null: the service's own account
  };
  std::vector<Row> rows{{{}, 0600, nullptr}, {{"--socket-mode", "660"}, 0660, nullptr}};
  if (::geteuid() == 0) rows.push_back({{"--socket-owner", "nobody"}, 0600, "nobody"});
  for (const Row& row : rows) {
    std::vector<std::string> extra{"--lmtp", "unix:" + path};
    extra.insert(extra.end(), row.options.begin(), row.options.end());
    start(extra);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, row.mode);
    EXPECT_EQ(st.st_uid, row.owner ? ::getpwnam(row.owner)->pw_uid : ::geteuid());
    std::ofstream(workDir() / "message.eml", std::ios::binary) << mail("Through the socket");
    EXPECT_EQ(client({"send", path, "ann@example.com", kSales, (workDir() / "message.eml").string()})["ok"], true);
    stop();
  }
  EXPECT_EQ(items(u"Sales").size(), rows.size());
}

} // namespace
} // namespace korvane::mail
