// The SMTP/LMTP state machine fed with whole conversations: the reply codes
// it gives, in order, and what it hands over for delivery.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/mail/process_mailboxes.h"
#include "platform/mail/session.h"

namespace korvane::mail {
namespace {

class FakeMailboxes : public Mailboxes {
public:
  std::optional<std::string> folderOf(std::string_view address) override {
    if (address == "down@x") throw std::runtime_error("database busy");
    auto it = known.find(std::string(address));
    return it == known.end() ? std::nullopt : std::optional(it->second);
  }
  std::vector<DeliveryResult> deliver(const Envelope& envelope, std::string_view message) override {
    delivered.emplace_back(message);
    std::vector<DeliveryResult> out;
    for (const auto& r : envelope.recipients)
      out.push_back(r.folder == "Broken" ? DeliveryResult{DeliveryResult::Status::Failed, "disk full"}
                    : r.folder == "Vetoed" ? DeliveryResult{DeliveryResult::Status::Refused, "vetoed"}
                    : r.folder == "Gone"   ? DeliveryResult{DeliveryResult::Status::Gone, "deleted"}
                                           : DeliveryResult{DeliveryResult::Status::Delivered, "IPM.Post"});
    return out;
  }
  void refused(const Envelope&, std::string_view, std::string_view) override {}

