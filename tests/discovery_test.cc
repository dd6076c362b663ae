// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "advice.h"
#include "senders.h"
#include "gtest/gtest.h"
#include "platform.h"

namespace {

TEST(ReadDecimal, ReadsLikeAtoiAndSaturates) {
  const struct {
    const char *text;
    int32_t value;
  } cases[] = {
      {"12ab", 12},         {"ab", 0},
      {"", 0},              {"-5", -5},
      {"+7", 7},            {" \t\n\v\f\r42", 42},
      {"- 5", 0},           {"--5", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-2147483649", -2147483647 - 1},
      {"99999999999999999999999", 2147483647},
      {"-99999999999999999999999", -2147483647 - 1},
      {"0000000000000000000000012", 12},
  };
  for (const auto &c : cases) EXPECT_EQ(read_decimal(c.text), c.value) << c.text;
}

sockaddr_in address_of(const char *dotted) {
  sockaddr_in from = {};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, dotted, &from.sin_addr);
  return from;
}

TEST(ParseReply, ReadsSerialNameAndSenderAddress) {
  const struct {
    const char *text;
    int32_t serial;
    const char *name;
  } cases[] = {
      {"id=42name=x", 42, "x"},
      {"name=unit id=7", 7, "unit id=7"},
      {"id= 30100123\nname=Kitchen\n", 30100123, "Kitchen\n"},
      {"id=name=", 0, ""},
      {"id=1 hostname=a name=b", 1, "a name=b"},
      {"id=-12 name=neg", -12, "neg"},
      {"id=99999999999 name=big", 2147483647, "big"},
  };
  for (const auto &c : cases) {
    empeg_info empeg = {};
    sockaddr_in from = address_of("10.1.200.255");
    ASSERT_EQ(parse_reply(c.text, &empeg, &from), 1) << c.text;
    EXPECT_EQ(empeg.serial, c.serial) << c.text;
    EXPECT_STREQ(empeg.name, c.name) << c.text;
    EXPECT_EQ(empeg.ip[0], 10);
    EXPECT_EQ(empeg.ip[1], 1);
    EXPECT_EQ(empeg.ip[2], 200);
    EXPECT_EQ(empeg.ip[3], 255);
  }
}

TEST(ParseReply, NonRepliesLeaveTheRecordAlone) {
  const char *cases[] = {"?", "", "id=5", "name=x", "ID=5 NAME=x", "id 5 name x"};
  for (const char *text : cases) {
    empeg_info empeg = {};
    empeg.serial = 77;
    sockaddr_in from = address_of("10.0.0.1");
    EXPECT_EQ(parse_reply(text, &empeg, &from), 0) << text;
    EXPECT_EQ(empeg.serial, 77);
    EXPECT_EQ(empeg.ip[0], 0);
  }
}

TEST(ParseReply, LongNameIsCutTo255Bytes) {
  std::string text = "id=3 name=" + std::string(300, 'n');
  empeg_info empeg = {};
  sockaddr_in from = address_of("10.0.0.1");
  ASSERT_EQ(parse_reply(text.c_str(), &empeg, &from), 1);
  EXPECT_EQ(std::string(empeg.name), std::string(255, 'n'));
}

TEST(EscapeName, ShowsOnlyTextThatCannotActOrMislead) {
  const struct {
    const char *name;
    const char *shown;
  } cases[] = {
      {"Kitchen", "Kitchen"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x01\x1b[2J\x1f\x7f", "\\x01\\x1b[2J\\x1f\\x7f"},
      {"a\\nb\\", "a\\\\nb\\\\"},
      {"x\" at 6.6.6.6", "x\\\" at 6.6.6.6"},
      {"", ""},
      // Well-formed UTF-8 of every length passes.
      {"K\xc3\xbc" "che \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5 \xef\xbf\xbd",
       "K\xc3\xbc" "che \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xb5 \xef\xbf\xbd"},
      // C1 controls, bidirectional controls and separators, at the edges of
      // each range, with their neighbours that pass.
      {"\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9b\\xc2\\x9f\xc2\xa0"},
      {"\xd8\x9c\xd8\x9b", "\\xd8\\x9c\xd8\x9b"},
      {"\xe2\x80\x8d\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\x90",
       "\xe2\x80\x8d\\xe2\\x80\\x8e\\xe2\\x80\\x8f\xe2\x80\x90"},
      {"\xe2\x80\xa7\xe2\x80\xa8\xe2\x80\xae\xe2\x80\xaf",
       "\xe2\x80\xa7\\xe2\\x80\\xa8\\xe2\\x80\\xae\xe2\x80\xaf"},
      {"\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa",
       "\xe2\x81\xa5\\xe2\\x81\\xa6\\xe2\\x81\\xa9\xe2\x81\xaa"},
      // Bytes outside a well-formed sequence: stray continuation, bare CSI,
      // overlong forms, a surrogate, past U+10FFFF, bytes never used, and
      // sequences cut short by another byte or by the end.
      {"\x9b[2J\xbf", "\\x9b[2J\\xbf"},
      {"\xc0\xaf\xc1\xbf\xe0\x9f\xbf\xf0\x8f\xbf\xbf",
       "\\xc0\\xaf\\xc1\\xbf\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf"},
      {"\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff",
       "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xf5\\xff"},
      {"\xe2\x82x\xf0\x9f\x8e", "\\xe2\\x82x\\xf0\\x9f\\x8e"},
  };
  for (const auto &c : cases) {
    char out[ESCAPED_NAME_SIZE];
    escape_name(c.name, out);
    EXPECT_STREQ(out, c.shown) << c.name;
  }
}

TEST(EscapeName, WorstCaseFitsTheBuffer) {
  for (char byte : {'\x01', '\x9b'}) {
    std::string name(EMPEG_NAME_MAX, byte);
    char out[ESCAPED_NAME_SIZE];
    escape_name(name.c_str(), out);
    EXPECT_EQ(std::string(out).size(), ESCAPED_NAME_SIZE - 1);
  }
}

TEST(MayBeUnit, NoAddressThatCannotSendAReply) {
  sender_judge judge = {};
  const struct {
    const char *sender;
    int possible;
  } cases[] = {
      {"0.0.0.0", 0},       {"0.255.1.2", 0},       {"127.0.0.1", 0},
      {"127.9.9.9", 0},     {"224.0.0.1", 0},       {"239.255.255.250", 0},
      {"240.0.0.1", 0},     {"255.255.255.255", 0}, {"198.51.100.7", 1},
      {"1.0.0.0", 1},       {"223.255.255.254", 1}, {"198.51.100.7", 1},
  };
  for (const auto &c : cases) {
    sockaddr_in from = address_of(c.sender);
    EXPECT_EQ(may_be_unit(&judge, &from, nullptr, 1000), c.possible) << c.sender;
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
      EXPECT_EQ(may_be_unit(&judge, &from, nullptr, 1000), 0) << own;
    }
  }
  forget_interfaces(&judge.interfaces);
  if (networks == 0) GTEST_SKIP() << "this host has no network that can broadcast to judge";
}

// Interfaces as a test makes them up, handed in through the list's reader:
// `context` is the table, which the test may change between reads.
int read_made_up(void *context, host_address **addresses, size_t *count) {
  const auto *made_up = static_cast<const std::vector<host_address> *>(context);
  *count = made_up->size();
  *addresses = static_cast<host_address *>(calloc(*count + 1, sizeof **addresses));
  std::copy(made_up->begin(), made_up->end(), *addresses);
  return 1;
}

uint32_t host(const char *dotted) { return ntohl(address_of(dotted).sin_addr.s_addr); }

// An address as a C library reports it: `broadcast` is the address itself
// for one added without brd.
host_address entry(const char *name, unsigned index, const char *address, uint32_t prefix,
                   const char *broadcast, unsigned flags = IFF_UP | IFF_RUNNING | IFF_BROADCAST,
                   const char *peer = "0.0.0.0") {
  host_address out = {{},  index, flags, host(address), ~UINT32_C(0) << (32 - prefix),
                      host(broadcast), host(peer)};
  snprintf(out.interface, sizeof out.interface, "%s", name);
  return out;
}

constexpr unsigned TUN = IFF_UP | IFF_RUNNING | IFF_POINTOPOINT | IFF_NOARP;

// Two addresses in one network, an address without brd, a peer on Ethernet
// and on a point-to-point link, a /31, a /32, no carrier, two cables that
// share a broadcast address, a tun with a broadcast address, NOARP, brd
// 10.7.0.127 and brd - on a /24, brd 255.255.255.255 and a /30.
const std::vector<host_address> EVERY_SHAPE = {
    entry("lo", 1, "127.0.0.1", 8, "127.0.0.1", IFF_UP | IFF_RUNNING | IFF_LOOPBACK),
    entry("eth0", 2, "10.0.0.1", 24, "10.0.0.255"), entry("eth0", 2, "10.0.0.2", 24, "10.0.0.255"),
    entry("eth1", 3, "10.1.0.1", 24, "10.1.0.1"),
    entry("eth2", 4, "10.9.0.1", 24, "0.0.0.0", IFF_UP | IFF_RUNNING | IFF_BROADCAST, "10.9.0.2"),
    entry("tun0", 5, "10.8.0.1", 32, "0.0.0.0", TUN, "10.8.0.2"),
    entry("eth3", 6, "10.3.0.0", 31, "10.3.0.0"), entry("eth4", 7, "10.4.0.5", 32, "10.4.0.5"),
    entry("eth5", 8, "10.5.0.1", 24, "10.5.0.255", IFF_UP | IFF_BROADCAST),
    entry("ll0", 10, "169.254.10.1", 16, "169.254.255.255"),
    entry("ll1", 11, "169.254.11.1", 16, "169.254.255.255"),
    entry("tun1", 12, "10.8.1.2", 24, "10.8.1.255", TUN),
    entry("eth6", 13, "10.6.0.1", 24, "10.6.0.255", IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_NOARP),
    entry("eth7", 14, "10.7.0.1", 24, "10.7.0.127"), entry("eth7", 14, "10.7.1.1", 24, "10.7.1.0"),
    entry("eth8", 15, "10.2.0.1", 24, "255.255.255.255"), entry("eth9", 16, "10.10.0.1", 30, "10.10.0.1")};

// One interface with `count` networks, the first a /24 and the others /16s,
// as a user adds a link-local network or fifty beside the first.
std::vector<host_address> networks_on_one_interface(int count) {
  std::vector<host_address> table = {entry("eth0", 2, "192.168.1.10", 24, "192.168.1.255")};
  for (int i = 1; i < count; ++i) {
    std::string address = "172." + std::to_string(i) + ".1.1";
    std::string broadcast = "172." + std::to_string(i) + ".255.255";
    table.push_back(entry("eth0", 2, address.c_str(), 16, broadcast.c_str()));
  }
  return table;
}

// The list reads `table` for as long as it is read: the table must outlive it.
interface_list made_up_list(const std::vector<host_address> &table) {
  interface_list list = {};
  list.read = read_made_up;
  list.context = const_cast<std::vector<host_address> *>(&table);
  EXPECT_EQ(current_interfaces(&list, 0), 1);
  return list;
}

std::string shown_plan(const interface_list *list, const char *target) {
  std::vector<probe_datagram> plan(2 * list->count);
  std::string shown;
  for (size_t i = 0, n = plan_probe(list, host(target), plan.data()); i < n; ++i) {
    in_addr from = {htonl(plan[i].source)}, to = {htonl(plan[i].destination)};
    // inet_ntoa answers in one buffer: one call per statement.
    shown += std::to_string(plan[i].index) + ":" + inet_ntoa(from);
    shown += std::string(">") + inet_ntoa(to) + " ";
  }
  return shown;
}

TEST(PlanProbe, EachNetworkThatCanBroadcastOnce) {
  interface_list list = made_up_list(EVERY_SHAPE);
  const char *const limited = "2:10.0.0.1>10.0.0.255 3:10.1.0.1>10.1.0.255 4:10.9.0.1>10.9.0.255 "
      "10:169.254.10.1>169.254.255.255 11:169.254.11.1>169.254.255.255 14:10.7.0.1>10.7.0.127 "
      "14:10.7.1.1>10.7.1.0 15:10.2.0.1>10.2.0.255 16:10.10.0.1>10.10.0.3 "
      "6:10.3.0.0>255.255.255.255 7:10.4.0.5>255.255.255.255 2:10.0.0.1>255.255.255.255 "
      "3:10.1.0.1>255.255.255.255 4:10.9.0.1>255.255.255.255 10:169.254.10.1>255.255.255.255 "
      "11:169.254.11.1>255.255.255.255 14:10.7.0.1>255.255.255.255 "
      "14:10.7.1.1>255.255.255.255 15:10.2.0.1>255.255.255.255 16:10.10.0.1>255.255.255.255 ";
  // A network without a link, one that cannot broadcast, a peer and
  // anything else go as the routes say.
  const char *const cases[][2] = {
      {"255.255.255.255", limited}, {"10.0.0.255", "2:10.0.0.1>10.0.0.255 "},
      {"169.254.255.255", "10:169.254.10.1>169.254.255.255 11:169.254.11.1>169.254.255.255 "},
      {"10.7.1.0", "14:10.7.1.1>10.7.1.0 "}, {"10.9.0.255", "4:10.9.0.1>10.9.0.255 "},
      {"10.5.0.255", ""}, {"10.8.1.255", ""}, {"10.6.0.255", ""}, {"10.9.0.2", ""},
      {"10.0.0.7", ""}, {"10.7.0.255", ""}};
  for (const auto &c : cases) EXPECT_EQ(shown_plan(&list, c[0]), c[1]) << c[0];
  forget_interfaces(&list);
  // One address in two networks: no datagram twice.
  const std::vector<host_address> two_networks = {EVERY_SHAPE[1],
                                                  entry("eth0", 2, "10.0.0.1", 32, "10.0.0.1")};
  list = made_up_list(two_networks);
  EXPECT_EQ(shown_plan(&list, "255.255.255.255"), "2:10.0.0.1>10.0.0.255 2:10.0.0.1>255.255.255.255 ");
  forget_interfaces(&list);
}

// A unit that answers only the first probe it hears must hear it from an
// address of its own network: a unit on each network that takes a
// broadcast accepts the datagrams to that network's broadcast address and
// to 255.255.255.255 out of its interface.
TEST(PlanProbe, FirstProbeEachNetworkHearsIsFromItsOwnAddress) {
  for (const auto &table : {EVERY_SHAPE, networks_on_one_interface(2), networks_on_one_interface(50)}) {
    interface_list list = made_up_list(table);
    std::vector<probe_datagram> plan(2 * list.count);
    const size_t planned = plan_probe(&list, INADDR_BROADCAST, plan.data());
    for (const host_address &own : table) {
      if (!takes_broadcast(&own)) continue;
      network_view view = view_network(&own);
      size_t first = 0;
      while (first < planned && (plan[first].index != own.index ||
             (plan[first].destination != INADDR_BROADCAST && plan[first].destination != view.broadcast)))
        ++first;
      ASSERT_LT(first, planned) << own.address << " not probed";
      EXPECT_EQ(plan[first].source >> (32 - view.prefix_length), own.address >> (32 - view.prefix_length))
          << own.address << " first hears " << plan[first].source;
    }
    forget_interfaces(&list);
  }
}

TEST(SenderRules, JudgedByTheInterfacesAndWhereTheDatagramCameIn) {
  std::vector<host_address> made_up = EVERY_SHAPE;
  interface_list probed = made_up_list(made_up);
  sender_judge judge = {};
  ASSERT_EQ(copy_interfaces(&probed, &judge.interfaces), 1);
  const arrival over_eth0 = {2, host("10.0.0.1")}, over_lo = {1, 0}, to_lo = {2, host("127.0.0.1")};
  auto judged = [&](const char *sender) {
    sockaddr_in from = address_of(sender);
    return may_be_unit(&judge, &from, &over_eth0, 1000);
  };
  // Twice, so that the remembered verdicts are checked too. Peers and the
  // other end of a /31 are hosts; a /32 has no network. Every network of
  // /30 or wider has its network and all-ones addresses whatever its
  // interface, and a broadcast address the system gives counts too.
  for (int round = 0; round < 2; ++round) {
    for (const char *unit : {"10.0.0.7", "169.254.20.2", "10.9.0.2", "10.8.0.2", "10.3.0.1",
                             "10.4.0.4", "10.4.0.0", "10.8.1.1", "10.7.0.200", "10.10.0.2"})
      EXPECT_EQ(judged(unit), 1) << unit;
    for (const char *own : {"10.0.0.1", "10.0.0.2", "10.0.0.255", "10.0.0.0", "10.1.0.255",
                            "10.1.0.0", "10.1.0.1", "10.5.0.255", "169.254.255.255",
                            "169.254.0.0", "10.9.0.1", "10.9.0.255", "10.9.0.0", "10.3.0.0",
                            "10.8.1.255", "10.8.1.0", "10.6.0.255", "10.6.0.0", "10.7.0.127",
                            "10.7.0.255", "10.7.0.0", "10.7.1.0", "10.7.1.255", "10.2.0.255",
                            "10.2.0.0", "10.10.0.3", "10.10.0.0"})
      EXPECT_EQ(judged(own), 0) << own;
  }
  sockaddr_in other = address_of("10.0.0.7");
  EXPECT_EQ(may_be_unit(&judge, &other, &over_lo, 1000), 0);
  EXPECT_EQ(may_be_unit(&judge, &other, &to_lo, 1000), 0);
  // The host gains that address: a fresh read knows it at once, and a list
  // older than the age given is read again. The list probed stays as it was.
  made_up.push_back(entry("eth0", 2, "10.0.0.7", 24, "10.0.0.255"));
  EXPECT_EQ(may_be_unit(&judge, &other, nullptr, 1000), 1);
  EXPECT_EQ(may_be_unit(&judge, &other, nullptr, 0), 0);
  EXPECT_EQ(probed.count, EVERY_SHAPE.size());
  made_up.pop_back();
  judge.interfaces.read_at_ms -= 1000;
  EXPECT_EQ(may_be_unit(&judge, &other, nullptr, 1000), 1);
  forget_interfaces(&judge.interfaces);
  forget_interfaces(&probed);
}

std::string advice(const std::vector<host_address> &table, const char *text, const char *probed,
                   int sent, int32_t timeout) {
  interface_list list = made_up_list(table);
  probe_report given = {text, address_of(probed).sin_addr, sent, timeout};
  char *said = nullptr;
  size_t size = 0;
  FILE *err = open_memstream(&said, &size);
  say_where_to_look(err, &list, &given);
  fclose(err);
  std::string out(said, size);
  free(said);
  forget_interfaces(&list);
  return out;
}

TEST(SayWhereToLook, NamesTheCauseThatApplies) {
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
  const struct {
    const std::vector<host_address> &table;
    const char *text;
    int sent;
    int32_t timeout;
    std::string said;
  } cases[] = {
      {EVERY_SHAPE, "255.255.255.255", 1, 5, every + "The probe went to every one of these "
       "networks that can broadcast and has a link.\n" + causes +
       "  the unit takes longer than 5 seconds to answer: try -t10.\n"},
      {EVERY_SHAPE, "169.254.255.255", 1, -1, every + "169.254.255.255 is on the network of ll0 "
       "and ll1.\n-t-1 gave the unit no time to answer: try -t10.\n"},
      {EVERY_SHAPE, "10.5.0.255", 1, 5, every + "10.5.0.255 is on the network of eth5, which has no link.\n"},
      {PEER, "10.8.0.2", 1, 30, "This host's IPv4 networks, and the option that probes each:\n"
       "  tun0: 10.8.0.1, whose peer 10.8.0.2 is probed alone with -b10.8.0.2\n10.8.0.2" + single +
       "  the unit takes longer than 30 seconds to answer: try -t60.\n"},
      {WIDE, "10.0.0.255", 1, 60, wide + "10.0.0.255" + single},
      {WIDE, "10.0.0.255", 1, 10, wide + "10.0.0.255" + single +
       "  the unit takes longer than 10 seconds to answer: try -t30.\n"},
      {UNLINKED, "10.5.0.7", 1, 5, unlinked + "10.5.0.7" + single.substr(0, single.find('\n') + 1) +
       "10.5.0.7 is on the network of eth5, which has no link.\n"},
      {UNLINKED, "10.8.2.2", 1, 5, unlinked + "10.8.2.2" + single.substr(0, single.find('\n') + 1) +
       "10.8.2.2 is on the network of tun2, which has no link.\n"},
      {TUNNELS, "255.255.255.255", 1, 20, tunnels + "The probe went only as the routes say.\n" + causes +
       "  the unit takes longer than 20 seconds to answer: try -t60.\n"},
      {TUNNELS, "10.6.0.255", 1, 5, tunnels + "10.6.0.255 is on the network of eth6, which cannot "
       "broadcast.\n"},
      {WIDE, "10.0.0.1", 1, 5, wide + "10.0.0.1 reaches only this host" + probe_one},
      {WIDE, "0.0.0.0", 1, 5, wide + "0.0.0.0 reaches only this host" + probe_one},
      {WIDE, "", 0, 5, wide + "-b was given no address" + probe_one},
      {WIDE, "10.99.0.255", 0, 5, wide + "10.99.0.255 is not the broadcast address of any network here" + probe_one},
  };
  for (const auto &c : cases)
    EXPECT_EQ(advice(c.table, c.text, c.text[0] ? c.text : "0.0.0.0", c.sent, c.timeout), c.said) << c.text;
}

// The exchange over loopback, on ports the system picks, never the network.
class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = socket(AF_INET, SOCK_DGRAM, 0);
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(listener_, 0);
    ASSERT_GE(sender_, 0);
    sockaddr_in local = address_of("127.0.0.1");
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    socklen_t length = sizeof to_;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&to_), &length);
  }
  void TearDown() override {
    close(listener_);
    close(sender_);
  }
  void send(const std::string &bytes) {
    ASSERT_EQ(sendto(sender_, bytes.data(), bytes.size(), 0,
                     reinterpret_cast<sockaddr *>(&to_), sizeof to_),
              static_cast<ssize_t>(bytes.size()));
  }
  int listener_ = -1, sender_ = -1;
  sockaddr_in to_ = {};
};

