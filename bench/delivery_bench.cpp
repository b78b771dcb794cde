// Deliveries per second into one folder: without any registration, with the
// real sink registered on the folder and the default mapping (in a server
// application, the default, and in a library application), and with the
// sink configured with N pairs of which none matches; and plain and sink
// deliveries alternating in one server, with the round trips to the host,
// and what one round trip costs. All cases run in one program, so the
// sink's overhead is read as a ratio measured on one run; and deliveries
// into a folder that already holds many items.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/bench_server.h"
#include "bench/registration.h"
#include "bench/sqlite_counter.h"
#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/complus/host.h"
#include "platform/db/database.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"

namespace korvane::bench {
namespace {

namespace prop = store::prop;

constexpr char16_t kFolder[] = u"Sales";
constexpr char16_t kDeliveredClass[] = u"IPM.Post";
const Text kDefaultMapping = u"IPM.Note\r*\r65223";

// Line 1: n new classes; line 2: n patterns none of which matches the
// delivered class; line 3: the priority.
Text nonMatchingPairs(int n) {
  Text classes, patterns;
  for (int i = 1; i <= n; ++i) {
    Text number = fromUtf8(std::to_string(i));
    if (i > 1) {
      classes += u'\t';
      patterns += u'\t';
    }
    classes += u"IPM.Note.Mapped" + number;
    patterns += u"IPM.Fax.Other" + number + u"*";
  }
  return classes + u"\r" + patterns + u"\r65223";
}

Text createMailFolder(TextView path) {
  store::FolderSpec spec;
  spec.path = Text(path);
  spec.mailAddress = toLowerSimple(path) + u"@corp.example.com";
  return store::createFolder(spec).url;
}

enum class Activation { Server, Library };

void installSink(const Text& constructorString, Activation activation = Activation::Server) {
  complus::Catalog catalog;
  auto app = catalog.installApplication(u"Korvane", fromUtf8(KORVANE_SINK_PATH), u"", u"", constructorString);
  if (activation == Activation::Library) catalog.setServerApplication(app.id, false);
}

// Saves `count` items into the folder in one transaction (one disk flush),
// named "Held N.EML", or as deliveries without a subject are named
// ("Message.EML", "Message-2.EML", ...).
void fillFolder(TextView folder, std::int64_t count, bool numbered = false) {
  db::Transaction tx(db::Database::current());
  for (std::int64_t i = 1; i <= count; ++i) {
    const Text name = numbered ? (i == 1 ? Text(u"Message") : u"Message-" + fromUtf8(std::to_string(i)))
                               : u"Held " + fromUtf8(std::to_string(i));
    store::save(folder, name + u".EML", {{prop::messageClass, Variant(u"IPM.Note")}});
  }
  tx.commit();
}

// A fresh server with the folder, holding `heldItems` items; the sink is
// installed and registered when a constructor string is given.
struct DeliveryTarget {
  explicit DeliveryTarget(const std::optional<Text>& constructorString, std::int64_t heldItems = 0,
                          Activation activation = Activation::Server, bool numbered = false) {
    Text url = createMailFolder(kFolder);
    fillFolder(kFolder, heldItems, numbered);
    if (constructorString) {
      installSink(*constructorString, activation);
      registerSinkOn(url);
    }
  }
  BenchServer server;  // first member: created before the folder, removed last
};

// Each delivery has its own subject, so no name numbering is involved;
// without one, every delivery is "Message-N.EML", as mail without a subject.
store::SaveOutcome deliverOne(TextView folder, std::int64_t n, bool subject = true) {
  store::Properties mail{{prop::messageClass, Variant(kDeliveredClass)}};
  if (subject) mail.set(prop::subject, Variant(u"Order " + fromUtf8(std::to_string(n))));
  return store::deliver(folder, mail);
}

void skipUnlessClass(benchmark::State& state, const store::SaveOutcome& outcome, TextView expected) {
  if (outcome.messageClass != expected)
    state.SkipWithError(("the delivered item has class " + toUtf8(outcome.messageClass) + ", expected " +
                         toUtf8(expected)).c_str());
}

// Runs deliveries until the library says the time is measured. Checks the
// sink's outcome once so that a broken set-up cannot pass for a fast one.
void runDeliveries(benchmark::State& state, const char* label, const std::optional<Text>& ctor,
                   TextView expectedClass, std::int64_t heldItems = 0, Activation activation = Activation::Server,
                   bool numbered = false) {
  DeliveryTarget target(ctor, heldItems, activation, numbered);
  const auto trips = complus::host::roundTrips();
  const SqliteCounts before = sqliteCounts();
  resetSqlHistogram();
  std::int64_t n = 0;
  for (auto _ : state) {
    auto outcome = deliverOne(kFolder, ++n, !numbered);
    if (n == 1) {
      skipUnlessClass(state, outcome, expectedClass);
      if (state.error_occurred()) break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  const double deliveries = static_cast<double>(state.iterations());
  state.counters["sqlRuns/delivery"] = static_cast<double>(sqliteCounts().runs - before.runs) / deliveries;
  state.counters["sqlSteps/delivery"] = static_cast<double>(sqliteCounts().steps - before.steps) / deliveries;
  state.counters["roundTrips/delivery"] = static_cast<double>(complus::host::roundTrips() - trips) / deliveries;
  printSqlHistogram(deliveries, label);
}

void BM_Deliver_NoRegistration(benchmark::State& state) {
  runDeliveries(state, "plain delivery", std::nullopt, kDeliveredClass);
}

void BM_Deliver_SinkDefaultMapping(benchmark::State& state) {
  runDeliveries(state, "delivery, sink with the default mapping", kDefaultMapping, u"IPM.Note");
}

void BM_Deliver_SinkLibraryApplication(benchmark::State& state) {
  runDeliveries(state, "delivery, sink in a library application", kDefaultMapping, u"IPM.Note", 0,
                Activation::Library);
}

void BM_Deliver_SinkNonMatchingPairs(benchmark::State& state) {
  runDeliveries(state, "delivery, sink with non-matching pairs", nonMatchingPairs(static_cast<int>(state.range(0))),
                kDeliveredClass);
  state.counters["pairs"] = static_cast<double>(state.range(0));
}

// A delivery must cost the same whatever its folder already holds.
void BM_Deliver_SinkIntoFolderHolding(benchmark::State& state) {
  runDeliveries(state, "delivery, sink with the default mapping, into a full folder", kDefaultMapping, u"IPM.Note",
                state.range(0));
  state.counters["heldItems"] = static_cast<double>(state.range(0));
}

// Wall-clock rates: a delivery's commit waits for the disk, and that wait is
// part of what a sender sees. The CPU time is reported beside it.
BENCHMARK(BM_Deliver_NoRegistration)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Deliver_SinkDefaultMapping)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Deliver_SinkLibraryApplication)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Deliver_SinkNonMatchingPairs)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Arg(50)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(200);
BENCHMARK(BM_Deliver_SinkIntoFolderHolding)->Unit(benchmark::kMicrosecond)->UseRealTime()->Arg(1000)->Arg(20000);

// The same with every item numbered after one name, as mail without a
// subject: a new number must not cost a look at every name before it.
void BM_Deliver_SinkNumberedAfter(benchmark::State& state) {
  runDeliveries(state, "delivery, sink, numbered after as many names", kDefaultMapping, u"IPM.Note", state.range(0),
                Activation::Server, true);
  state.counters["heldItems"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_Deliver_SinkNumberedAfter)->Unit(benchmark::kMicrosecond)->UseRealTime()->Arg(1000)->Arg(20000);

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Plain and sink deliveries alternated in one server: folder "Plain" has no
// registration, "Sales" the sink with the default mapping, in a server
// application (argument 0) or a library application (1). Both halves see
// the same disk and the same load, so their ratio is the steadiest figure
// on a shared machine. One iteration is one delivery of each kind.
void BM_Deliver_PlainAndSinkAlternating(benchmark::State& state) {
  BenchServer server;
  createMailFolder(u"Plain");
  installSink(kDefaultMapping, state.range(0) == 0 ? Activation::Server : Activation::Library);
  registerSinkOn(createMailFolder(kFolder));
  using Clock = std::chrono::steady_clock;
  Clock::duration wall[2]{};
  double cpu[2]{};
  std::int64_t n = 0;
  const auto trips = complus::host::roundTrips();
  for (auto _ : state) {
    for (int kind = 0; kind < 2; ++kind) {
      const auto start = Clock::now();
      const double cpuStart = threadCpuSeconds();
      auto outcome = deliverOne(kind == 0 ? u"Plain" : kFolder, ++n);
      cpu[kind] += threadCpuSeconds() - cpuStart;
      wall[kind] += Clock::now() - start;
      if (n <= 2) skipUnlessClass(state, outcome, kind == 0 ? TextView(kDeliveredClass) : TextView(u"IPM.Note"));
    }
    if (state.error_occurred()) break;
  }
  const double count = static_cast<double>(state.iterations());
  auto micros = [&](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count() / count; };
  state.SetLabel(state.range(0) == 0 ? "server application" : "library application");
  state.counters["plainUs"] = micros(wall[0]);
  state.counters["sinkUs"] = micros(wall[1]);
  state.counters["plainCpuUs"] = cpu[0] * 1e6 / count;
  state.counters["sinkCpuUs"] = cpu[1] * 1e6 / count;
  state.counters["wallRatio"] = micros(wall[1]) / micros(wall[0]);
  state.counters["cpuRatio"] = cpu[1] / cpu[0];
  state.counters["roundTrips/delivery"] = static_cast<double>(complus::host::roundTrips() - trips) / count;
}
BENCHMARK(BM_Deliver_PlainAndSinkAlternating)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0)->Arg(0)->Arg(1);

// One round trip to the host and back, as the creation of a sink object in
// a server application costs it (the object is let go at once; its release
// travels with the next request). Library application for comparison.
void BM_HostRoundTrip_CreateSink(benchmark::State& state) {
  BenchServer server;
  installSink(kDefaultMapping, state.range(0) == 0 ? Activation::Server : Activation::Library);
  const auto trips = complus::host::roundTrips();
  for (auto _ : state) benchmark::DoNotOptimize(createInstance<IUnknown>(u"Korvane.KorvaneCls"));
  state.SetLabel(state.range(0) == 0 ? "server application" : "library application");
  state.counters["roundTrips"] =
      static_cast<double>(complus::host::roundTrips() - trips) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HostRoundTrip_CreateSink)->Unit(benchmark::kMicrosecond)->UseRealTime()->Arg(0)->Arg(1);

// Keeps every run's times per delivery, in run order, for the ratios printed
// at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
  struct Times {
    std::string name;
    double real = 0;  // per delivery, in the run's unit
    double cpu = 0;
    double roundTrips = 0;  // alternating: to the host, per sink delivery
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      if (auto it = run.counters.find("wallRatio"); it != run.counters.end()) {
        alternating.push_back({run.benchmark_name() + " (" + run.report_label + ")", it->second.value,
                               run.counters.at("cpuRatio").value, run.counters.at("roundTrips/delivery").value});
        continue;
      }
      times.push_back({run.benchmark_name(), run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()});
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const Times* find(std::string_view prefix) const {
    for (const Times& t : times)
      if (t.name.starts_with(prefix)) return &t;
    return nullptr;
  }
  std::vector<Times> times;
  std::vector<Times> alternating;  // their ratios, not times
};

void printRatios(const RatioReporter& reporter) {
  const auto* plain = reporter.find("BM_Deliver_NoRegistration");
  if (plain && plain->real > 0 && plain->cpu > 0) {
    std::printf("\nTime per delivery relative to a plain delivery, separate runs (wall clock, CPU):\n");
    for (const auto& t : reporter.times)
      if (t.name.starts_with("BM_Deliver"))
        std::printf("  %-44s %6.2fx %6.2fx\n", t.name.c_str(), t.real / plain->real, t.cpu / plain->cpu);
  }
  for (const auto& a : reporter.alternating)
    std::printf("Sink / plain delivery, alternating in one server, %s: %.2fx wall clock, %.2fx CPU (target for "
                "the server application: at most 1.50x); %.1f round trips per sink delivery\n",
                a.name.c_str(), a.real, a.cpu, a.roundTrips);
  const auto* hosted = reporter.find("BM_HostRoundTrip_CreateSink/0");
  const auto* local = reporter.find("BM_HostRoundTrip_CreateSink/1");
  if (hosted && local)
    std::printf("Creating the sink: %.1f us in a server application (one round trip), %.1f us in a library "
                "application\n",
                hosted->real, local->real);
}

} // namespace
} // namespace korvane::bench

// Prints the console table (colours on a terminal only); for JSON use
// --benchmark_out=FILE --benchmark_out_format=json.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  korvane::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  korvane::bench::printRatios(reporter);
  return 0;
}