  std::map<std::string, std::string> known{
      {"sales@x", "Sales"}, {"support@x", "Support"}, {"broken@x", "Broken"}, {"vetoed@x", "Vetoed"}, {"gone@x", "Gone"}};
  std::vector<std::string> delivered;
};

// The codes of the final reply lines ("250 ..."; continuation lines "250-" skipped).
std::vector<int> codes(const std::string& replies) {
  std::vector<int> out;
  static const std::regex final("(^|\n)(\\d{3}) ");
  for (std::sregex_iterator it(replies.begin(), replies.end(), final), end; it != end; ++it)
    out.push_back(std::stoi((*it)[2]));
  return out;
}

const Limits kSmall{
    .maxMessageBytes = 100, .maxLineBytes = 64, .maxRecipients = 2, .maxCommands = 30, .maxErrors = 5};

struct Case {
  const char* name;
  Protocol protocol;
  std::string input;
  std::vector<int> codes;
  std::vector<std::string> delivered;  // the messages handed over
  bool closed = false;
};

const std::string kHello = "EHLO client\r\n";
const std::string kLhlo = "LHLO client\r\n";
const std::string kMail = "MAIL FROM:<a@b>\r\n";

const Case kCases[] = {
    {"OneMessage", Protocol::Smtp, kHello + kMail + "RCPT TO:<sales@x>\r\nDATA\r\nSubject: a\r\n\r\nbody\r\n.\r\nQUIT\r\n",
     {250, 250, 250, 354, 250, 221}, {"Subject: a\r\n\r\nbody\r\n"}, true},
    {"DotsUndoneAndOnlyCrlfEndsALine", Protocol::Smtp,
     kHello + kMail + "RCPT TO:sales@x\r\nDATA\r\n..leading\r\n.x\r\nnot the end\n.\nMAIL FROM:<b@c>\r\n.\r\n",
     {250, 250, 250, 354, 250}, {".leading\r\nx\r\nnot the end\n.\nMAIL FROM:<b@c>\r\n"}},
    {"UnknownRecipientRefused", Protocol::Smtp, kHello + kMail + "RCPT TO:<nobody@x>\r\nDATA\r\n",
     {250, 250, 550, 554}, {}},
    {"LookupFailureIsTemporary", Protocol::Smtp, kHello + kMail + "RCPT TO:<down@x>\r\n", {250, 250, 451}, {}},
    {"SequenceErrors", Protocol::Smtp, kMail + "RCPT TO:<sales@x>\r\nDATA\r\n" + kHello + kMail + kMail,
     {503, 503, 503, 250, 250, 503}, {}},
    {"LmtpNeedsLhlo", Protocol::Lmtp, kHello + kLhlo, {500, 250}, {}},
    {"SmtpRefusesLhlo", Protocol::Smtp, kLhlo + "HELO\r\nHELO c\r\n", {500, 501, 250}, {}},
    {"LmtpAnswersEachRecipient", Protocol::Lmtp,
     kLhlo + kMail + "RCPT TO:<sales@x>\r\nRCPT TO:<broken@x>\r\nDATA\r\nx\r\n.\r\n", {250, 250, 250, 250, 354, 250, 451},
     {"x\r\n"}},
    {"SmtpFailureAnywhereIs451", Protocol::Smtp,
     kHello + kMail + "RCPT TO:<sales@x>\r\nRCPT TO:<broken@x>\r\nDATA\r\nx\r\n.\r\n", {250, 250, 250, 250, 354, 451},
     {"x\r\n"}},
    {"AFolderGoneMeanwhileIsNoReasonToSendAgain", Protocol::Smtp,
     kHello + kMail + "RCPT TO:<sales@x>\r\nRCPT TO:<gone@x>\r\nDATA\r\nx\r\n.\r\n" + kMail +
         "RCPT TO:<gone@x>\r\nDATA\r\ny\r\n.\r\n",
     {250, 250, 250, 250, 354, 250, 250, 250, 354, 550}, {"x\r\n", "y\r\n"}},
    {"SmtpAllVetoedIs550", Protocol::Smtp, kHello + kMail + "RCPT TO:<vetoed@x>\r\nDATA\r\nx\r\n.\r\n",
     {250, 250, 250, 354, 550}, {"x\r\n"}},
    {"TooManyRecipients", Protocol::Smtp,
     kHello + kMail + "RCPT TO:<sales@x>\r\nRCPT TO:<support@x>\r\nRCPT TO:<sales@x>\r\n", {250, 250, 250, 250, 452}, {}},
    {"AnnouncedSizeTooBig", Protocol::Smtp, kHello + "MAIL FROM:<a@b> SIZE=101\r\nMAIL FROM:<a@b> SIZE=100 BODY=8BITMIME\r\n",
     {250, 552, 250}, {}},
    {"MessageTooBigIsRefusedAfterItsEnd", Protocol::Smtp,
     kHello + kMail + "RCPT TO:<sales@x>\r\nDATA\r\n" + std::string(150, 'x') + "\r\n.\r\nNOOP\r\n",
     {250, 250, 250, 354, 552, 250}, {}},
    {"BadParameters", Protocol::Smtp,
     kHello + "MAIL FROM:<a@b> BODY=BINARY\r\nMAIL FROM:<a@b> RET=FULL\r\nMAIL FROM:<a b>\r\nMAIL TO:<a@b>\r\n",
     {250, 501, 555, 501, 501}, {}},
    {"NonAsciiNeedsSmtputf8AndUtf8", Protocol::Smtp,
     kHello + "MAIL FROM:<é@b>\r\nMAIL FROM:<\xff\xfe@b> SMTPUTF8\r\nMAIL FROM:<é@b> SMTPUTF8\r\nRCPT TO:<\xc3@x>\r\n",
     {250, 553, 553, 250, 553}, {}},
    {"LongLineRefusedAndSkipped", Protocol::Smtp, std::string(200, 'A') + "\r\nNOOP\r\n", {500, 250}, {}},
    {"GarbageAndUnimplemented", Protocol::Smtp, std::string("\x01\xff\0junk\r\nSTARTTLS\r\nVRFY x\r\n", 27), {500, 502, 252}, {}},
    {"TooManyErrorsClose", Protocol::Smtp, "x\r\nx\r\nx\r\nx\r\nx\r\nNOOP\r\n", {500, 500, 500, 500, 500, 421}, {}, true},
    {"CommandLimitCloses", Protocol::Smtp,
     [] { std::string s; for (int i = 0; i < 31; ++i) s += "NOOP\r\n"; return s; }(),
     [] { std::vector<int> c(30, 250); c.push_back(421); return c; }(), {}, true},
    {"RsetEndsTheTransaction", Protocol::Smtp, kHello + kMail + "RSET\r\n" + kMail, {250, 250, 250, 250}, {}},
};

// Fed one byte at a time and all at once, the session answers the same.
TEST(Session, RepliesExtensionsAndDeliveries) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeMailboxes boxes;
    Session session(c.protocol, kSmall, "mx.test", boxes);
    EXPECT_THAT(session.greeting(), ::testing::StartsWith("220 mx.test"));
    std::string oneByOne;
    for (char ch : c.input) oneByOne += session.receive(std::string_view(&ch, 1));
    FakeMailboxes boxes2;
    Session whole(c.protocol, kSmall, "mx.test", boxes2);
    EXPECT_EQ(whole.receive(c.input), oneByOne);

