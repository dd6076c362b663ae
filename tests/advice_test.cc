// SPDX-License-Identifier: MIT
#include "advice.h"

#include "gtest/gtest.h"
#include "made_up_interfaces.h"
#include "shared.h"

namespace {

std::string advice(const std::vector<host_address> &table, const char *text, const char *probed,
                   int sent, int32_t timeout) {
  interface_list list = made_up_list(table);
  probe_report given = {text, address_of(probed).sin_addr, sent, timeout};
  const std::string out = written([&](FILE *err) { say_where_to_look(err, &list, &given); });
  forget_interfaces(&list);
  return out;
}

struct advice_case {
  const char *name;
  std::vector<host_address> table;
  const char *text;
  int sent;
  int32_t timeout;
  std::string said;
};

void PrintTo(const advice_case &c, std::ostream *out) { *out << c.name; }

std::vector<advice_case> advice_cases() {
  const std::string wide = "This host's IPv4 networks, and the option that probes each:\n"
                           "  eth0: 10.0.0.1/8, probed with -b10.255.255.255\n";
  const std::string causes = "No unit answered there. Perhaps:\n  the unit is off, or on another "
                             "network;\n  a firewall drops incoming UDP datagrams to port 8300;\n";
  const std::string single = " is not the broadcast address of any network here; it was probed "
                             "as a single host.\nNo unit answered there. Perhaps:\n  no unit has "
                             "that address, or it is off;\n  a firewall drops incoming UDP "
                             "datagrams to port 8300;\n";
  const std::string probe_one = ": probe one of these networks with its -b option.\n";
  // One line for each network of an interface, with what was sent to it or
  // why nothing was.
  const std::string every = "This host's IPv4 networks, and the option that probes each:\n"
      "  eth0: 10.0.0.1/24, probed with -b10.0.0.255\n  eth1: 10.1.0.1/24, probed with -b10.1.0.255\n"
      "  eth2: 10.9.0.1/24, probed with -b10.9.0.255\n"
      "  tun0: 10.8.0.1, whose peer 10.8.0.2 is probed alone with -b10.8.0.2\n"
      "  eth3: 10.3.0.0/31, probed with -b255.255.255.255\n"
      "  eth4: 10.4.0.5/32, probed with -b255.255.255.255\n"
      "  eth5: 10.5.0.1/24, probed with -b10.5.0.255, but it has no link\n"
      "  ll0: 169.254.10.1/16, probed with -b169.254.255.255\n"
      "  ll1: 169.254.11.1/16, probed with -b169.254.255.255\n"
      "  tun1: 10.8.1.2/24, not probed: it cannot broadcast\n"
      "  eth6: 10.6.0.1/24, not probed: it cannot broadcast\n"
      "  eth7: 10.7.0.1/24, probed with -b10.7.0.127\n  eth7: 10.7.1.1/24, probed with -b10.7.1.0\n"
      "  eth8: 10.2.0.1/24, probed with -b10.2.0.255\n  eth9: 10.10.0.1/30, probed with -b10.10.0.3\n"
      "  -b255.255.255.255 probes all of them that can broadcast and have a link.\n";
  const std::vector<host_address> UNLINKED = {EVERY_SHAPE[8],
                                              entry("tun2", 9, "10.8.2.1", 32, "0.0.0.0", TUN & ~IFF_RUNNING, "10.8.2.2")};
  const std::string unlinked = "This host's IPv4 networks, and the option that probes each:\n"
      "  eth5: 10.5.0.1/24, probed with -b10.5.0.255, but it has no link\n"
      "  tun2: 10.8.2.1, whose peer 10.8.2.2 is probed alone with -b10.8.2.2, but it has no link\n";
  const std::vector<host_address> TUNNELS = {EVERY_SHAPE[11], EVERY_SHAPE[12]};
  const std::string tunnels = "This host's IPv4 networks, and the option that probes each:\n"
      "  tun1: 10.8.1.2/24, not probed: it cannot broadcast\n"
      "  eth6: 10.6.0.1/24, not probed: it cannot broadcast\n";
  const std::vector<host_address> WIDE = {entry("eth0", 2, "10.0.0.1", 8, "10.255.255.255")};
  const std::vector<host_address> PEER = {EVERY_SHAPE[5]};
  return {
      {"every_network", EVERY_SHAPE, "255.255.255.255", 1, 5, every + "The probe went to every one of these "
       "networks that can broadcast and has a link.\n" + causes +
       "  the unit takes longer than 5 seconds to answer: try -t10.\n"},
      {"link_local_with_no_time", EVERY_SHAPE, "169.254.255.255", 1, -1, every + "169.254.255.255 is on the network of ll0 "
       "and ll1.\n-t-1 gave the unit no time to answer: try -t10.\n"},
      {"no_link", EVERY_SHAPE, "10.5.0.255", 1, 5, every + "10.5.0.255 is on the network of eth5, which has no link.\n"},
      {"peer_alone", PEER, "10.8.0.2", 1, 30, "This host's IPv4 networks, and the option that probes each:\n"
       "  tun0: 10.8.0.1, whose peer 10.8.0.2 is probed alone with -b10.8.0.2\n10.8.0.2" + single +
       "  the unit takes longer than 30 seconds to answer: try -t60.\n"},
      {"single_host_at_a_minute", WIDE, "10.0.0.255", 1, 60, wide + "10.0.0.255" + single},
      {"single_host", WIDE, "10.0.0.255", 1, 10, wide + "10.0.0.255" + single +
       "  the unit takes longer than 10 seconds to answer: try -t30.\n"},
      {"single_host_without_link", UNLINKED, "10.5.0.7", 1, 5, unlinked + "10.5.0.7" + single.substr(0, single.find('\n') + 1) +
       "10.5.0.7 is on the network of eth5, which has no link.\n"},
      {"peer_without_link", UNLINKED, "10.8.2.2", 1, 5, unlinked + "10.8.2.2" + single.substr(0, single.find('\n') + 1) +
       "10.8.2.2 is on the network of tun2, which has no link.\n"},
      {"only_as_the_routes_say", TUNNELS, "255.255.255.255", 1, 20, tunnels + "The probe went only as the routes say.\n" + causes +
       "  the unit takes longer than 20 seconds to answer: try -t60.\n"},
      {"cannot_broadcast", TUNNELS, "10.6.0.255", 1, 5, tunnels + "10.6.0.255 is on the network of eth6, which cannot "
       "broadcast.\n"},
      {"own_address", WIDE, "10.0.0.1", 1, 5, wide + "10.0.0.1 reaches only this host" + probe_one},
      {"any_address", WIDE, "0.0.0.0", 1, 5, wide + "0.0.0.0 reaches only this host" + probe_one},
      {"no_address", WIDE, "", 0, 5, wide + "-b was given no address" + probe_one},
      {"not_sent", WIDE, "10.99.0.255", 0, 5, wide + "10.99.0.255 is not the broadcast address of any network here" + probe_one},
  };
}

class SayWhereToLook : public ::testing::TestWithParam<advice_case> {};

TEST_P(SayWhereToLook, NamesTheCauseThatApplies) {
  const advice_case &c = GetParam();
  EXPECT_EQ(advice(c.table, c.text, c.text[0] ? c.text : "0.0.0.0", c.sent, c.timeout), c.said);
}

INSTANTIATE_TEST_SUITE_P(Advice, SayWhereToLook, ::testing::ValuesIn(advice_cases()), row_name<advice_case>);

}  // namespace
