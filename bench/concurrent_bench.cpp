// Sustained deliveries from one to four processes at once into one server,
// with the sink registered and without, measured side by side in one run:
// items per second over all processes, the sink's cost as a ratio, and the
// slowest single delivery (how long a sender waited at worst).
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "bench/bench_server.h"
#include "bench/registration.h"
#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"

namespace korvane::bench {

// Items per second by process count and folder kind, for the ratio table.
std::map<int, std::map<std::string, double>> itemsPerSecond;

namespace {

constexpr int kItemsPerProcess = 150;

// One server for the whole run: a plain folder and one the sink watches.
BenchServer& server() {
  static BenchServer* instance = [] {
    auto* s = new BenchServer();
    for (const char16_t* path : {u"Plain", u"Watched"}) {
      store::FolderSpec spec;
      spec.path = path;
      spec.mailAddress = Text(path) + u"@corp.example.com";
      store::createFolder(spec);
    }
    complus::Catalog().installApplication(u"Korvane", fromUtf8(KORVANE_SINK_PATH), u"", u"",
                                          Text(u"IPM.Note\r*\r65223"));
    registerSinkOn(store::publicRootUrl() + u"/Watched");
    return s;
  }();
  return *instance;
}

// Delivers kItemsPerProcess items in a child process; 0 when all succeeded
// and, in the watched folder, every class was rewritten. `slowest` is the
// longest single delivery, in seconds.
int deliverInChild(const std::filesystem::path& dir, TextView folder, int process, int round, double& slowest) {
  db::setServerDirectory(dir);  // a connection of its own, never the parent's
  for (int i = 0; i < kItemsPerProcess; ++i) {
    const auto start = std::chrono::steady_clock::now();
    store::Properties mail{
        {store::prop::subject, Variant(fromUtf8("r" + std::to_string(round) + "p" + std::to_string(process) + "i" +
                                                std::to_string(i)))},
        {store::prop::messageClass, Variant(u"IPM.Post")}};
    auto outcome = store::deliver(folder, mail);
    slowest = std::max(slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    bool expectRewrite = folder == u"Watched";
    if (outcome.aborted || outcome.messageClass != (expectRewrite ? u"IPM.Note" : u"IPM.Post")) return 3;
  }
  return 0;
}


void deliverConcurrently(benchmark::State& state, const char16_t* folder, const char* label) {
  auto& s = server();
  const int processes = static_cast<int>(state.range(0));
  static int round = 0;
  double totalSeconds = 0;
  double slowest = 0;
  for (auto _ : state) {
    db::Database::closeCurrent();  // no open connection may cross a fork
    auto start = std::chrono::steady_clock::now();
    std::vector<std::pair<pid_t, int>> children;  // and the pipe it reports its slowest delivery on
    for (int p = 0; p < processes; ++p) {
      int report[2];
      if (::pipe(report) != 0) {
        state.SkipWithError("pipe failed");
        return;
      }
      pid_t pid = ::fork();
      if (pid == 0) {
        ::close(report[0]);
        int rc = 4;
        double childSlowest = 0;
        try {
          rc = deliverInChild(s.dir(), folder, p, round, childSlowest);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "delivery failed: %s\n", e.what());
        }
        if (::write(report[1], &childSlowest, sizeof childSlowest) != sizeof childSlowest) rc = 5;
        ::_exit(rc);
      }
      ::close(report[1]);
      children.emplace_back(pid, report[0]);
    }
    bool ok = true;
    for (auto [pid, report] : children) {
      double childSlowest = 0;
      if (::read(report, &childSlowest, sizeof childSlowest) == sizeof childSlowest)
        slowest = std::max(slowest, childSlowest);
      ::close(report);
      int status = 0;
      ::waitpid(pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    totalSeconds += seconds;
    ++round;
    if (!ok) {
      state.SkipWithError("a delivery process failed");
      return;
    }
  }
  const auto items = state.iterations() * processes * kItemsPerProcess;
  state.SetItemsProcessed(items);
  state.counters["slowestMs"] = slowest * 1000;
  if (totalSeconds > 0) itemsPerSecond[processes][label] = static_cast<double>(items) / totalSeconds;
}

void BM_Concurrent_Plain(benchmark::State& state) { deliverConcurrently(state, u"Plain", "plain"); }
void BM_Concurrent_Sink(benchmark::State& state) { deliverConcurrently(state, u"Watched", "sink"); }

BENCHMARK(BM_Concurrent_Plain)->DenseRange(1, 4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Concurrent_Sink)->DenseRange(1, 4)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace korvane::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nprocesses  plain items/s  sink items/s  plain/sink (cost of the sink)\n");
  for (const auto& [processes, rates] : korvane::bench::itemsPerSecond) {
    auto plain = rates.find("plain"), sink = rates.find("sink");
    if (plain == rates.end() || sink == rates.end()) continue;
    std::printf("%9d  %13.0f  %12.0f  %.2fx\n", processes, plain->second, sink->second, plain->second / sink->second);
  }
  return 0;
}
