// SPDX-License-Identifier: MIT
#include "unitfind.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "discovery.h"
#include "hosts_file.h"

namespace {

// The largest datagram a unit's reply can be; one byte more stays zero so
// that the received text is always terminated.
constexpr size_t RECEIVE_CAPACITY = 65500;

// A host name for the hosts file must keep its entry on one line, and that
// line shorter than a piece whatever the unit's name, or later runs leave
// stale entries behind.
constexpr size_t HOST_NAME_MAX_LENGTH = 1024;

int is_valid_host_name(const char *name) {
  size_t length = strnlen(name, HOST_NAME_MAX_LENGTH + 1);
  if (length == 0 || length > HOST_NAME_MAX_LENGTH) return 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(name[i]);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return 0;
  }
  return 1;
}

// The wait for replies ends at a deadline on the monotonic clock, which a
// change of the system time does not move.
timespec deadline_after(int32_t seconds) {
  timespec deadline = {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  // Where time_t has 32 bits a long wait would wrap into the past: the
  // deadline stops at the latest time there is instead.
  const int64_t latest = sizeof(time_t) < sizeof(int64_t) ? INT32_MAX : INT64_MAX;
  const int64_t now = deadline.tv_sec;
  deadline.tv_sec = static_cast<time_t>(seconds > latest - now ? latest : now + seconds);
  return deadline;
}

// Milliseconds until `deadline`, rounded up so that a wait never ends before
// it; 0 once it has passed.
int64_t milliseconds_until(const timespec &deadline) {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t nanoseconds = (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1000000000 +
                        (deadline.tv_nsec - now.tv_nsec);
  return nanoseconds <= 0 ? 0 : (nanoseconds + 999999) / 1000000;
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
      fprintf(err, "Host file: %s\n", value);
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

int remember_sender(sender_record *heard, uint32_t address) {
  for (size_t i = 0; i < heard->count; ++i)
    if (heard->address[i] == address) return 0;
  if (heard->count == SENDERS_MAX) return 0;
  heard->address[heard->count++] = address;
  return 1;
}

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

int run_search(const search_settings *settings) {
  if ((settings->hosts_file == nullptr) != (settings->empeg_name == nullptr)) {
    fputs("Must have both a hosts filename and an empeg name!\n", stderr);
    return 1;
  }

  fprintf(stderr, "Broadcasting to: %s\n", settings->broadcast_address);
  int sock = open_listen_socket(DISCOVERY_PORT);
  if (sock == -1) {
    fputs("Unable to open listen socket.\n", stderr);
    return 1;
  }

  static const char probe[2] = {'?', '\0'};
  if (!send_broadcast(sock, settings->broadcast_address, probe, sizeof probe)) {
    fputs("Unable to send broadcast.\n", stderr);
    close(sock);
    return 1;
  }

  char buffer[RECEIVE_CAPACITY + 1];
  buffer[RECEIVE_CAPACITY] = '\0';
  sockaddr_in from = {};
  empeg_info empeg = {};
  sender_record heard = {};
  // Only a reply from a sender not heard before starts a fresh wait, so that
  // nothing else on the network can keep the run going.
  timespec deadline = deadline_after(settings->timeout);
  for (;;) {
    int64_t left_ms = milliseconds_until(deadline);
    if (left_ms == 0 ||
        !wait_for_reply(sock, buffer, RECEIVE_CAPACITY, left_ms, &from)) {
      printf("No more replies.  Giving up...\n");
      close(sock);
      return 0;
    }
    if (!parse_reply(buffer, &empeg, &from) || sent_by_this_host(&from)) continue;
    if (remember_sender(&heard, from.sin_addr.s_addr))
      deadline = deadline_after(settings->timeout);

    char shown_name[ESCAPED_NAME_SIZE];
    escape_name(empeg.name, shown_name);
    fprintf(stderr, "Found an empeg with serial %0d called \"%s\" at %d.%d.%d.%d\n",
            empeg.serial, shown_name, empeg.ip[0], empeg.ip[1], empeg.ip[2],
            empeg.ip[3]);
    if (settings->serial == 0 || settings->serial == empeg.serial) break;
  }

  if (settings->hosts_file != nullptr &&
      !update_hosts_file(settings->hosts_file, &empeg, settings->empeg_name,
                         settings->timeout))
    fprintf(stderr, "Unable to modify %s\n", settings->hosts_file);
  close(sock);
  return 0;
}

int unitfind_main(int argc, char **argv) {
  // A descriptor among 0-2 left closed by the caller would be taken by the
  // socket or a file, and messages meant for the terminal would go into it.
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) return 1;
  fputs("unitfind 1.0 - find a unit on the local network\n", stderr);
  search_settings settings = default_settings();
  if (!read_options(argc, argv, &settings, stderr)) return 1;
  return run_search(&settings);
}
