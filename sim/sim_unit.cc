// SPDX-License-Identifier: MIT
// A simulated unit for tests, the demo and benchmarks. It binds the discovery
// port, waits for one probe and answers the probe's sender with the datagrams
// its actions name, in order:
//
//   send:TEXT       one datagram; TEXT may use \n \r \t \\ \0 and \xHH
//   flood:N:TEXT    N such datagrams
//   sleep:MS        a pause
//   pace:N          at most N datagrams a second from here on (0: no limit),
//                   so that a flood can be kept within what a listener drains
//
// Options: -r FILE creates FILE once the port is bound, -l FILE appends the
// probe's bytes in hex to FILE, -w SECONDS gives up waiting for a probe (exit
// 2), and -k keeps the port bound for that long without answering. -a ADDR
// sends from ADDR. -d ADDR plays a program posing as a unit: it sends its
// datagrams to the discovery port of ADDR at once, from a port of the
// system's choosing, without waiting for a probe.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

constexpr unsigned short PORT = 8300;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const char *text) {
  std::string out;
  for (; *text != '\0'; ++text) {
    if (*text != '\\' || text[1] == '\0') {
      out += *text;
      continue;
    }
    ++text;
    switch (*text) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x':
        if (hex_digit(text[1]) >= 0 && hex_digit(text[2]) >= 0) {
          out += static_cast<char>(hex_digit(text[1]) * 16 + hex_digit(text[2]));
          text += 2;
          break;
        }
        out += "\\x";
        break;
      default: out += *text;
    }
  }
  return out;
}

void sleep_ms(long ms) {
  timespec pause = {ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

// The spacing that pace: sets, and when the next datagram may go. Datagrams
// keep to a fixed schedule, so a late wake-up is made up by the ones after it
// instead of lowering the rate.
long pace_interval_ns = 0;
timespec next_send = {};

void wait_for_turn() {
  if (pace_interval_ns == 0) return;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next_send, nullptr) == EINTR) {
  }
  next_send.tv_nsec += pace_interval_ns;
  next_send.tv_sec += next_send.tv_nsec / 1000000000;
  next_send.tv_nsec %= 1000000000;
}

void set_pace(long per_second) {
  pace_interval_ns = per_second > 0 ? 1000000000 / per_second : 0;
  clock_gettime(CLOCK_MONOTONIC, &next_send);
}

int send_text(int sock, const sockaddr_in &to, const std::string &text) {
  wait_for_turn();
  if (sendto(sock, text.data(), text.size(), 0,
             reinterpret_cast<const sockaddr *>(&to), sizeof to) == -1) {
    perror("sim_unit: sendto");
    return 0;
  }
  return 1;
}

int run_action(int sock, const sockaddr_in &to, const char *action) {
  if (strncmp(action, "send:", 5) == 0) return send_text(sock, to, unescape(action + 5));
  if (strncmp(action, "sleep:", 6) == 0) {
    sleep_ms(atol(action + 6));
    return 1;
  }
  if (strncmp(action, "pace:", 5) == 0) {
    set_pace(atol(action + 5));
    return 1;
  }
  if (strncmp(action, "flood:", 6) == 0) {
    char *rest = nullptr;
    long count = strtol(action + 6, &rest, 10);
    if (*rest != ':') return 0;
    std::string text = unescape(rest + 1);
    for (long i = 0; i < count; ++i)
      if (!send_text(sock, to, text)) return 0;
    return 1;
  }
  fprintf(stderr, "sim_unit: unknown action %s\n", action);
  return 0;
}

// Exit status 0 when every action succeeded, 2 otherwise.
int run_actions(int sock, const sockaddr_in &to, char **actions, int count) {
  for (int i = 0; i < count; ++i)
    if (!run_action(sock, to, actions[i])) return 2;
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *ready_file = nullptr;
  const char *log_file = nullptr;
  int wait_seconds = 10;
  bool keep = false;
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(PORT);
  sockaddr_in to = {};
  int option;
  while ((option = getopt(argc, argv, "r:l:w:ka:d:")) != -1) {
    switch (option) {
      case 'r': ready_file = optarg; break;
      case 'l': log_file = optarg; break;
      case 'w': wait_seconds = atoi(optarg); break;
      case 'k': keep = true; break;
      case 'a': inet_pton(AF_INET, optarg, &local.sin_addr); break;
      case 'd':
        inet_pton(AF_INET, optarg, &to.sin_addr);
        to.sin_family = AF_INET;
        to.sin_port = htons(PORT);
        local.sin_port = 0;
        break;
      default:
        fprintf(stderr,
                "usage: %s [-r file] [-l file] [-w seconds] [-k] [-a addr] [-d addr] "
                "action...\n",
                argv[0]);
        return 2;
    }
  }

  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  // A program posing as a unit may send to a broadcast address.
  int on = 1;
  if (sock == -1 || setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == -1 ||
      bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) == -1) {
    perror("sim_unit: bind");
    return 2;
  }
  if (ready_file != nullptr) {
    int fd = open(ready_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd != -1) close(fd);
  }
  if (keep) {
    sleep_ms(wait_seconds * 1000L);
    return 0;
  }
  if (to.sin_family == AF_INET) return run_actions(sock, to, argv + optind, argc - optind);

  pollfd readable = {sock, POLLIN, 0};
  if (poll(&readable, 1, wait_seconds * 1000) != 1) {
    fprintf(stderr, "sim_unit: no probe within %d s\n", wait_seconds);
    return 2;
  }
  unsigned char probe[64];
  sockaddr_in from = {};
  socklen_t from_length = sizeof from;
  ssize_t got = recvfrom(sock, probe, sizeof probe, 0,
                         reinterpret_cast<sockaddr *>(&from), &from_length);
  if (got < 0) {
    perror("sim_unit: recvfrom");
    return 2;
  }
  if (log_file != nullptr) {
    FILE *log = fopen(log_file, "a");
    if (log != nullptr) {
      for (ssize_t i = 0; i < got; ++i) fprintf(log, "%02x", probe[i]);
      fprintf(log, " from %s:%d\n", inet_ntoa(from.sin_addr), ntohs(from.sin_port));
      fclose(log);
    }
  }
  int status = run_actions(sock, from, argv + optind, argc - optind);
  close(sock);
  return status;
}
