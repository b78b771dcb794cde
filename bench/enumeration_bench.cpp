// The setup's folder enumeration (GetPublicFolders) over a generated public
// folder tree of 10 x 10 x 10 x 10 mail-enabled folders (11,110 folders,
// 10,000 of them at depth 4; also 4 x 4 x 4 x 4 for comparison): time per full enumeration, store operations
// and SQL statements per folder, and peak memory. A second benchmark
// measures what creating one folder costs as its own store save, a third
// what the mail service's look-up of a recipient costs in the large tree.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "bench/folder_tree.h"
#include "bench/setup_call_counter.h"
#include "bench/sqlite_counter.h"
#include "platform/mail/store_mailboxes.h"
#include "platform/store/store.h"
#include "setup/discovery/discovery.h"
#include "setup/folders/enumeration.h"

namespace korvane::bench {
namespace {

constexpr int kDepth = 4;

// Each tree is made on first use and kept for the program; main() removes
// them while the runtime is still up. Other benchmarks switch servers, so
// each use makes the tree's server current again.
std::map<int, std::unique_ptr<TreeServer>> trees;

TreeServer& treeServer(int fanOut) {
  auto& tree = trees[fanOut];
  if (!tree)
    tree = std::make_unique<TreeServer>(std::vector<int>(kDepth, fanOut));
  else
    tree->makeCurrent();
  return *tree;
}

void BM_GetPublicFolders(benchmark::State& state) {
  TreeServer& tree = treeServer(static_cast<int>(state.range(0)));
  setup::InstallForm form;
  setup::runDiscovery(form);
  const long rssBefore = peakRssKiB();
  const SqliteCounts sqlBefore = sqliteCounts();
  const SetupCallCounts callsBefore = setupCallCounts();
  resetSqlHistogram();
  std::size_t rows = 0;
  for (auto _ : state) {
    setup::GetPublicFolders(form);
    rows = form.ui.ListView1.rows.size();
  }
  if (rows != static_cast<std::size_t>(tree.folders)) {
    state.SkipWithError(("the list has " + std::to_string(rows) + " rows, expected " +
                         std::to_string(tree.folders) + "; errors: " + toUtf8(form.ui.txtErr.text))
                            .c_str());
    return;
  }
  const double perFolder = static_cast<double>(state.iterations()) * static_cast<double>(tree.folders);
  printSqlHistogram(perFolder, "folder enumerated");
  const SqliteCounts& sql = sqliteCounts();
  const SetupCallCounts& calls = setupCallCounts();
  state.counters["folders"] = static_cast<double>(tree.folders);
  state.counters["queries/folder"] = static_cast<double>(calls.recordsetOpens - callsBefore.recordsetOpens) / perFolder;
  state.counters["recordOpens/folder"] = static_cast<double>(calls.recordOpens - callsBefore.recordOpens) / perFolder;
  state.counters["connOpens/folder"] =
      static_cast<double>(calls.connectionOpens - callsBefore.connectionOpens) / perFolder;
  state.counters["sqlRuns/folder"] = static_cast<double>(sql.runs - sqlBefore.runs) / perFolder;
  state.counters["sqlSteps/folder"] = static_cast<double>(sql.steps - sqlBefore.steps) / perFolder;
  state.counters["sqlPrepares"] = static_cast<double>(sql.prepares - sqlBefore.prepares);
  state.counters["peakRssBeforeKiB"] = static_cast<double>(rssBefore);
  state.counters["peakRssAfterKiB"] = static_cast<double>(peakRssKiB());
  state.counters["treeCreationSec"] = tree.creationSeconds;
}
// Fan-out 4 (340 folders) beside 10 (11,110) shows whether the cost per
// folder depends on the tree's size.
BENCHMARK(BM_GetPublicFolders)->Unit(benchmark::kMillisecond)->Arg(4)->Iterations(5);
BENCHMARK(BM_GetPublicFolders)->Unit(benchmark::kMillisecond)->Arg(10)->Iterations(1);

// The mail service's look-up of a recipient in the same tree: an address
// that a folder has, and one that none has (a mistyped or a spammer's
// address). Arg 1 is the unknown one. The first look-up reads every
// folder's address; later ones read only the folders' change counter.
void BM_RecipientLookup(benchmark::State& state) {
  treeServer(10);
  mail::StoreMailboxes mailboxes([](const std::string&) {});
  const std::string address = state.range(0) ? "nobody@corp.example.com" : "f4-9@corp.example.com";
  const auto first = std::chrono::steady_clock::now();
  mailboxes.folderOf(address);
  state.counters["firstMs"] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first).count();
  for (auto _ : state)
    if (mailboxes.folderOf(address).has_value() == (state.range(0) != 0)) return state.SkipWithError("wrong answer");
}
BENCHMARK(BM_RecipientLookup)->Unit(benchmark::kMicrosecond)->Arg(0)->Arg(1);

// One new folder, one store save with its own commit (and disk flush), in a
// folder that grows to a few hundred children: what creating a large tree
// costs folder by folder.
void BM_CreateFolder_OwnSave(benchmark::State& state) {
  BenchServer server;
  store::FolderSpec parent;
  parent.path = u"Bulk";
  store::createFolder(parent);
  int n = 0;
  for (auto _ : state) {
    store::FolderSpec spec;
    spec.path = u"Bulk/Folder " + fromUtf8(std::to_string(++n));
    spec.mailAddress = fromUtf8("bulk" + std::to_string(n) + "@corp.example.com");
    store::createFolder(spec);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateFolder_OwnSave)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
} // namespace korvane::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  korvane::bench::trees.clear();
  if (!korvane::bench::sqliteCounterActive())
    std::fprintf(stderr, "note: the SQLite counting hook saw no calls; its counters read 0\n");
  if (korvane::bench::setupCallCounts().connectionOpens == 0)
    std::fprintf(stderr, "note: the setup's store helpers were not counted (their signatures changed?); "
                         "update the names in bench/CMakeLists.txt and bench/setup_call_counter.cpp\n");
  return 0;
}
