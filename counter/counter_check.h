// vistrelctl check: what a visit needs, one line each, "ok: ", "fault: " or
// "note: " and the finding in words: the counter folder and the folders above
// it, each counter's owner and mode, the servers that have vistrel enabled and
// how, and a view (a request that counts nothing) sent the way each server
// sends it. Returns 0 only when a visit would count.
#pragma once

#include <string>
#include <vector>

struct CheckPlaces {
  std::string counterFolder;  // absolute; the current directory
  std::string root;           // prefixed to the servers' files and sockets; empty: /
  std::string program;        // the installed vistrel, the CGI programs' and mod_fcgid's
};

int checkCounters(const CheckPlaces& places, const std::vector<std::string>& counterIds);
