// SPDX-License-Identifier: MIT
#include "hosts_file.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "piece_model.h"
#include "shared.h"

namespace {

empeg_info unit(int serial, const char *name = "Kitchen") {
  empeg_info empeg = {{}, serial, {10, 77, 0, 11}};
  snprintf(empeg.name, sizeof empeg.name, "%s", name);
  return empeg;
}

std::string entry_for(const empeg_info &empeg, const char *host = "player") {
  char line[2048];
  format_entry(&empeg, host, line, sizeof line);
  return line;
}

std::string read_fd(int fd) {
  std::string data;
  char chunk[65536];
  lseek(fd, 0, SEEK_SET);
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) data.append(chunk, static_cast<size_t>(got));
  return data;
}

struct rewritten {
  int result;
  std::string out;
  std::string messages;
};

rewritten rewrite(const std::string &in, const empeg_info &empeg,
                  const std::string &host = "player") {
  int in_fd = memfd_create("hosts", 0);
  int out_fd = memfd_create("copy", 0);
  EXPECT_EQ(write(in_fd, in.data(), in.size()), static_cast<ssize_t>(in.size()));
  lseek(in_fd, 0, SEEK_SET);
  rewritten r;
  r.messages = written([&](FILE *err) {
    r.result = rewrite_hosts(in_fd, out_fd, &empeg, host.c_str(), "/etc/hosts", err);
  });
  r.out = read_fd(out_fd);
  close(in_fd);
  close(out_fd);
  return r;
}

const char APPENDING[] = "Appending entry for player to /etc/hosts\n";
const char MODIFYING[] = "Modifying entry for player in /etc/hosts\n";

TEST(FormatEntry, WritesTheHostsLineWithItsMarker) {
  EXPECT_EQ(entry_for(unit(30100123)),
            "10.77.0.11 player # Empeg: Serial=30100123 Name=Kitchen "
            "[EMPEG-30100123-EMPEG]\n");
  EXPECT_EQ(entry_for(unit(-4, "evil\n127.0.0.1 bank")),
            "10.77.0.11 player # Empeg: Serial=-4 Name=evil\\n127.0.0.1 bank "
            "[EMPEG--4-EMPEG]\n");
}

// A reader that takes a line in pieces of 255 bytes (avahi-daemon) must find
// nothing the unit sent in a second piece: whatever the name and the host
// name, the unit's text ends before byte 255, is cut only between whole
// escapes or characters, and no further than the room demands, and the marker
// stays whole.
TEST(FormatEntry, NoTextOfTheUnitAtOrPastByte255) {
  const size_t PIECE = 255;
  // Units of escaping of 1, 4, 2, 12 (a bidirectional override, escaped byte
  // by byte) and 4 bytes.
  for (const char *repeated : {"a", "\x01", "\xc3\xa9", "\xe2\x80\xae", "\xff"}) {
    char unit_shown[ESCAPED_NAME_SIZE];
    escape_name(repeated, unit_shown);
    const size_t unit_length = strlen(unit_shown);
    for (size_t name_length : {1, 100, 178, 179, 255}) {
      std::string name;
      while (name.size() < name_length) name += repeated;
      name.resize(name_length);
      for (size_t host_length : {size_t{10}, size_t{60}, size_t{178}, size_t{200}, HOSTS_NAME_MAX}) {
        for (bool widest : {false, true}) {
          empeg_info empeg = unit(30100123, name.c_str());
          if (widest) {
            empeg.serial = INT32_MIN;
            empeg.ip[0] = empeg.ip[1] = empeg.ip[2] = empeg.ip[3] = 255;
          }
          const std::string host(host_length, 'h');
          const std::string line = entry_for(empeg, host.c_str());
          const std::string what = std::string(repeated) + " x" + std::to_string(name_length) +
                                   ", host " + std::to_string(host_length) +
                                   (widest ? ", widest" : "");
          char marker[HOSTS_MARKER_SIZE];
          format_marker(empeg.serial, marker);
          const std::string tail = std::string(" [") + marker + "]\n";
          ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << what;
          const size_t start = line.find(" Name=") + 6;
          std::string shown = line.substr(start, line.size() - tail.size() - start);
          const size_t others = line.size() - shown.size();
          char whole[ESCAPED_NAME_SIZE];
          escape_name(empeg.name, whole);
          if (others + strlen(whole) <= PIECE) {
            EXPECT_EQ(shown, whole) << what;
          } else if (others + 3 <= PIECE) {
            ASSERT_GE(shown.size(), 3U) << what;
            EXPECT_EQ(shown.substr(shown.size() - 3), "...") << what;
            shown.resize(shown.size() - 3);
            EXPECT_EQ(std::string(whole).find(shown), 0U) << what;
            EXPECT_EQ(shown.size() % unit_length, 0U) << what;
            EXPECT_LE(line.size(), PIECE) << what;
            EXPECT_GT(line.size() + unit_length, PIECE) << what;
          } else {
            EXPECT_EQ(shown, "") << what;
          }
          if (host_length <= 178) {
            EXPECT_LE(line.size(), PIECE) << what;
          }
        }
      }
    }
  }
}