TEST_F(Exchange, EachTextEndsWhereItsDatagramEnds) {
  char buffer[65] = {};
  sockaddr_in from = {};
  send("id=1 name=a much longer name than the next");
  ASSERT_EQ(wait_for_reply(listener_, buffer, 64, 1000, &from), 1);
  send("id=2 name=b");
  ASSERT_EQ(wait_for_reply(listener_, buffer, 64, 1000, &from), 1);
  EXPECT_STREQ(buffer, "id=2 name=b");
  EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

  send(std::string("id=3\0name=c", 11));
  ASSERT_EQ(wait_for_reply(listener_, buffer, 64, 1000, &from), 1);
  empeg_info empeg = {};
  EXPECT_EQ(parse_reply(buffer, &empeg, &from), 0);

  send("");
  ASSERT_EQ(wait_for_reply(listener_, buffer, 64, 1000, &from), 1);
  EXPECT_STREQ(buffer, "");
}

TEST_F(Exchange, DatagramFillingTheBufferStaysTerminated) {
  char buffer[9];
  buffer[8] = '\0';
  sockaddr_in from = {};
  send("id=1name=abcdefgh");
  ASSERT_EQ(wait_for_reply(listener_, buffer, 8, 1000, &from), 1);
  EXPECT_STREQ(buffer, "id=1name");
}

