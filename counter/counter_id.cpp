#include "counter/counter_id.h"

std::string effectiveCounterId(const std::string& cid) { return cid.size() > 2 ? std::string("1") : cid; }

bool isUsableCounterId(const std::string& counterId) {
  return counterId.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}
