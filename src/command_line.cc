// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "hosts_file.h"
#include "text.h"
#include "unitfind_version.h"

namespace {

// A host name for the hosts file must keep its entry on one line, and that
// line short enough for every resolver to read it as one.
bool is_valid_host_name(const char *name) {
  size_t length = strnlen(name, HOSTS_NAME_MAX + 1);
  if (length == 0 || length > HOSTS_NAME_MAX) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(name[i]);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return false;
  }
  return true;
}

void print_usage(const char *program, FILE *err) {
  fprintf(err, "Usage: %s <options>\n", program != nullptr ? program : "unitfind");
  fputs("\n"
        "-b<addr>   - Set broadcast address e.g. 192.168.1.255\n"
        "-s<serial> - Set serial number to look for e.g. 12345678\n"
        "-n<name>   - Name to give empeg in hosts file e.g. player.example.com\n"
        "-h<file>   - Hosts file to edit\n"
        "-t<number> - Number of seconds before timing out\n",
        err);
}

// Acts on one option argument. Returns 1 to go on with the walk, 0 to end the
// run with status 1.
int read_option(const char *program, const char *argument,
                search_settings *settings, FILE *err) {
  const char *value = argument + 2;
  switch (argument[1]) {
    case 'b':
    case 'B':
      settings->broadcast_address = value;
      return 1;
    case 's':
    case 'S':
      settings->serial = read_decimal(value);
      if (settings->serial == 0) {
        fputs("Invalid serial number.\n", err);
        return 0;
      }
      fprintf(err, "Searching for serial number %d\n", settings->serial);
      return 1;
    case 'h':
    case 'H':
      if (*value == '\0') {
        fputs("Invalid hosts filename.\n", err);
        return 0;
      }
      settings->hosts_file = value;
      print_escaped(err, "Host file: ", value);
      return 1;
    case 'n':
    case 'N':
      if (!is_valid_host_name(value)) {
        fputs("Invalid empeg name.\n", err);
        return 0;
      }
      settings->empeg_name = value;
      fprintf(err, "Name to be give to empeg: %s\n", value);
      return 1;
    case 't':
    case 'T':
      settings->timeout = read_decimal(value);
      if (settings->timeout == 0) {
        fputs("Invalid timeout.\n", err);
        return 0;
      }
      fprintf(err, "Setting timeout to be %d second%s.\n", settings->timeout,
              settings->timeout == 1 ? "" : "s");
      return 1;
    case '?':
      print_usage(program, err);
      return 0;
    default:
      fprintf(err, "Unknown option: %s\n\n", argument);
      print_usage(program, err);
      return 0;
  }
}

}  // namespace

search_settings default_settings() {
  search_settings settings = {};
  settings.broadcast_address = "192.168.1.255";
  settings.serial = 0;
  settings.hosts_file = nullptr;
  settings.empeg_name = nullptr;
  settings.timeout = 5;
  return settings;
}

int read_options(int argc, char **argv, search_settings *settings, FILE *err) {
  const char *program = argc > 0 ? argv[0] : nullptr;
  for (int i = 1; i < argc; ++i) {
    const char *argument = argv[i];
    if (argument[0] != '-' || argument[1] == '\0') continue;
    if (!read_option(program, argument, settings, err)) return 0;
  }
  return 1;
}

int unitfind_main(int argc, char **argv) {
  // A descriptor among 0-2 left closed by the caller would be taken by the
  // socket or a file, and messages meant for the terminal would go into it.
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) return 1;
  fputs("unitfind " UNITFIND_VERSION " - find a unit on the local network\n", stderr);
  search_settings settings = default_settings();
  if (!read_options(argc, argv, &settings, stderr)) return 1;
  return run_search(&settings);
}
