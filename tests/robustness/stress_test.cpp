// Load: four delivery processes into eight folders while a fifth process
// creates, replaces and deletes the registrations of every folder and the
// store-wide one, all through the real sink in COM+. The deliveries repeat
// a few subjects, as daily reports and alerts do, so that processes keep
// choosing the same item names at the same moment. Afterwards every
// delivered item is stored exactly once with its delivered or its mapped
// class (or was deleted by the NULL mapping), and the database is sound.
// One more delivery process is killed just before a commit a quarter into its
// run: only that delivery is in doubt, and it must not be stored.
//
// Where KorvaneSetup is built, it runs in batch mode meanwhile, again and
// again, without a display (offscreen) and with the Disclaimer answered by
// its script runner: it re-applies the registrations it finds.
//
// KORVANE_STRESS_ITEMS sets the items per process (default 100; the
// "stress" run uses 2,500), KORVANE_STRESS_SECONDS the hard time limit of
// the whole run (default 240).
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "platform/complus/admin.h"
#include "platform/complus/host.h"
#include "platform/store/store.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

long fromEnvironment(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

class Stress : public RobustnessTest {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    for (const auto& f : folders) addFolder(fromUtf8(f));
    install(kCtor);
    // Half the folders start registered; the registrar flips them all.
    for (std::size_t i = 0; i < folders.size(); i += 2) registerOn(fromUtf8(folders[i]));
    db::Database::closeCurrent();
  }

  // KorvaneSetup -b, answering the Disclaimer with "yes" from a script.
  std::optional<ChildOptions> batchOptions() {
    const auto program = std::filesystem::path(KORVANE_BINARY_DIR) / "setup" / "KorvaneSetup";
    if (!std::filesystem::exists(program)) return std::nullopt;
    { std::ofstream(file("batch.script")) << "yes\n"; }
    ChildOptions o = childOptions(program, {"-b"}, "batch");
    o.setEnv = {{"QT_QPA_PLATFORM", "offscreen"},
                {"KORVANE_SETUP_SCRIPT", file("batch.script").string()},
                {"XDG_RUNTIME_DIR", workDir().string()}};
    return o;
  }

  const std::vector<std::string> folders{"Load 1", "Load 2", "Load 3", "Заказы", "Ventes été", "Load 6",
                                         "Πωλήσεις", "Load 8"};
  // Spam (any case) is deleted by the mapping; the rest becomes IPM.Note.
  const std::vector<std::string> classes{"IPM.Note", "IPM.Spam.Offer", "IPM.Post", "ipm.spam", "IPM.Note.Заказ"};
  // Seven subjects against eight folders: each subject comes round to every folder.
  const std::vector<std::string> subjects{"Daily report", "ALERT: disk full", "Daily report", "Rapport été",
                                          "Re: Заказ", "Daily report", "Weekly summary"};
};

TEST_F(Stress, ConcurrentDeliveriesAndRegistrationsLoseNothing) {
  const long count = fromEnvironment("KORVANE_STRESS_ITEMS", 100);
  const long seconds = fromEnvironment("KORVANE_STRESS_SECONDS", 240);
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::seconds(seconds);

  const auto batch = batchOptions();
  std::vector<std::string> churn{"churn", "--folders", commaSeparated(folders), "--store-wide",
                                 "--until", file("stop").string(), "--max-seconds", std::to_string(seconds)};
  if (batch) churn.push_back("--shared");
  Child registrarProcess(childOptions(helperProgram("robustness_registrar"), churn, "registrar"));

  std::vector<Child> deliverers;
  for (int w = 0; w < 4; ++w)
    deliverers.emplace_back(delivererOptions("w" + std::to_string(w), count, folders, classes, subjects));
  ChildOptions victimOptions = delivererOptions("victim", count, folders, classes, subjects);
  victimOptions.setEnv = {{"KORVANE_FAULT", "store.before-commit"},
                          {"KORVANE_FAULT_SKIP", std::to_string(count / 4)}};
  Child victim(victimOptions);
  // Batch runs one after the other while the deliverers are busy.
  int batchRuns = 0;
  std::vector<ChildResult> failedBatches, results(deliverers.size());
  const auto stillDelivering = [&] {
    return std::any_of(deliverers.begin(), deliverers.end(), [](const Child& d) { return d.pid() > 0; });
  };
  while (batch && stillDelivering() && std::chrono::steady_clock::now() < deadline) {
    ChildResult r = Child(*batch).wait(deadline);
    ++batchRuns;
    if (!r.exited || r.exitCode != 0) failedBatches.push_back(r);
    for (std::size_t i = 0; i < deliverers.size(); ++i)
      if (auto ended = deliverers[i].poll()) results[i] = *ended;
  }
  for (std::size_t i = 0; i < deliverers.size(); ++i)
    if (deliverers[i].pid() > 0) results[i] = deliverers[i].wait(deadline);
  const ChildResult victimResult = victim.wait(deadline);
  const double deliverySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  { std::ofstream(file("stop")) << "stop"; }
  ChildResult churnResult = registrarProcess.wait(deadline + std::chrono::seconds(30));

  for (const auto& r : results) {
    EXPECT_TRUE(r.exited && r.exitCode == 0) << describe(r);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(churnResult.exited && churnResult.exitCode == 0) << describe(churnResult);
  EXPECT_TRUE(victimResult.signal == SIGKILL && !victimResult.timedOut) << describe(victimResult);
  for (const auto& r : failedBatches) ADD_FAILURE() << "KorvaneSetup -b: " << describe(r);
  EXPECT_TRUE(!batch || batchRuns > 0) << "KorvaneSetup -b never ran";

  std::vector<DeliveryLog> logs;
  std::size_t delivered = 0, deleted = 0;
  for (int w = 0; w < 4; ++w) {
    logs.push_back(readDeliveryLog(file("w" + std::to_string(w) + ".log")));
    EXPECT_EQ(logs.back().deliveries.size(), static_cast<std::size_t>(count));
    for (const auto& d : logs.back().deliveries) {
      delivered += d.done;
      deleted += d.done && d.deleted;
    }
  }
  EXPECT_EQ(delivered, static_cast<std::size_t>(4 * count));
  EXPECT_GT(deleted, 0u) << "the NULL mapping never ran: the sink was not called";
  logs.push_back(readDeliveryLog(file("victim.log")));
  ASSERT_FALSE(logs.back().deliveries.empty());
  EXPECT_FALSE(logs.back().deliveries.back().done);

  db::Database::closeCurrent();
  EXPECT_EQ(checkDeliveries(logs, {folders, mappedClass, false, {}}), "");
  EXPECT_EQ(db::Database::current().integrityCheck(), "ok");
  // The sink ran in the host of its server application (the default).
  EXPECT_TRUE(complus::host::status(complus::Catalog().listApplications().at(0).id).running);
  EXPECT_EQ(problemsWithRegistrations(), "");

  const double rate = static_cast<double>(4 * count) / deliverySeconds;
  std::printf("stress: %ld deliveries in %.1f s (%.1f items/s), %zu deleted by the mapping\n", 4 * count,
              deliverySeconds, rate, deleted);
  for (const auto& r : results) std::printf("  %s", r.out.c_str());
  std::printf("  %s", churnResult.out.c_str());
  if (batch)
    std::printf("  KorvaneSetup -b ran %d times meanwhile\n", batchRuns);
  else
    std::printf("  KorvaneSetup is not built here: no batch runs\n");
}

} // namespace
} // namespace korvane::robustness
