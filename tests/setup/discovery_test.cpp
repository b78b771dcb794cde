#include <gtest/gtest.h>

#include "platform/directory/directory.h"
#include "platform/exchange/exchange.h"
#include "platform/registry/registry.h"
#include "platform/store/store.h"
#include "setup/discovery/discovery.h"
#include "support/server_fixture.h"

namespace korvane::setup {
namespace {

class Discovery : public testing::ServerFixture {
protected:
  void becomeClusterNodeOf(TextView virtualServer) {
    registry::createKey(registry::Root::LocalMachine, u"Cluster");
    auto me = *directory::findPerson(u"Administrator");
    me.homeServer = server::homeServerValue(u"First Organization", virtualServer);
    directory::updatePerson(me);
  }
  InstallForm form;
};

TEST_F(Discovery, ClusterNodeOpensTheVirtualServerOfTheUsersMailbox) {
  becomeClusterNodeOf(u"exvs1");
  exchange::addServer(u"EXVS1");
  exchange::addStorageGroup(u"EXVS1", u"SG1");
  exchange::addFolderTree(u"Cluster Folders", exchange::kTreeMapi, u"http://exvs1/public");
  exchange::addPublicStore(u"EXVS1", u"SG1", {u"PF", u"Cluster Folders", true, std::nullopt});
  runDiscovery(form);
  EXPECT_TRUE(form.blnIsClusterNode);
  EXPECT_EQ(form.ClusterName, u"EXVS1");
  EXPECT_EQ(form.strPublicRoot, u"http://exvs1/Public/");
}

TEST_F(Discovery, ClusterUserWithoutMailboxLeavesTheNameEmptyAndTheServerCannotBeOpened) {
  becomeClusterNodeOf(u"EXVS1");
  auto me = *directory::findPerson(u"Administrator");
  me.homeServer.reset();
  directory::updatePerson(me);
  EXPECT_THROW(runDiscovery(form), ComError);
  EXPECT_TRUE(form.ClusterName.empty());
  EXPECT_EQ(form.intPublicRootLen, 0);
}

TEST_F(Discovery, FirstMountedMapiStoreWinsAndPercentTwentyBecomesABlank) {
  exchange::dismountPublicStore(u"EXCH01", u"First Storage Group",
                               exchange::storageGroups(u"EXCH01").at(0).publicStores.at(0).name);
  exchange::addStorageGroup(u"EXCH01", u"Second Storage Group");
  exchange::addFolderTree(u"Applications", exchange::kTreeGeneralPurpose, u"http://exch01/apps");
  exchange::addFolderTree(u"Spaced", exchange::kTreeMapi, u"http://exch01/public%20folders");
  exchange::addPublicStore(u"EXCH01", u"Second Storage Group", {u"Apps", u"Applications", true, std::nullopt});
  exchange::addPublicStore(u"EXCH01", u"Second Storage Group", {u"Spaced", u"Spaced", true, std::nullopt});
  runDiscovery(form);
  EXPECT_FALSE(form.blnIsClusterNode);
  EXPECT_EQ(form.strPublicRoot, u"http://exch01/Public/");
  EXPECT_EQ(form.strStoreGuid, store::serverInfo().storeGuid);
}

// Without a mounted public store the program ends with its report: see
// Unreachable.AServerWhosePublicStoreIsDismounted.

} // namespace
} // namespace korvane::setup
