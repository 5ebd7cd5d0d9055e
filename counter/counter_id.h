// Which counter a request names.
#pragma once

#include <string>

// The counter id from the request's cid: an id longer than 2 bytes selects counter "1".
std::string effectiveCounterId(const std::string& cid);

// Whether the id may become part of a file name: it must not reach outside the
// working directory ("/", "\") nor be cut short by a zero byte.
bool isUsableCounterId(const std::string& counterId);
