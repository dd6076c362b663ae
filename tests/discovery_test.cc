// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "gtest/gtest.h"
#include "made_up_interfaces.h"
#include "platform.h"
#include "shared.h"

namespace {

// A reply gives the record its serial, its name and the sender's address;
// anything else leaves the record as it was.
struct reply_case {
  const char *name;
  std::string text;
  bool parsed;
  int32_t serial;  // 77, the record's before, where not parsed
  std::string shown = "";
};

void PrintTo(const reply_case &c, std::ostream *out) { *out << c.name; }

const reply_case REPLIES[] = {
    {"serial_then_name", "id=42name=x", true, 42, "x"},
    {"name_first", "name=unit id=7", true, 7, "unit id=7"},
    {"spaces_and_line_breaks", "id= 30100123\nname=Kitchen\n", true, 30100123, "Kitchen\n"},
    {"both_empty", "id=name=", true, 0, ""},
    {"host_name_first", "id=1 hostname=a name=b", true, 1, "a name=b"},
    {"negative_serial", "id=-12 name=neg", true, -12, "neg"},
    {"serial_saturates", "id=99999999999 name=big", true, 2147483647, "big"},
    {"long_name_cut_to_255_bytes", "id=3 name=" + std::string(300, 'n'), true, 3, std::string(255, 'n')},
    {"question", "?", false, 77},          {"empty", "", false, 77},
    {"serial_alone", "id=5", false, 77},   {"name_alone", "name=x", false, 77},
    {"upper_case", "ID=5 NAME=x", false, 77}, {"no_equals_signs", "id 5 name x", false, 77},
};

class ParseReply : public ::testing::TestWithParam<reply_case> {};

TEST_P(ParseReply, ReadsRepliesAndNothingElse) {
  const reply_case &c = GetParam();
  empeg_info empeg = {};
  empeg.serial = 77;
  sockaddr_in from = address_of("10.1.200.255");
  ASSERT_EQ(parse_reply(c.text.c_str(), &empeg, &from), c.parsed);
  EXPECT_EQ(empeg.serial, c.serial);
  EXPECT_EQ(std::string(empeg.name), c.shown);
  char ip[24];
  snprintf(ip, sizeof ip, "%d.%d.%d.%d", empeg.ip[0], empeg.ip[1], empeg.ip[2], empeg.ip[3]);
  EXPECT_STREQ(ip, c.parsed ? "10.1.200.255" : "0.0.0.0");
}

INSTANTIATE_TEST_SUITE_P(Discovery, ParseReply, ::testing::ValuesIn(REPLIES), row_name<reply_case>);

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
  ASSERT_TRUE(receive_datagram(listener_, buffer, 64, 1000, &from));
  send("id=2 name=b");
  ASSERT_TRUE(receive_datagram(listener_, buffer, 64, 1000, &from));
  EXPECT_STREQ(buffer, "id=2 name=b");
  EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

  send(std::string("id=3\0name=c", 11));
  ASSERT_TRUE(receive_datagram(listener_, buffer, 64, 1000, &from));
  empeg_info empeg = {};
  EXPECT_FALSE(parse_reply(buffer, &empeg, &from));

  send("");
  ASSERT_TRUE(receive_datagram(listener_, buffer, 64, 1000, &from));
  EXPECT_STREQ(buffer, "");
}

TEST_F(Exchange, DatagramFillingTheBufferStaysTerminated) {
  char buffer[9];
  buffer[8] = '\0';
  sockaddr_in from = {};
  send("id=1name=abcdefgh");
  ASSERT_TRUE(receive_datagram(listener_, buffer, 8, 1000, &from));
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
  EXPECT_FALSE(receive_datagram(listener_, buffer, 64, 1500, &from));
  double waited = seconds_since(start);
  EXPECT_GE(waited, 1.4);
  // Only a wait far beyond the limit is a fault: a busy machine may add
  // seconds of its own.
  EXPECT_LT(waited, 10.0);

  // A negative timeout never blocks, even with a datagram waiting.
  send("id=1 name=a");
  clock_gettime(CLOCK_MONOTONIC, &start);
  EXPECT_FALSE(receive_datagram(listener_, buffer, 64, -1, &from));
  EXPECT_LT(seconds_since(start), 10.0);
  // A timeout of 0 still takes the datagram that is queued.
  EXPECT_TRUE(receive_datagram(listener_, buffer, 64, 0, &from));
  EXPECT_STREQ(buffer, "id=1 name=a");

  EXPECT_FALSE(receive_datagram(-1, buffer, 64, 1000, &from));
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
  ASSERT_TRUE(receive_datagram(listener_, buffer, 64, 5000, &from, &where));
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
  EXPECT_EQ(send_probe(sender_, "127.1.0.255", "?", 2, &list, &probed), 0);
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
