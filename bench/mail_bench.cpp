// Mail through `korvane-lab serve`, sent by a load generator we did not
// write (Postfix's smtp-source): 1 and 4 sessions into a plain folder and
// one the sink watches, messages per second. Then, in the same run,
// concurrent_bench delivers as many items in-process from 1 and 4
// processes, and the table compares the two. Its items hold two short
// properties; a received message holds ten, the message itself among them,
// so the table also shows in-process deliveries of the items that
// smtp-source's messages become, parsed as the service parses them. Last,
// 4 sessions with the sink and concurrent_bench's 4 processes by turns.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "bench/bench_server.h"
#include "bench/registration.h"
#include "platform/complus/admin.h"
#include "platform/mail/message.h"
#include "platform/store/store.h"

extern char** environ;

namespace korvane::bench {
namespace {

constexpr int kMessagesPerSession = 150;  // as concurrent_bench's items per process

// Messages per second by session count and folder kind: through the
// service, and delivered in-process as the items they become.
std::map<int, std::map<std::string, double>> messagesPerSecond, mailItemsPerSecond;

pid_t spawn(const std::vector<std::string>& args, const std::string& errFile = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The server with one plain and one watched folder per session count, so
// that every case starts with an empty folder, and the service on it.
class MailBench {
public:
  MailBench() {
    complus::Catalog().installApplication(u"Korvane", fromUtf8(KORVANE_SINK_PATH), u"", u"", Text(u"IPM.Note\r*\r65223"));
    for (int sessions : {1, 4})
      for (const char* kind : {"plain", "watched", "item-plain", "item-watched"}) {
        store::FolderSpec spec;
        spec.path = folder(kind, sessions);
        spec.mailAddress = spec.path + u"@corp.example.com";
        store::createFolder(spec);
        if (std::string(kind).ends_with("watched")) registerSinkOn(store::publicRootUrl() + u"/" + spec.path);
      }
    db::Database::closeCurrent();
    const std::string log = (server_.dir() / "serve.err").string();
    service_ = spawn({KORVANE_LAB_PATH, "--server", server_.dir().string(), "serve", "--smtp", "127.0.0.1:0"}, log);
    const std::regex listening("listening for SMTP on (127\\.0\\.0\\.1:\\d+)");
    for (int i = 0; i < 200 && address_.empty(); ++i) {
      std::ifstream in(log);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      if (std::smatch m; std::regex_search(text, m, listening)) address_ = m[1];
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~MailBench() {
    if (service_ > 0) {
      ::kill(service_, SIGTERM);
      waitFor(service_);
    }
  }

  static Text folder(std::string_view kind, int sessions) {
    return fromUtf8(std::string(kind.starts_with("item") ? "Item" : "") +
                    (kind.ends_with("plain") ? "Plain" : "Watched") + std::to_string(sessions));
  }
  const std::string& address() const { return address_; }
  const std::filesystem::path& dir() const { return server_.dir(); }

private:
  BenchServer server_;
  pid_t service_ = -1;
  std::string address_;
};

MailBench* instance = nullptr;  // made by the first case, ended before the in-process run

MailBench& bench() {
  if (!instance) instance = new MailBench();
  return *instance;
}

// Messages in the folder, and whether the newest has the class expected.
std::pair<std::size_t, bool> folderState(TextView folder, TextView expectedClass) {
  auto items = store::listItems(folder);
  std::erase_if(items, [](const auto& i) { return i.name == u"Korvane.reg"; });
  db::Database::closeCurrent();
  return {items.size(), items.empty() || items.back().properties.text(store::prop::messageClass) == expectedClass};
}

// One round of smtp-source into the folder of `kind`: its seconds; -1 when
// smtp-source failed, 0 when not every message was stored as expected.
double smtpRound(int sessions, const char* kind) {
  auto& b = bench();
  const int messages = sessions * kMessagesPerSession;
  const Text folder = MailBench::folder(kind, sessions);
  const Text expectedClass = std::string(kind) == "watched" ? u"IPM.Note" : u"IPM.Post";
  const auto before = folderState(folder, expectedClass).first;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = spawn({"smtp-source", "-s", std::to_string(sessions), "-m", std::to_string(messages), "-l", "1024",
                           "-d", "-f", "bench@example.com", "-t", toUtf8(folder) + "@corp.example.com", b.address()});
  if (pid < 0 || waitFor(pid) != 0) return -1;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto [after, rightClass] = folderState(folder, expectedClass);
  return after == before + static_cast<std::size_t>(messages) && rightClass ? elapsed : 0;
}

void sendWithSmtpSource(benchmark::State& state, const char* kind) {
  const int sessions = static_cast<int>(state.range(0));
  const int messages = sessions * kMessagesPerSession;
  if (bench().address().empty()) return state.SkipWithError("the mail service did not start");
  double seconds = 0;
  for (auto _ : state) {
    const double elapsed = smtpRound(sessions, kind);
    if (elapsed <= 0) return state.SkipWithError(elapsed < 0 ? "smtp-source failed (is postfix installed?)"
                                                              : "not every message was stored with the expected class");
    state.SetIterationTime(elapsed);
    seconds += elapsed;
  }
  const auto total = state.iterations() * messages;
  state.SetItemsProcessed(total);
  if (seconds > 0) messagesPerSecond[sessions][kind] = static_cast<double>(total) / seconds;
}

// What smtp-source sends with -l 1024, as the service receives it.
std::string sampleMessage(const Text& folder) {
  std::string m = "From: <bench@example.com>\r\nTo: <" + toUtf8(folder) +
                  "@corp.example.com>\r\nDate: Mon,  7 Dec 2026 18:36:05 +0000 (UTC)\r\n"
                  "Message-Id: <49eb.0003.0000@vm>\r\n\r\n";
  for (int line = 1; line <= 13; ++line) m += std::to_string(line % 10) + std::string(77, 'X') + "\r\n";
  return m;
}

// The same number of messages as smtp-source sends, delivered in-process
// from as many processes as it has sessions, each parsing its messages.
void deliverMailItems(benchmark::State& state, const char* kind) {
  auto& b = bench();
  const int processes = static_cast<int>(state.range(0));
  const Text folder = MailBench::folder(kind, processes);
  const std::string message = sampleMessage(folder);
  const Text expectedClass = std::string(kind).ends_with("watched") ? u"IPM.Note" : u"IPM.Post";
  double seconds = 0;
  for (auto _ : state) {
    db::Database::closeCurrent();  // no open connection may cross a fork
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        int rc = 0;
        try {
          db::setServerDirectory(b.dir());
          for (int i = 0; i < kMessagesPerSession && rc == 0; ++i) {
            auto outcome = store::deliver(folder, mail::itemProperties(message, "bench@example.com", u"IPM.Post"));
            if (outcome.aborted || outcome.messageClass != expectedClass) rc = 3;
          }
        } catch (const std::exception&) {
          rc = 4;
        }
        ::_exit(rc);
      }
      children.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : children) ok = waitFor(pid) == 0 && ok;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (!ok) return state.SkipWithError("an in-process delivery failed");
  }
  const auto total = state.iterations() * processes * kMessagesPerSession;
  state.SetItemsProcessed(total);
  if (seconds > 0) mailItemsPerSecond[processes][std::string(kind).substr(5)] = static_cast<double>(total) / seconds;
}

void BM_SmtpSource_Plain(benchmark::State& state) { sendWithSmtpSource(state, "plain"); }
void BM_SmtpSource_Sink(benchmark::State& state) { sendWithSmtpSource(state, "watched"); }

BENCHMARK(BM_SmtpSource_Plain)->Arg(1)->Arg(4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmtpSource_Sink)->Arg(1)->Arg(4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_MailItems_Plain(benchmark::State& state) { deliverMailItems(state, "item-plain"); }
void BM_MailItems_Sink(benchmark::State& state) { deliverMailItems(state, "item-watched"); }

BENCHMARK(BM_MailItems_Plain)->Arg(1)->Arg(4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MailItems_Sink)->Arg(1)->Arg(4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

// concurrent_bench's items per second for 1 and 4 processes, run now, of the
// cases that `filter` names.
std::map<std::pair<int, std::string>, double> inProcessRates(const std::string& filter = "BM_Concurrent_(Plain|Sink)/(1|4)/") {
  const std::string out = (std::filesystem::temp_directory_path() / ("korvane-mail-bench-" + std::to_string(::getpid()) + ".json")).string();
  const pid_t pid = spawn({KORVANE_CONCURRENT_BENCH_PATH, "--benchmark_filter=" + filter,
                           "--benchmark_out=" + out, "--benchmark_out_format=json"});
  std::map<std::pair<int, std::string>, double> rates;
  if (pid < 0 || waitFor(pid) != 0) return rates;
  std::ifstream in(out);
  const auto json = nlohmann::json::parse(in, nullptr, false);
  std::filesystem::remove(out);
  if (json.is_discarded()) return rates;
  const std::regex name("BM_Concurrent_(Plain|Sink)/(\\d+).*");
  for (const auto& b : json["benchmarks"]) {
    std::smatch m;
    const std::string n = b["name"];
    if (std::regex_match(n, m, name) && b.contains("items_per_second"))
      rates[{std::stoi(m[2]), m[1] == "Plain" ? "plain" : "watched"}] = b["items_per_second"];
  }
  return rates;
}

// Rounds of 4 sessions into the watched folder and of concurrent_bench's
// 4 processes into its own, by turns: the machine's drift (other tenants,
// the disk) moves both alike, so the ratio of each pair is steadier than
// that of two rates taken a minute apart. concurrent_bench's 1-process case
// runs first only to start its host, as for the table below.
std::vector<std::pair<double, double>> byTurns;  // (smtp msgs/s, in-process items/s) per round

void BM_ByTurns_Sink(benchmark::State& state) {
  if (bench().address().empty()) return state.SkipWithError("the mail service did not start");
  const int sessions = 4;
  for (auto _ : state) {
    const double elapsed = smtpRound(sessions, "watched");
    if (elapsed <= 0) return state.SkipWithError("an smtp-source round failed");
    state.SetIterationTime(elapsed);
    const double local = inProcessRates("BM_Concurrent_Sink/(1|4)/")[{sessions, "watched"}];
    if (local <= 0) return state.SkipWithError("concurrent_bench failed");
    byTurns.emplace_back(sessions * kMessagesPerSession / elapsed, local);
  }
  std::vector<double> ratios;
  for (const auto& [smtp, local] : byTurns) ratios.push_back(smtp / local);
  std::sort(ratios.begin(), ratios.end());
  state.counters["medianRatio"] = ratios[ratios.size() / 2];
}
BENCHMARK(BM_ByTurns_Sink)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace korvane::bench

int main(int argc, char** argv) {
  using namespace korvane::bench;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete instance;  // stops the service before the in-process run
  const auto inProcess = inProcessRates();
  std::printf("\nsessions  folder   smtp-source msgs/s  in-process items/s  smtp/in-process  in-process mail items/s  "
              "smtp/mail items\n");
  for (const auto& [sessions, rates] : messagesPerSecond)
    for (const auto& [kind, rate] : rates) {
      auto it = inProcess.find({sessions, kind});
      const double local = it == inProcess.end() ? 0 : it->second;
      const double items = mailItemsPerSecond[sessions][kind];
      std::printf("%8d  %-7s  %18.0f  %18.0f  %14.2fx  %23.0f  %14.2fx\n", sessions, kind.c_str(), rate, local,
                  local > 0 ? rate / local : 0, items, items > 0 ? rate / items : 0);
    }
  if (!byTurns.empty()) std::printf("\nBy turns, 4 sessions / 4 processes, sink:\nround  smtp-source msgs/s  in-process items/s  smtp/in-process\n");
  for (std::size_t i = 0; i < byTurns.size(); ++i)
    std::printf("%5zu  %18.0f  %18.0f  %14.2fx\n", i + 1, byTurns[i].first, byTurns[i].second,
                byTurns[i].first / byTurns[i].second);
  return 0;
}
