// SPDX-License-Identifier: MIT
#include "senders.h"

#include "gtest/gtest.h"
#include "made_up_interfaces.h"

namespace {

TEST(MayBeUnit, NoAddressThatCannotSendAReply) {
  sender_judge judge = {};
  const struct {
    const char *sender;
    bool possible;
  } cases[] = {
      {"0.0.0.0", 0},       {"0.255.1.2", 0},       {"127.0.0.1", 0},
      {"127.9.9.9", 0},     {"224.0.0.1", 0},       {"239.255.255.250", 0},
      {"240.0.0.1", 0},     {"255.255.255.255", 0}, {"198.51.100.7", 1},
      {"1.0.0.0", 1},       {"223.255.255.254", 1}, {"198.51.100.7", 1},
  };
  for (const auto &c : cases) {
    sockaddr_in from = address_of(c.sender);
    EXPECT_EQ(may_be_unit(&judge, &from, nullptr), c.possible) << c.sender;
  }
  // This host's own addresses and its networks' broadcast addresses, asked
  // twice so that a remembered verdict is checked too.
  int networks = 0;
  for (size_t i = 0; i < judge.interfaces.count; ++i) {
    const host_address *entry = &judge.interfaces.addresses[i];
    network_view view = view_network(entry);
    if (view.kind != network_kind::BROADCAST || view.broadcast == 0) continue;
    ++networks;
    for (uint32_t own : {entry->address, view.broadcast, entry->address, view.broadcast}) {
      sockaddr_in from = {};
      from.sin_addr.s_addr = htonl(own);
      EXPECT_FALSE(may_be_unit(&judge, &from, nullptr)) << own;
    }
  }
  forget_interfaces(&judge.interfaces);
  if (networks == 0) GTEST_SKIP() << "this host has no network that can broadcast to judge";
}

TEST(SenderRules, JudgedByTheInterfacesAndWhereTheDatagramCameIn) {
  std::vector<host_address> made_up = EVERY_SHAPE;
  interface_list probed = made_up_list(made_up);
  sender_judge judge = {};
  ASSERT_EQ(copy_interfaces(&probed, &judge.interfaces), 1);
  const arrival over_eth0 = {2, host("10.0.0.1")}, over_lo = {1, 0}, to_lo = {2, host("127.0.0.1")};
  auto judged = [&](const char *sender) {
    sockaddr_in from = address_of(sender);
    return may_be_unit(&judge, &from, &over_eth0);
  };
  // Twice, so that the remembered verdicts are checked too. Peers and the
  // other end of a /31 are hosts; a /32 has no network. Every network of
  // /30 or wider has its network and all-ones addresses whatever its
  // interface, and a broadcast address the system gives counts too.
  for (int round = 0; round < 2; ++round) {
    for (const char *unit : {"10.0.0.7", "169.254.20.2", "10.9.0.2", "10.8.0.2", "10.3.0.1",
                             "10.4.0.4", "10.4.0.0", "10.8.1.1", "10.7.0.200", "10.10.0.2"})
      EXPECT_TRUE(judged(unit)) << unit;
    for (const char *own : {"10.0.0.1", "10.0.0.2", "10.0.0.255", "10.0.0.0", "10.1.0.255",
                            "10.1.0.0", "10.1.0.1", "10.5.0.255", "169.254.255.255",
                            "169.254.0.0", "10.9.0.1", "10.9.0.255", "10.9.0.0", "10.3.0.0",
                            "10.8.1.255", "10.8.1.0", "10.6.0.255", "10.6.0.0", "10.7.0.127",
                            "10.7.0.255", "10.7.0.0", "10.7.1.0", "10.7.1.255", "10.2.0.255",
                            "10.2.0.0", "10.10.0.3", "10.10.0.0"})
      EXPECT_FALSE(judged(own)) << own;
  }
  sockaddr_in other = address_of("10.0.0.7");
  EXPECT_FALSE(may_be_unit(&judge, &other, &over_lo));
  EXPECT_FALSE(may_be_unit(&judge, &other, &to_lo));
  // The host gains that address: a fresh read knows it at once, and a list
  // older than the age given is read again. The list probed stays as it was.
  made_up.push_back(entry("eth0", 2, "10.0.0.7", 24, "10.0.0.255"));
  EXPECT_TRUE(may_be_unit(&judge, &other, nullptr));
  EXPECT_FALSE(may_be_unit_now(&judge, &other, nullptr));
  EXPECT_EQ(probed.count, EVERY_SHAPE.size());
  made_up.pop_back();
  judge.interfaces.read_at_ms -= 1000;
  EXPECT_TRUE(may_be_unit(&judge, &other, nullptr));
  forget_interfaces(&judge.interfaces);
  forget_interfaces(&probed);
}

}  // namespace
