// SPDX-License-Identifier: MIT
// The hosts file rule applied one piece at a time, as plainly as it can be
// said, for the unit tests and the fuzzer to hold rewrite_hosts against.
#ifndef UNITFIND_TESTS_PIECE_MODEL_H_
#define UNITFIND_TESTS_PIECE_MODEL_H_

#include <stddef.h>

#include <algorithm>
#include <string>

#include "hosts_file.h"

/// What rewrite_hosts should write for the file `in`: every piece that holds
/// `marker` becomes `entry` (ending in a carriage return and a line break
/// where the piece did), and `entry` follows a line break at the end when no
/// piece does. Stores the number of pieces replaced in `*replaced`.
inline std::string piece_by_piece(const std::string &in, const std::string &marker,
                                  const std::string &entry, int *replaced) {
  std::string out;
  *replaced = 0;
  for (size_t at = 0; at < in.size();) {
    size_t newline = in.find('\n', at);
    size_t end = newline == std::string::npos ? in.size() : newline + 1;
    end = std::min(end, at + HOSTS_PIECE_MAX);
    std::string piece = in.substr(at, end - at);
    if (piece.find(marker) != std::string::npos) {
      bool crlf = piece.size() >= 2 && piece.compare(piece.size() - 2, 2, "\r\n") == 0;
      out += crlf ? entry.substr(0, entry.size() - 1) + "\r\n" : entry;
      ++*replaced;
    } else {
      out += piece;
    }
    at = end;
  }
  if (*replaced == 0) out += "\n" + entry;
  return out;
}

#endif  // UNITFIND_TESTS_PIECE_MODEL_H_
