// The real main window (offscreen platform) refreshing its folder list, from
// the click on "Refresh" until the list is filled, sorted and shown, beside
// the enumeration GetPublicFolders alone in the same iteration, on the
// 340- and 11,110-folder trees of enumeration_bench and on a store of 6,000
// first-level folders. The window should stay within 1.3x of the
// enumeration alone, at the same cost per folder at every size.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPushButton>
#include <QTreeWidget>

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "bench/folder_tree.h"
#include "platform/com/runtime.h"
#include "setup/discovery/discovery.h"
#include "setup/folders/enumeration.h"
#include "setup/qt/install_window.h"

namespace korvane::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Wall clock and the process's CPU time: on a shared machine the CPU time
// is the steadier figure.
struct Stopwatch {
  Clock::time_point wall = Clock::now();
  std::clock_t cpu = std::clock();
  double wallSeconds() const { return std::chrono::duration<double>(Clock::now() - wall).count(); }
  double cpuSeconds() const { return static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

std::map<std::string, std::unique_ptr<TreeServer>> trees;

TreeServer& treeServer(const std::string& name, std::vector<int> fanOuts) {
  auto& tree = trees[name];
  if (!tree)
    tree = std::make_unique<TreeServer>(std::move(fanOuts));
  else
    tree->makeCurrent();
  return *tree;
}

// The window after the administrator's "Yes": loaded, shown, first refresh done.
std::unique_ptr<setup::qt::InstallWindow> openWindow() {
  auto window = std::make_unique<setup::qt::InstallWindow>(QString(), [](int) {});
  if (!window->load()) return nullptr;
  window->show();
  while (!window->activated()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  return window;
}

void refreshBeside(benchmark::State& state, TreeServer& tree) {
  setup::InstallForm alone;
  setup::runDiscovery(alone);
  auto window = openWindow();
  if (!window) return state.SkipWithError("the window did not load");
  QPushButton* refresh = window->controls().Command1;
  double enumeration = 0, windowRefresh = 0, enumerationCpu = 0, windowCpu = 0;
  for (auto _ : state) {
    Stopwatch alonesWatch;
    setup::GetPublicFolders(alone);
    enumeration += alonesWatch.wallSeconds();
    enumerationCpu += alonesWatch.cpuSeconds();
    Stopwatch windowsWatch;
    refresh->click();
    windowRefresh += windowsWatch.wallSeconds();
    windowCpu += windowsWatch.cpuSeconds();
    state.SetIterationTime(windowsWatch.wallSeconds());
  }
  const int rows = window->controls().ListView1->topLevelItemCount();
  if (rows != tree.folders || alone.ui.ListView1.rows.size() != static_cast<std::size_t>(tree.folders))
    return state.SkipWithError(("the window lists " + std::to_string(rows) + " folders, expected " +
                                std::to_string(tree.folders))
                                   .c_str());
  const double n = static_cast<double>(state.iterations());
  state.counters["folders"] = tree.folders;
  state.counters["enumerationMs"] = enumeration / n * 1e3;
  state.counters["windowMs"] = windowRefresh / n * 1e3;
  state.counters["enumerationUsPerFolder"] = enumeration / n / tree.folders * 1e6;
  state.counters["windowUsPerFolder"] = windowRefresh / n / tree.folders * 1e6;
  state.counters["windowOverEnumeration"] = windowRefresh / enumeration;
  state.counters["windowOverEnumerationCpu"] = windowCpu / enumerationCpu;
}

void BM_WindowRefresh_Tree4(benchmark::State& state) { refreshBeside(state, treeServer("4x4x4x4", {4, 4, 4, 4})); }
void BM_WindowRefresh_Tree10(benchmark::State& state) {
  refreshBeside(state, treeServer("10x10x10x10", {10, 10, 10, 10}));
}
void BM_WindowRefresh_Flat6000(benchmark::State& state) { refreshBeside(state, treeServer("6000", {6000})); }

BENCHMARK(BM_WindowRefresh_Tree4)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_WindowRefresh_Tree10)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
BENCHMARK(BM_WindowRefresh_Flat6000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

} // namespace
} // namespace korvane::bench

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  korvane::bench::trees.clear();
  return 0;
}
