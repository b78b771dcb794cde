// Deliveries per second into one folder: without any registration, with the
// real sink registered on the folder and the default mapping, and with the
// sink configured with N pairs of which none matches. All cases run in one
// program, so the sink's overhead is read as a ratio measured on one run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/bench_server.h"
#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"

namespace korvane::bench {
namespace {

namespace prop = store::prop;

constexpr char16_t kFolder[] = u"Sales";
constexpr char16_t kDeliveredClass[] = u"IPM.Post";
const Text kDefaultMapping = u"IPM.Note\r*\r65223";

void setField(ado::IFields* fields, TextView name, const Variant& value) {
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(name), field.put()));
  check(field->put_Value(value));
}

// The registration item as the setup writes it: created through a Record on
// the folder, with its seven properties.
void registerSinkOn(const Text& folderUrl) {
  auto connection = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(connection->put_Provider(u"ExOLEDB.DataSource"));
  check(connection->Open(folderUrl, u"", u"", ado::adOpenUnspecified));
  auto record = createInstance<ado::IRecord>(u"ADODB.Record");
  check(record->Open(Variant(folderUrl + u"/Korvane.reg"), Variant(ComPtr<IUnknown>(connection)),
                     ado::adModeReadWrite, ado::adCreateOverwrite, ado::adDelayFetchFields, u"", u""));
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  setField(fields.get(), prop::contentClass, Variant(store::contentclass::registration));
  setField(fields.get(), prop::eventMethod, Variant(u"onsyncsave"));
  setField(fields.get(), prop::sinkClass, Variant(u"Korvane.KorvaneCls"));
  setField(fields.get(), prop::matchScope, Variant(u"SHALLOW"));
  setField(fields.get(), prop::criteria, Variant(u" WHERE \"DAV:ishidden\" = FALSE"));
  setField(fields.get(), prop::priority, Variant(u"65223"));
  setField(fields.get(), prop::isHidden, Variant(true));
  check(fields->Update());
  check(record->Close());
}

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

// A fresh server with the folder; the sink is installed and registered
// when a constructor string is given.
struct DeliveryTarget {
  explicit DeliveryTarget(const std::optional<Text>& constructorString) {
    store::FolderSpec spec;
    spec.path = kFolder;
    spec.mailAddress = u"sales@corp.example.com";
    Text url = store::createFolder(spec).url;
    if (constructorString) {
      complus::Catalog().installApplication(u"Korvane", fromUtf8(KORVANE_SINK_PATH), u"", u"", constructorString);
      registerSinkOn(url);
    }
  }
  BenchServer server;  // first member: created before the folder, removed last
};

// Runs deliveries until the library says the time is measured; each has its
// own subject, so no name numbering is involved. Checks the sink's outcome
// once so that a broken set-up cannot pass for a fast one.
void runDeliveries(benchmark::State& state, const std::optional<Text>& ctor, TextView expectedClass) {
  DeliveryTarget target(ctor);
  std::int64_t n = 0;
  for (auto _ : state) {
    store::Properties mail{{prop::subject, Variant(u"Order " + fromUtf8(std::to_string(++n)))},
                           {prop::messageClass, Variant(kDeliveredClass)}};
    auto outcome = store::deliver(kFolder, mail);
    if (n == 1 && outcome.messageClass != expectedClass) {
      state.SkipWithError(("the delivered item has class " + toUtf8(outcome.messageClass) + ", expected " +
                           toUtf8(expectedClass)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Deliver_NoRegistration(benchmark::State& state) { runDeliveries(state, std::nullopt, kDeliveredClass); }

void BM_Deliver_SinkDefaultMapping(benchmark::State& state) {
  runDeliveries(state, kDefaultMapping, u"IPM.Note");
}

void BM_Deliver_SinkNonMatchingPairs(benchmark::State& state) {
  runDeliveries(state, nonMatchingPairs(static_cast<int>(state.range(0))), kDeliveredClass);
  state.counters["pairs"] = static_cast<double>(state.range(0));
}

// Wall-clock rates: a delivery's commit waits for the disk, and that wait is
// part of what a sender sees. The CPU time is reported beside it.
BENCHMARK(BM_Deliver_NoRegistration)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Deliver_SinkDefaultMapping)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Deliver_SinkNonMatchingPairs)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Arg(50)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(200);

// Keeps every run's times per delivery, in run order, for the ratios printed
// at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
  struct Times {
    std::string name;
    double real = 0;  // per delivery, in the run's unit
    double cpu = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (!run.error_occurred && run.iterations > 0)
        times.push_back({run.benchmark_name(), run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()});
    ConsoleReporter::ReportRuns(runs);
  }
  const Times* find(std::string_view prefix) const {
    for (const Times& t : times)
      if (t.name.starts_with(prefix)) return &t;
    return nullptr;
  }
  std::vector<Times> times;
};

void printRatios(const RatioReporter& reporter) {
  const auto* plain = reporter.find("BM_Deliver_NoRegistration");
  if (!plain || plain->real <= 0 || plain->cpu <= 0) return;
  std::printf("\nTime per delivery relative to a plain delivery (wall clock, CPU):\n");
  for (const auto& t : reporter.times)
    std::printf("  %-44s %6.2fx %6.2fx\n", t.name.c_str(), t.real / plain->real, t.cpu / plain->cpu);
  if (const auto* sink = reporter.find("BM_Deliver_SinkDefaultMapping"))
    std::printf("Sink with the default mapping / plain delivery: %.2fx wall clock, %.2fx CPU (target: at most 1.50x)\n",
                sink->real / plain->real, sink->cpu / plain->cpu);
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
