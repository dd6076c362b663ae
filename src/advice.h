// SPDX-License-Identifier: MIT
// What a person is told after a search that heard no unit: the networks
// this host had when the probe went out, and what the probe can have met.
#ifndef UNITFIND_ADVICE_H_
#define UNITFIND_ADVICE_H_

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>

#include "interfaces.h"

/// What became of a probe.
struct probe_report {
  const char *text;  // the -b value as given
  in_addr probed;    // what it was looked up as; 0.0.0.0 when the lookup failed
  int sent;          // whether any datagram of it left
  int32_t timeout;   // the -t value
};

/// Writes the advice to `err`: one line for each network of `probed_list`
/// (the interfaces read when the probe was sent) that an interface that is up has,
/// with the -b value that probes it and whether it has a link; then what the
/// probed address was (the broadcast address of which of them, a single
/// host, this host itself, nothing at all), and where the probe left, the
/// causes that can apply. Writes nothing when the list could not be read,
/// which was reported then.
void say_where_to_look(FILE *err, const interface_list *probed_list, const probe_report *report);

#endif  // UNITFIND_ADVICE_H_