double seconds_since(const timespec &start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

TEST_F(Exchange, TimeoutsEndTheWait) {
  char buffer[65] = {};
  sockaddr_in from = {};
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  EXPECT_EQ(wait_for_reply(listener_, buffer, 64, 1500, &from), 0);
  double waited = seconds_since(start);
  EXPECT_GE(waited, 1.4);
  // Only a wait far beyond the limit is a fault: a busy machine may add
  // seconds of its own.
  EXPECT_LT(waited, 10.0);

  // A negative timeout never blocks, even with a datagram waiting.
  send("id=1 name=a");
  clock_gettime(CLOCK_MONOTONIC, &start);
  EXPECT_EQ(wait_for_reply(listener_, buffer, 64, -1, &from), 0);
  EXPECT_LT(seconds_since(start), 10.0);
  // A timeout of 0 still takes the datagram that is queued.
  EXPECT_EQ(wait_for_reply(listener_, buffer, 64, 0, &from), 1);
  EXPECT_STREQ(buffer, "id=1 name=a");

  EXPECT_EQ(wait_for_reply(-1, buffer, 64, 1000, &from), 0);
}

// Over loopback alone: the address and the interface given are the ones
// used, and an interface that does not exist is refused with its reason.
TEST_F(Exchange, SendsOutOfTheInterfaceGivenFromTheAddressGiven) {
  const unsigned loopback = if_nametoindex("lo");
  if (loopback == 0) GTEST_SKIP() << "no interface named lo here";
  const char *failed = nullptr;
  char buffer[65] = {};
  sockaddr_in from = {};
  arrival where = {};
  ASSERT_EQ(platform_tell_arrival(listener_, &failed), 1);
  ASSERT_EQ(platform_send_out_of(sender_, "?", 2, &to_, loopback, host("127.0.0.5")), 1);
  ASSERT_EQ(wait_for_reply(listener_, buffer, 64, 5000, &from, &where), 1);
  EXPECT_EQ(ntohl(from.sin_addr.s_addr), host("127.0.0.5"));
  EXPECT_EQ(where.index, loopback);
  EXPECT_EQ(where.destination, host("127.0.0.1"));

  // The whole probe: its one datagram, out of an interface that does not
  // exist, fails, and the report names the send's own reason.
  const std::vector<host_address> gone = {
      entry("gone0", 999999, "127.1.0.1", 24, "127.1.0.255", IFF_UP | IFF_RUNNING | IFF_BROADCAST)};
  interface_list list = made_up_list(gone);
  in_addr probed = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_broadcast(sender_, "127.1.0.255", "?", 2, &list, &probed), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "sendto: No such device\n");
  forget_interfaces(&list);
}

TEST_F(Exchange, PortAlreadyTakenFailsToBind) {
  const int lowest_free = fcntl(listener_, F_DUPFD, 0);
  ASSERT_EQ(close(lowest_free), 0);
  EXPECT_EQ(open_listen_socket(ntohs(to_.sin_port)), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  // A socket left open would hold the lowest free descriptor.
  EXPECT_EQ(fcntl(lowest_free, F_GETFD), -1);
}

}  // namespace