struct rewrite_case {
  const char *name;
  std::string in, out, messages;
  std::string unit_name = "Kitchen";
  std::string host = "player";
};

void PrintTo(const rewrite_case &c, std::ostream *out) { *out << c.name; }

std::vector<rewrite_case> rewrite_cases() {
  const empeg_info empeg = unit(12);
  const std::string entry = entry_for(empeg);
  const std::string big(20000, 'x');
  // The entry of unit 12 at 10.77.0.11 takes 60 bytes with host "player"
  // and an empty name, so 195 are left for the name.
  const std::string fields = " # Empeg: Serial=12 Name=";
  const std::string marker = " [EMPEG-12-EMPEG]\n";
  const std::string host_192(192, 'h'), host_200(200, 'h');
  return {
      {"empty_file", "", "\n" + entry, APPENDING},
      {"no_marker", "127.0.0.1 localhost\n", "127.0.0.1 localhost\n\n" + entry, APPENDING},
      {"last_line_unterminated", "127.0.0.1 localhost",
       "127.0.0.1 localhost\n" + entry, APPENDING},
      {"replaced_in_place", "a\n1.2.3.4 old # [EMPEG-12-EMPEG]\nb\n", "a\n" + entry + "b\n",
       MODIFYING},
      {"every_duplicate_replaced", "EMPEG-12-EMPEG\nmid\nxEMPEG-12-EMPEGx",
       entry + "mid\n" + entry, std::string(MODIFYING) + MODIFYING},
      {"carriage_return_kept", "a\r\nx EMPEG-12-EMPEG y\r\nEMPEG-12-EMPEG\r",
       "a\r\n" + entry.substr(0, entry.size() - 1) + "\r\n" + entry, std::string(MODIFYING) + MODIFYING},
      // Only a piece that ends in CR LF is a CRLF line: not one that stops
      // short of its line break, at the end of the file or of a piece.
      {"carriage_return_before_the_end_of_a_piece", "EMPEG-12-EMPEG\rz",
       entry, MODIFYING},
      {"carriage_return_before_a_piece_boundary",
       std::string(8178, 'x') + "EMPEG-12-EMPEG\rzrest\r\n", entry + "rest\r\n", MODIFYING},
      {"other_serial_untouched", "1.1.1.1 u # [EMPEG-123-EMPEG]\n",
       "1.1.1.1 u # [EMPEG-123-EMPEG]\n\n" + entry, APPENDING},
      {"zero_bytes_pass_through", std::string("a\0b\nc\0\n", 7),
       std::string("a\0b\nc\0\n\n", 8) + entry, APPENDING},
      {"marker_after_a_zero_byte", std::string("x\0 EMPEG-12-EMPEG\ny\n", 20), entry + "y\n",
       MODIFYING},
      {"long_line_passes_whole", big + "\n", big + "\n\n" + entry, APPENDING},
      // 8194-byte pieces: the marker ends on the first boundary, or straddles it.
      {"marker_ending_a_piece", std::string(8180, 'x') + "EMPEG-12-EMPEGz\n", entry + "z\n",
       MODIFYING},
      {"marker_a_byte_past_a_piece", std::string(8181, 'x') + "EMPEG-12-EMPEG\n",
       std::string(8181, 'x') + "EMPEG-12-EMPEG\n\n" + entry, APPENDING},
      {"marker_across_a_piece_boundary", std::string(8190, 'x') + "EMPEG-12-EMPEG\n",
       std::string(8190, 'x') + "EMPEG-12-EMPEG\n\n" + entry, APPENDING},
      {"marker_in_a_later_piece_of_a_long_line",
       std::string(8194, 'x') + "EMPEG-12-EMPEG" + std::string(10, 'y') + "\nz\n",
       std::string(8194, 'x') + entry + "z\n", MODIFYING},
      // Entry lines stop at 255 bytes, the name cut to fill them.
      {"a_longer_entry_line_replaced_by_one_of_255_bytes",
       "10.77.0.11 player" + fields + std::string(400, 'n') + marker + "after\n",
       "10.77.0.11 player" + fields + std::string(192, 'n') + "..." + marker + "after\n",
       MODIFYING, std::string(255, 'n')},
      {"a_name_that_just_fits", "",
       "\n10.77.0.11 player" + fields + std::string(195, 'n') + marker, APPENDING,
       std::string(195, 'n')},
      {"a_name_a_byte_too_long", "",
       "\n10.77.0.11 player" + fields + std::string(192, 'n') + "..." + marker, APPENDING,
       std::string(196, 'n')},
      {"cut_between_escapes", "",
       "\n10.77.0.11 " + host_192 + fields + "\\x01..." + marker,
       "Appending entry for " + host_192 + " to /etc/hosts\n", std::string(10, '\x01'), host_192},
      {"no_room_for_the_name", "",
       "\n10.77.0.11 " + host_200 + fields + marker,
       "Appending entry for " + host_200 + " to /etc/hosts\n", "Kitchen", host_200},
  };
}

