#include <cstdio>
#include <memory>
#include <mutex>
#include <unistd.h>

#include "lab/commands.h"
#include "lab/output.h"
#include "platform/mail/message.h"
#include "platform/mail/process_mailboxes.h"
#include "platform/mail/server.h"
#include "platform/mail/store_mailboxes.h"
#include "platform/registry/registry.h"
#include "platform/store/store.h"

namespace korvane::lab {

namespace {

void logLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fprintf(stderr, "korvane-lab serve: %s\n", line.c_str());
  std::fflush(stderr);
}

void addServe(CLI::App& app) {
  struct Options {
    std::vector<std::string> smtp, lmtp;
    std::size_t maxSize = mail::Limits{}.maxMessageBytes;
    int idleSeconds = 300;
    std::size_t maxConnections = 50;
    std::string hostName;
    std::size_t processes = 4;
    std::string socketMode = "600", socketOwner;
  };
  auto o = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "serve", "Run the server's mail service in the foreground: SMTP and LMTP for the addresses of mail-enabled "
               "public folders (Ctrl-C stops it)");
  cmd->add_option("--smtp", o->smtp, "Listen for SMTP on HOST:PORT (PORT alone: loopback)");
  cmd->add_option("--lmtp", o->lmtp, "Listen for LMTP on HOST:PORT or unix:PATH");
  cmd->add_option("--max-size", o->maxSize, "Largest message in bytes (announced as SIZE)")
      ->check(CLI::Range(std::size_t{1}, mail::kLargestMessage));
  cmd->add_option("--idle-timeout", o->idleSeconds, "Seconds a client may stay silent (default 300)")
      ->check(CLI::Range(1, 86400));
  cmd->add_option("--max-connections", o->maxConnections, "Connections at once (default 50)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}));
  cmd->add_option("--processes", o->processes, "Processes that store messages side by side (default 4)")
      ->check(CLI::Range(1, 64));
  cmd->add_option("--hostname", o->hostName, "Name in the greeting (default: the server's host and domain)");
  cmd->add_option("--socket-mode", o->socketMode, "Permissions of unix: sockets, in octal (default 600: the owner only)")
      ->check([](const std::string& s) {
        return s.empty() || s.size() > 4 || s.find_first_not_of("01234567") != std::string::npos
                   ? std::string("an octal mode such as 600 or 660")
                   : std::string();
      });
  cmd->add_option("--socket-owner", o->socketOwner,
                  "Give unix: sockets to this local account, such as the mail server's (postfix); needs the superuser");
  cmd->callback([o] {
    if (o->smtp.empty() && o->lmtp.empty())
      throw ComError(E_INVALIDARG, u"Say where to listen: --smtp 127.0.0.1:2525 and/or --lmtp unix:PATH.");
    auto info = store::serverInfo();  // fails clearly when there is no server
    mail::ServerOptions options;
    for (const auto& a : o->smtp) options.listeners.push_back({mail::Protocol::Smtp, a});
    for (const auto& a : o->lmtp) options.listeners.push_back({mail::Protocol::Lmtp, a});
    options.limits.maxMessageBytes = o->maxSize;
    options.idleTimeout = std::chrono::seconds(o->idleSeconds);
    options.maxConnections = o->maxConnections;
    options.socketMode = static_cast<unsigned>(std::stoul(o->socketMode, nullptr, 8));
    options.socketOwner = o->socketOwner;
    options.hostName = o->hostName.empty() ? utf8(info.host) + (info.domain.empty() ? "" : "." + utf8(info.domain))
                                           : o->hostName;
    logLine("incoming mail is stored as " + utf8(mail::incomingMessageClass()));
    // Messages are stored by a few processes side by side; they log
    // without the lock, which a thread of this process may hold at a fork.
    options.sessionThreads = o->processes;
    mail::ProcessMailboxes mailboxes(
        o->processes,
        [] {
          return std::make_unique<mail::StoreMailboxes>([](const std::string& line) {
            std::string out = "korvane-lab serve: " + line + "\n";
            (void)!::write(STDERR_FILENO, out.data(), out.size());
          });
        },
        logLine);
    try {
      mail::serve(options, mailboxes, logLine);
    } catch (const std::runtime_error& e) {
      throw ComError(E_FAIL, text(e.what()));
    }
  });
}

void addShow(CLI::App& app) {
  struct Options {
    std::string item;
    bool raw = false;
  };
  auto o = std::make_shared<Options>();
  auto* cmd = app.add_subcommand("show", "Print an item's properties, or with --raw the message it was delivered from");
  cmd->add_option("ITEM", o->item, "Item path (Folder/Name.EML) or URL")->required();
  cmd->add_flag("--raw", o->raw, "Print the message exactly as received");
  cmd->callback([o] {
    auto item = store::findItem(text(o->item));
    if (!item) throw ComError(E_INVALIDARG, u"There is no item \"" + text(o->item) + u"\" (see korvane-lab items FOLDER).");
    const Variant* raw = item->properties.find(store::prop::rawMessage);
    if (o->raw) {
      if (!raw || !raw->isText())
        throw ComError(E_INVALIDARG, u"\"" + text(o->item) + u"\" did not arrive by mail; it has no message to print.");
      const std::string octets = mail::rawOctets(raw->textValue());
      std::fwrite(octets.data(), 1, octets.size(), stdout);
      return;
    }
    std::vector<std::vector<std::string>> rows{{"DAV:href", utf8(item->url)}};
    for (const auto& [name, value] : item->properties)
      rows.push_back({utf8(name), name == store::prop::rawMessage && value.isText()
                                      ? "(" + std::to_string(value.textValue().size()) + " bytes; see --raw)"
                                      : display(value)});
    printTable({"PROPERTY", "VALUE"}, rows);
  });
}

void addIncoming(CLI::App& app) {
  auto choice = std::make_shared<std::string>();
  auto* cmd = app.add_subcommand("incoming", "Show or set the class of mail arriving by SMTP/LMTP (the public "
                                             "store's value \"Incoming defaults to IPM.Note\")");
  cmd->add_option("CLASS", *choice, "IPM.Note or IPM.Post")->check(CLI::IsMember({"IPM.Note", "IPM.Post"}, CLI::ignore_case));
  cmd->callback([choice] {
    if (!choice->empty()) mail::setIncomingDefaultsToNote(equalsIgnoreCase(text(*choice), u"IPM.Note"));
    auto value = registry::getValue(registry::Root::LocalMachine, mail::publicStoreKey(), mail::kIncomingNoteValue);
    std::printf("Incoming mail is stored as %s (%s, value \"%s\" = %s)\n", utf8(mail::incomingMessageClass()).c_str(),
                utf8(registry::keyName(registry::Root::LocalMachine, mail::publicStoreKey())).c_str(),
                utf8(mail::kIncomingNoteValue).c_str(), value ? display(*value).c_str() : "not set");
  });
}

} // namespace

void addMailCommands(CLI::App& app) {
  addServe(app);
  addShow(app);
  addIncoming(app);
}

} // namespace korvane::lab