    EXPECT_EQ(codes(oneByOne), c.codes) << oneByOne;
    EXPECT_EQ(boxes.delivered, c.delivered);
    EXPECT_EQ(session.closed(), c.closed);
  }
  FakeMailboxes boxes;
  Session session(Protocol::Smtp, kSmall, "mx.test", boxes);
  const std::string reply = session.receive(kHello);  // announces the extensions
  for (const char* ext : {"250-SIZE 100\r\n", "250-PIPELINING\r\n", "250-8BITMIME\r\n", "250-ENHANCEDSTATUSCODES\r\n",
                          "250 SMTPUTF8\r\n"})
    EXPECT_THAT(reply, ::testing::HasSubstr(ext));
}

// A storing process that dies when no successor can be started (no file
// descriptors left) fails the message in hand; its place waits, and the
// next message gets a process once one can be started: no caller waits for
// ever on a place that was lost.
TEST(ProcessMailboxesTest, AProcessThatCannotBeReplacedFailsOnlyTheMessageInHand) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizers' own checks need the descriptors this test uses up";
#endif
#endif
  using Status = DeliveryResult::Status;
  auto* pool = new ProcessMailboxes(1, [] { return std::make_unique<FakeMailboxes>(); });
  const Envelope e{"ann@x", {{"sales@x", "Sales"}}};
  ASSERT_EQ(pool->deliver(e, "first")[0].status, Status::Delivered);
  int child = 0;
  std::ifstream("/proc/self/task/" + std::to_string(::gettid()) + "/children") >> child;
  ASSERT_GT(child, 0);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  std::string field, name, state;  // it is ours to reap: it stays a zombie
  for (int i = 0; i < 400 && state != "Z"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ifstream("/proc/" + std::to_string(child) + "/stat") >> field >> name >> state;
  }
  ASSERT_EQ(state, "Z");

  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit full = before;
  full.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &full), 0);
  const auto failed = pool->deliver(e, "second");
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
  EXPECT_EQ(failed[0].status, Status::Failed);

  auto done = std::make_shared<std::promise<Status>>();
  std::thread([pool, e, done] { done->set_value(pool->deliver(e, "third")[0].status); }).detach();
  auto third = done->get_future();
  ASSERT_EQ(third.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the next message waits for ever";
  EXPECT_EQ(third.get(), Status::Delivered);
  delete pool;  // only when no thread uses it any more
}

// A storing process that ends during a delivery fails that message only,
// the log says how it ended and whose message it was (it may have been
// stored already), and the next message goes to its successor.
TEST(ProcessMailboxesTest, AProcessThatEndsDuringADeliveryIsLoggedAndReplaced) {
  struct Ending : FakeMailboxes {
    std::vector<DeliveryResult> deliver(const Envelope& envelope, std::string_view message) override {
      if (message == "abort") std::abort();
      if (message == "exit") ::_exit(3);
      if (message == "kill") ::raise(SIGKILL);
      return FakeMailboxes::deliver(envelope, message);
    }
  };
  std::vector<std::string> lines;
  std::mutex linesLock;
  ProcessMailboxes pool(1, [] { return std::make_unique<Ending>(); },
                        [&](const std::string& line) {
                          std::lock_guard guard(linesLock);
                          lines.push_back(line);
                        });
  const Envelope e{"ann@x", {{"sales@x", "Sales"}}};
  const struct {
    const char* message;
    const char* how;
  } cases[] = {{"kill", "killed by signal 9"}, {"abort", "killed by signal 6"}, {"exit", "exited with status 3"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    lines.clear();
    const auto failed = pool.deliver(e, c.message);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].status, DeliveryResult::Status::Failed);
    EXPECT_THAT(failed[0].detail, ::testing::HasSubstr(c.how));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::HasSubstr("from <ann@x> to <sales@x>"));
    EXPECT_THAT(lines[0], ::testing::HasSubstr(c.how));
    EXPECT_THAT(lines[0], ::testing::HasSubstr("there twice"));
    EXPECT_EQ(pool.deliver(e, "next")[0].status, DeliveryResult::Status::Delivered);
  }
}

} // namespace
} // namespace korvane::mail
