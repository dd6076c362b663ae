// SPDX-License-Identifier: MIT
// One unit as its reply describes it: read from the network by the discovery
// exchange, shown by the search and written out by the hosts file update,
// which needs nothing else of the socket layer.
#ifndef UNITFIND_EMPEG_INFO_H_
#define UNITFIND_EMPEG_INFO_H_

#include <stdint.h>

#include "text.h"

/// One unit, as its reply describes it.
struct empeg_info {
  char name[EMPEG_NAME_MAX + 1];  // raw bytes from the reply, zero-terminated
  int32_t serial;
  uint16_t ip[4];  // sender's address, most significant octet first
};

#endif  // UNITFIND_EMPEG_INFO_H_
