// SPDX-License-Identifier: MIT
// Holds rewrite_hosts to the piece rule (tests/piece_model.h) on arbitrary
// hosts files.
//
// Input: one settings byte, one byte giving the length of the unit's name (up
// to 63), the name, then the hosts file. Settings bits 0-1 pick the serial,
// bits 3-4 the host name, and bit 2 makes the file compact: there
//   0xF0 N C    is byte C repeated HOSTS_PIECE_MAX - N times,
//   0xF1 H L C  is byte C repeated H * 256 + L times,
//   0xF2        is the unit's marker,
//   0xF3 C      is byte C itself,
//   0xF4 K C    is byte C repeated K * 65536 times,
// and any other byte is itself, so that lines that end, or markers that sit,
// near a piece's boundary cost a few input bytes. A compact file stops growing
// at COMPACT_MAX bytes.
//
// Built with FUZZ_PAST_THE_BUFFER (rewrite_hosts_block_fuzz), compact files
// may grow to twice the copy buffer (256 KiB) so that markers meet its edge
// after a refill. Each such file takes many times as long to check, so they
// have a target of their own rather than slowing this one down.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "hosts_file.h"
#include "piece_model.h"

namespace {

#ifdef FUZZ_PAST_THE_BUFFER
constexpr size_t COMPACT_MAX = (512 << 10) + (48 << 10);
#else
constexpr size_t COMPACT_MAX = 48 << 10;  // a few pieces
#endif

const int32_t SERIALS[] = {12, 1, -4, INT32_MIN};
const char *const HOST_NAMES[] = {"player", "player.lan", "h",
                                  "a-rather-long-name-for-a-player.example.com"};
const char HOSTS_PATH[] = "/etc/hosts";

void require(bool holds) {
  if (!holds) abort();
}

// Writes into `out`, whose storage is kept from one input to the next: fresh
// megabytes cost more page faults than the check itself.
void expand(const uint8_t *data, size_t size, const std::string &marker,
            std::string *out) {
  out->clear();
  auto repeat = [&](size_t count, uint8_t byte) {
    out->append(std::min(count, COMPACT_MAX - std::min(out->size(), COMPACT_MAX)),
                static_cast<char>(byte));
  };
  for (size_t i = 0; i < size && out->size() < COMPACT_MAX;) {
    uint8_t op = data[i];
    if (op == 0xf0 && i + 2 < size) {
      repeat(HOSTS_PIECE_MAX - data[i + 1], data[i + 2]);
      i += 3;
    } else if (op == 0xf1 && i + 3 < size) {
      repeat(static_cast<size_t>(data[i + 1]) << 8 | data[i + 2], data[i + 3]);
      i += 4;
    } else if (op == 0xf2) {
      *out += marker;
      i += 1;
    } else if (op == 0xf3 && i + 1 < size) {
      *out += static_cast<char>(data[i + 1]);
      i += 2;
    } else if (op == 0xf4 && i + 2 < size) {
      repeat(static_cast<size_t>(data[i + 1]) << 16, data[i + 2]);
      i += 3;
    } else {
      *out += static_cast<char>(op);
      i += 1;
    }
  }
}

void fill(int fd, const std::string &data) {
  require(ftruncate(fd, 0) == 0);
  for (size_t done = 0; done < data.size();) {
    ssize_t wrote = pwrite(fd, data.data() + done, data.size() - done,
                           static_cast<off_t>(done));
    require(wrote > 0);
    done += static_cast<size_t>(wrote);
  }
  require(lseek(fd, 0, SEEK_SET) == 0);
}

void read_back(int fd, std::string *data) {
  struct stat st;
  require(fstat(fd, &st) == 0);
  data->resize(static_cast<size_t>(st.st_size));
  for (size_t done = 0; done < data->size();) {
    ssize_t got = pread(fd, &(*data)[done], data->size() - done, static_cast<off_t>(done));
    require(got > 0);
    done += static_cast<size_t>(got);
  }
}

size_t count_of(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size()))
    ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const int in = memfd_create("hosts", MFD_CLOEXEC);
  static const int out = memfd_create("copy", MFD_CLOEXEC);
  require(in != -1 && out != -1);
  if (size < 2) return 0;

  const uint8_t settings = data[0];
  const size_t name_length = std::min<size_t>(data[1] & 0x3f, size - 2);
  empeg_info empeg = {};
  memcpy(empeg.name, data + 2, name_length);
  empeg.serial = SERIALS[settings & 3];
  empeg.ip[0] = 10;
  empeg.ip[1] = 77;
  empeg.ip[2] = 0;
  empeg.ip[3] = settings;
  const char *host_name = HOST_NAMES[(settings >> 3) & 3];
  data += 2 + name_length;
  size -= 2 + name_length;

  char marker_text[HOSTS_MARKER_SIZE];
  format_marker(empeg.serial, marker_text);
  const std::string marker = marker_text;
  static std::string file;
  if (settings & 4)
    expand(data, size, marker, &file);
  else
    file.assign(reinterpret_cast<const char *>(data), size);

  std::string entry(format_entry(&empeg, host_name, nullptr, 0) + 1, '\0');
  entry.resize(format_entry(&empeg, host_name, &entry[0], entry.size()));
  // Whatever the unit calls itself, its entry is one line that carries its
  // marker, short enough for every reader to take whole: the host names here
  // leave room for that.
  require(!entry.empty() && entry.back() == '\n' && entry.size() <= HOSTS_LINE_MAX);
  for (size_t i = 0; i + 1 < entry.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(entry[i]);
    require(byte >= 0x20 && byte != 0x7f);
  }
  require(entry.find(marker) != std::string::npos);

  fill(in, file);
  fill(out, "");
  char *messages = nullptr;
  size_t messages_size = 0;
  FILE *err = open_memstream(&messages, &messages_size);
  require(err != nullptr);
  int result = rewrite_hosts(in, out, &empeg, host_name, HOSTS_PATH, err);
  require(fclose(err) == 0);
  const std::string said(messages, messages_size);
  free(messages);
  require(result == 1);

  int replaced = 0;
  const std::string expected = piece_by_piece(file, marker, entry, &replaced);
  static std::string written;
  read_back(out, &written);
  require(written == expected);

  // Each entry written stands whole in the new file, ended by a line break
  // or, where it replaced a CRLF line, a carriage return and one.
  const size_t entries = replaced == 0 ? 1 : static_cast<size_t>(replaced);
  require(count_of(written, entry.substr(0, entry.size() - 1)) >= entries);

  std::string announced;
  if (replaced == 0)
    announced = std::string("Appending entry for ") + host_name + " to " + HOSTS_PATH + "\n";
  for (int i = 0; i < replaced; ++i)
    announced += std::string("Modifying entry for ") + host_name + " in " + HOSTS_PATH + "\n";
  require(said == announced);
  return 0;
}
