// `korvane-lab serve` as a real process, driven by clients we did not write
// (Python's smtplib, swaks) and by raw sockets for what those never send.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <pwd.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
    if (ownGroup_) args.insert(args.begin(), "setsid");  // runs it in place, in a group of its own
    std::filesystem::remove(log());
    smtp_ = lmtp_ = 0;
    server_.emplace(ChildOptions{args, env, {}, {}, log(), {}, false});
    const std::regex listening("listening for (SMTP|LMTP) on 127\\.0\\.0\\.1:(\\d+)");
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;) {
      const std::string text = slurp(log());
      for (std::sregex_iterator it(text.begin(), text.end(), listening), end; it != end; ++it)
        ((*it)[1] == "SMTP" ? smtp_ : lmtp_) = std::stoi((*it)[2]);
      // Unix sockets come after the ports: listening on them too.
      if (smtp_ && lmtp_ && std::all_of(extra.begin(), extra.end(), [&](const std::string& e) {
            return e.rfind("unix:", 0) != 0 || text.find("listening for LMTP on " + e + "\n") != std::string::npos;
          }))
        return;
      ASSERT_FALSE(server_->poll()) << "the service ended: " << text;
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the service did not listen: " << slurp(log());
  }

  // The signal goes to the service's whole group, as Ctrl-C in a terminal
  // or a service manager's stop sends it, when it was started in its own.
  ChildResult stop(int signal = SIGTERM) {
    ownGroup_ ? ::killpg(server_->pid(), signal) : ::kill(server_->pid(), signal);
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

  // Through smtplib to the SMTP port, or over LMTP to a Unix socket's `path`.
  Json send(const std::string& message, const std::string& to, const std::string& path = "") {
    std::ofstream(workDir() / "message.eml", std::ios::binary) << message;
    return client({"send", path.empty() ? std::to_string(smtp_) : path, "ann@example.com", to,
                   (workDir() / "message.eml").string()});
  }
  // Raw conversation: each step sends its text and reads that many final replies.
  std::vector<int> talk(const Json& steps) {
    return client({"talk", std::to_string(smtp_), steps.dump()})["codes"].get<std::vector<int>>();
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
  bool ownGroup_ = false;
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

// From smtplib, and from swaks over SMTP and LMTP.
TEST_F(MailService, KeepsTheMessageAndWhatItSays) {
  start();
  const std::string message =
      "From: =?utf-8?q?J=C3=BCrgen?= <j@example.com>\r\nTo: sales@corp.example.com\r\n"
      "Subject: =?utf-8?B?w4RwZmVsIOKCrA==?=\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n\r\nSch\xc3\xb6n\r\n.leading dot\r\n";
  ASSERT_EQ(send(message, kSales)["ok"], true);
  auto list = items(u"Sales");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(rawOctets(list[0].properties.text(store::prop::rawMessage)), message);
  // The sender, subject and class as stored, through the lab's listing.
  EXPECT_THAT(lab({"items", "Sales"}).out, ::testing::ContainsRegex("Jürgen <j@example.com> +Äpfel € +IPM.Post"));
  EXPECT_EQ(lab({"show", "--raw", "Sales/" + toUtf8(list[0].name)}).out, message);

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
  list = items(u"Support");
  ASSERT_EQ(list.size(), 2u);
  for (const auto& item : list) {
    EXPECT_EQ(item.properties.text(store::prop::subject), u"Über swaks");
    EXPECT_EQ(item.properties.text(store::prop::attachmentNames), u"offer.pdf");
    EXPECT_EQ(item.properties.text(store::prop::envelopeSender), u"bob@example.com");
  }
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

TEST_F(MailService, ProtocolManners) {
  start({"--max-size", "4096"});
  const std::string hello = "EHLO me\r\n";
  const std::string envelope = "MAIL FROM:<a@b>\r\nRCPT TO:<" + std::string(kSales) + ">\r\n";
  struct Row {
    const char* name;
    Json steps;
    std::vector<int> codes;
  };
  const Row rows[] = {
      {"pipelined", Json::array({{hello + envelope + "RCPT TO:<nobody@x>\r\nDATA\r\n", 5},
                                 {"Subject: p\r\n\r\nx\r\n.\r\nQUIT\r\n", 2}}),
       {220, 250, 250, 250, 550, 354, 250, 221}},
      {"over the size limit", Json::array({{hello + envelope + "DATA\r\n", 4}, {std::string(5000, 'x') + "\r\n.\r\n", 1},
                                           {"MAIL FROM:<a@b> SIZE=5000\r\n", 1}}),
       {220, 250, 250, 250, 354, 552, 552}},
      {"stops mid-message", Json::array({{hello + envelope + "DATA\r\n", 4}, {"Subject: cut\r\n\r\nhalf", 0}}),
       {220, 250, 250, 250, 354}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(talk(row.steps), row.codes);
    EXPECT_EQ(items(u"Sales").size(), 1u);  // the pipelined message only
  }
}

TEST_F(MailService, EightClientsWithOneSubjectEachLandOnce) {
  start();
  Json r = client({"parallel", std::to_string(smtp_), "8", "ann@example.com", kSales, "Same subject"});
  EXPECT_EQ(r["results"], Json(std::vector<std::string>(8, "ok")));
  const auto list = items(u"Sales");
  EXPECT_EQ(list.size(), 8u);
  std::set<std::string> bodies;
  for (const auto& item : list) bodies.insert(toUtf8(item.properties.text(store::prop::textBody)));
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

// A process that stores messages and dies between them is replaced before
// the next message is handed to it: that message is stored, not refused.
TEST_F(MailService, AStoringProcessThatDiedIdleCostsNoMessage) {
  start({"--processes", "1"});
  const std::string pid = std::to_string(server_->pid());
  int child = 0;
  std::ifstream("/proc/" + pid + "/task/" + pid + "/children") >> child;
  ASSERT_GT(child, 0);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(send(mail("After"), kSales)["ok"], true);
  EXPECT_EQ(items(u"Sales").size(), 1u);
  stop();
}

// A backup restored over the database while the service runs: the next
// message is refused for now (451), never acknowledged into the file that
// was replaced, where it would be out of reach.
TEST_F(MailService, ABackupRestoredUnderItIsNeverWrittenThroughTheOldFile) {
  const auto backup = workDir() / "backup.db";
  db::Database::current().exec("VACUUM INTO '" + backup.string() + "'");
  db::Database::closeCurrent();
  ::chmod(backup.c_str(), 0600);
  start({"--processes", "1"});
  EXPECT_EQ(send(mail("Before"), kSales)["ok"], true);
  std::filesystem::rename(backup, db::databaseFile(serverDir()));
  EXPECT_EQ(send(mail("After"), kSales)["ok"], false);
  EXPECT_THAT(slurp(log()), ::testing::HasSubstr("FAILED (answered 451): The server database"));
  stop();
}

// Also when the signal reaches the processes that store the messages: they
// leave the stop to the service.
TEST_F(MailService, SigtermFinishesTheMessageInProgress) {
  for (bool group : {false, true}) {
    SCOPED_TRACE(group ? "to the group" : "to the service");
    ownGroup_ = group;
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
    EXPECT_EQ(items(u"Sales").size(), group ? 2u : 1u);
  }
}

// An address it cannot listen on exactly as written ends the service at
// once, saying which: a port out of range is never taken modulo 65536, a
// socket path never cut to what a socket address holds.
TEST_F(MailService, AnAddressThatCannotBeUsedAsWrittenIsRefused) {
  const std::string longPath = "unix:" + (workDir() / std::string(120, 'd')).string();
  const std::pair<std::string, std::string> rows[] = {
      {"127.0.0.1:99999", "a number from 0 to 65535"}, {"127.0.0.1:65536", "a number from 0 to 65535"},
      {"127.0.0.1:", "a number from 0 to 65535"},      {"25x", "a number from 0 to 65535"},
      {longPath, "cannot listen on " + longPath + ": File name too long"},
  };
  for (const auto& [address, says] : rows) {
    ChildResult r = lab({"serve", "--lmtp", address});
    EXPECT_EQ(r.exitCode, 1) << address;
    EXPECT_THAT(r.err, ::testing::HasSubstr(says)) << address;
  }
}

TEST_F(MailService, IdleTimeoutAndConnectionLimit) {
  start({"--idle-timeout", "3", "--max-connections", "1"});
  Child first = talking(Json::array({{"", -1}}), "first.out", "greeted");
  EXPECT_EQ(talk(Json::array({{"", -1}})), std::vector<int>{421});  // the limit
  EXPECT_EQ(result(first.wait(std::chrono::steady_clock::now() + 30s))["codes"], Json({220, 421}));  // the timeout
}

// A listening Unix socket of this test's own at `path`; closed, it leaves
// its file behind as a server that died would.
int unixListener(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
  EXPECT_EQ(::listen(fd, 1), 0);
  return fd;
}

// A Unix socket is its owner's only, unless it is opened wider or given to
// the account of the mail server that hands mail over through it: exactly
// so whatever the umask, also where a server that died left its socket, and
// it is gone again when the service stops.
TEST_F(MailService, AUnixSocketIsItsOwnersOnlyUnlessToldOtherwise) {
  const std::string path = (workDir() / "lmtp.sock").string();
  struct Row {
    std::vector<std::string> options;
    mode_t umask;
    unsigned mode;
    const char* owner;  // null: the service's own account
    bool stale = false;  // a socket no server answers on is there before
  };
  std::vector<Row> rows{{{}, 022, 0600, nullptr},
                        {{"--socket-mode", "660"}, 0277, 0660, nullptr, true},
                        {{"--socket-mode", "666"}, 0, 0666, nullptr}};
  if (::geteuid() == 0) rows.push_back({{"--socket-owner", "nobody"}, 0277, 0600, "nobody"});
  for (const Row& row : rows) {
    std::vector<std::string> extra{"--lmtp", "unix:" + path};
    extra.insert(extra.end(), row.options.begin(), row.options.end());
    if (row.stale) ::close(unixListener(path));
    const mode_t before = ::umask(row.umask);  // the service inherits it
    start(extra);
    ::umask(before);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, row.mode) << std::oct << row.umask;
    EXPECT_EQ(st.st_uid, row.owner ? ::getpwnam(row.owner)->pw_uid : ::geteuid());
    EXPECT_EQ(send(mail("Through the socket"), kSales, path)["ok"], true);
    stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
    for (const auto& entry : std::filesystem::directory_iterator(workDir()))  // nothing left of the making
      EXPECT_NE(entry.path().filename().string().rfind(".lmtp.sock.", 0), 0u) << entry.path();
  }
  EXPECT_EQ(items(u"Sales").size(), rows.size());
}

// Anything but a stale socket at the socket's path stays as it is and the
// service does not start. A link is never followed, so its target (here
// another account's file, or a running server's socket) is neither changed
// nor probed.
TEST_F(MailService, AnythingButAStaleSocketAtTheSocketsPathIsLeftAlone) {
  const std::string path = (workDir() / "lmtp.sock").string(), other = (workDir() / "other").string(),
                    elsewhere = (workDir() / "elsewhere.sock").string();
  std::vector<std::string> grant{"--socket-mode", "666"};
  if (::geteuid() == 0) grant.insert(grant.end(), {"--socket-owner", "nobody"});
  struct Row {
    const char* what;
    std::function<void()> plant;
    std::string refusal;
  };
  std::vector<int> fds;
  const std::vector<Row> rows{
      {"a live socket", [&] { fds.push_back(unixListener(path)); }, "another server listens on unix:" + path},
      {"a link to another's file", [&] { std::filesystem::create_symlink(other, path); },
       "it is a symbolic link to " + other + ", not a socket"},
      {"a link to a live socket",
       [&] {
         fds.push_back(unixListener(elsewhere));
         std::filesystem::create_symlink(elsewhere, path);
       },
       "it is a symbolic link to " + elsewhere + ", not a socket"},
      {"a regular file", [&] { std::ofstream(path) << "keep"; }, "it is a regular file, not a socket"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::ofstream(other) << "secret";
    ::chmod(other.c_str(), 0640);
    if (::geteuid() == 0) {  // an account that is neither the service's nor the socket's
      ASSERT_EQ(::chown(other.c_str(), 2, 2), 0);
    }
    row.plant();
    struct stat planted {}, target {}, after {};
    ASSERT_EQ(::lstat(path.c_str(), &planted), 0);
    ASSERT_EQ(::stat(other.c_str(), &target), 0);
    std::vector<std::string> extra{"serve", "--lmtp", "unix:" + path};
    extra.insert(extra.end(), grant.begin(), grant.end());
    ChildResult r = lab(extra);
    EXPECT_TRUE(r.exited && r.exitCode != 0) << describe(r);
    EXPECT_THAT(r.err, ::testing::HasSubstr(row.refusal));
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, planted.st_ino);
    EXPECT_EQ(after.st_mode, planted.st_mode);
    EXPECT_EQ(after.st_uid, planted.st_uid);
    ASSERT_EQ(::stat(other.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, target.st_uid);
    EXPECT_EQ(after.st_mode, target.st_mode);
    EXPECT_EQ(slurp(other), "secret");
    for (int fd : fds) ::close(fd);
    fds.clear();
    for (const auto& p : {path, elsewhere}) std::filesystem::remove(p);
  }
}

} // namespace
} // namespace korvane::mail