class RewriteHosts : public ::testing::TestWithParam<rewrite_case> {};

TEST_P(RewriteHosts, Cases) {
  const rewrite_case &c = GetParam();
  rewritten r = rewrite(c.in, unit(12, c.unit_name.c_str()), c.host);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.messages, c.messages);
}

INSTANTIATE_TEST_SUITE_P(Hosts, RewriteHosts, ::testing::ValuesIn(rewrite_cases()), row_name<rewrite_case>);

TEST(RewriteHosts, MatchesThePieceRuleOnRandomFiles) {
  const empeg_info empeg = unit(12);
  const std::string entry = entry_for(empeg);
  const std::string pieces[] = {"EMPEG-12-EMPEG", "EMPEG-123-EMPEG", "\n", std::string(1, '\0'),
                                "0.0.0.0 ad.example.com\r\n"};
  std::mt19937 random(20261208);
  for (int round = 0; round < 60; ++round) {
    // Some files outgrow the copy buffer so that markers meet its edges.
    size_t size = round % 10 == 0 ? 3u << 20 : random() % 40000;
    std::string in;
    while (in.size() < size) {
      unsigned pick = random() % 100;
      if (pick < 3)
        in += pieces[random() % 5];
      else if (pick < 6)
        in.append(HOSTS_PIECE_MAX - random() % 20, 'l');
      else
        in.append(random() % 60, static_cast<char>('a' + random() % 26));
    }
    // Land a marker about the first piece boundary of the next line, a byte
    // further each round: ending on it, a byte past it, starting on it.
    in += '\n';
    in.append(HOSTS_PIECE_MAX - 17 + round % 20, 'p');
    in += "EMPEG-12-EMPEG";

    int expected_count = 0;
    std::string expected = piece_by_piece(in, "EMPEG-12-EMPEG", entry, &expected_count);
    rewritten r = rewrite(in, empeg);
    ASSERT_EQ(r.result, 1);
    ASSERT_TRUE(r.out == expected) << "round " << round << " size " << in.size();
    std::string messages;
    for (int i = 0; i < expected_count; ++i) messages += MODIFYING;
    if (expected_count == 0) messages = APPENDING;
    ASSERT_EQ(r.messages, messages) << "round " << round;
  }
}

}  // namespace
