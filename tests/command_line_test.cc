// SPDX-License-Identifier: MIT
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "command_line.h"
#include "shared.h"

namespace {

const char USAGE[] =
    "Usage: unitfind <options>\n"
    "\n"
    "-b<addr>   - Set broadcast address e.g. 192.168.1.255\n"
    "-s<serial> - Set serial number to look for e.g. 12345678\n"
    "-n<name>   - Name to give empeg in hosts file e.g. player.example.com\n"
    "-h<file>   - Hosts file to edit\n"
    "-t<number> - Number of seconds before timing out\n";

struct walk {
  std::vector<std::string> args;  // the settings' texts point into these
  int result;
  std::string err;
  search_settings settings;
};

walk read_all(std::vector<std::string> args) {
  walk out;
  out.args = std::move(args);
  out.args.insert(out.args.begin(), "unitfind");
  std::vector<char *> argv;
  for (std::string &arg : out.args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  out.settings = default_settings();
  out.err = written([&](FILE *err) {
    out.result = read_options(static_cast<int>(out.args.size()), argv.data(), &out.settings, err);
  });
  return out;
}

TEST(ReadOptions, NoArgumentsKeepsDefaults) {
  walk w = read_all({});
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.err, "");
  EXPECT_STREQ(w.settings.broadcast_address, "192.168.1.255");
  EXPECT_EQ(w.settings.serial, 0);
  EXPECT_EQ(w.settings.timeout, 5);
  EXPECT_EQ(w.settings.hosts_file, nullptr);
  EXPECT_EQ(w.settings.empeg_name, nullptr);
}

struct rejection {
  std::vector<std::string> args;
  std::string err;
};

TEST(ReadOptions, RejectionsPrintTheirMessageAndStop) {
  const rejection cases[] = {
      {{"-?"}, USAGE},
      {{"-?anything"}, USAGE},
      {{"-x"}, std::string("Unknown option: -x\n\n") + USAGE},
      {{"-1"}, std::string("Unknown option: -1\n\n") + USAGE},
      {{"-u"}, std::string("Unknown option: -u\n\n") + USAGE},
      {{"--"}, std::string("Unknown option: --\n\n") + USAGE},
      {{"-h"}, "Invalid hosts filename.\n"},
      {{"-H"}, "Invalid hosts filename.\n"},
      {{"-n"}, "Invalid empeg name.\n"},
      {{"-nplayer\n10.6.6.6"}, "Invalid empeg name.\n"},
      {{"-N\x01"}, "Invalid empeg name.\n"},
      {{"-nab\x1f"}, "Invalid empeg name.\n"},
      {{"-na\rb"}, "Invalid empeg name.\n"},
      {{"-na\x7f"}, "Invalid empeg name.\n"},
      {{"-n" + std::string(254, 'a')}, "Invalid empeg name.\n"},
      {{"-s0"}, "Invalid serial number.\n"},
      {{"-sabc"}, "Invalid serial number.\n"},
      {{"-s"}, "Invalid serial number.\n"},
      {{"-t0"}, "Invalid timeout.\n"},
      {{"-T"}, "Invalid timeout.\n"},
      // The walk ends at the first rejection: nothing after it is looked at.
      {{"-sabc", "-x"}, "Invalid serial number.\n"},
      {{"-t2", "-h", "-x"}, "Setting timeout to be 2 seconds.\nInvalid hosts filename.\n"},
  };
  for (const rejection &c : cases) {
    walk w = read_all(c.args);
    EXPECT_EQ(w.result, 0) << c.args[0];
    EXPECT_EQ(w.err, c.err) << c.args[0];
  }
}

TEST(ReadOptions, ConfirmationsInArgumentOrder) {
  // Host names keep spaces and tabs (aliases) and any byte above 0x7f.
  const std::string name = "player alias\tK\xc3\xbc\xff" + std::string(236, 'a');
  // A path is shown whole, however long, escaped as a unit's name is.
  const std::string dir = "/" + std::string(300, 'd');
  walk w = read_all({"word", "-", "-B10.0.0.255", "-S42", "-h" + dir + "/ho\nsts", "-N" + name,
                     "-t1", "-t-3", "-s12ab", "-b"});
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.err,
            "Searching for serial number 42\n"
            "Host file: " + dir + "/ho\\nsts\n"
            "Name to be give to empeg: " + name + "\n"
            "Setting timeout to be 1 second.\n"
            "Setting timeout to be -3 seconds.\n"
            "Searching for serial number 12\n");
  EXPECT_STREQ(w.settings.broadcast_address, "");
  EXPECT_EQ(w.settings.serial, 12);
  EXPECT_EQ(w.settings.timeout, -3);
  EXPECT_NE(w.settings.hosts_file, nullptr);
  EXPECT_NE(w.settings.empeg_name, nullptr);
}

TEST(ReadOptions, ValueIsNeverTakenFromTheNextArgument) {
  walk w = read_all({"-b", "10.0.0.255", "-t", "7"});
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.err, "Invalid timeout.\n");
  EXPECT_STREQ(w.settings.broadcast_address, "");
}

TEST(ReadOptions, OutOfRangeNumbersSaturate) {
  walk w = read_all({"-s99999999999", "-t-99999999999"});
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.settings.serial, 2147483647);
  EXPECT_EQ(w.settings.timeout, -2147483647 - 1);
  EXPECT_EQ(w.err,
            "Searching for serial number 2147483647\n"
            "Setting timeout to be -2147483648 seconds.\n");
}

}  // namespace
