// fieldecho: lists the decoded form of a request as plain text.
#include "formlib/form.h"
#include "platform/request.h"
#include "platform/text_stdio.h"

namespace {

int listForm() {
  // Decode first: a refused request gets no answer at all.
  if (!decodeForm(true)) return 1;

  // Header and the number of distinct fields.
  writeText("Content-Type: text/plain\n\n");
  writeDecimal(static_cast<long long>(formStore.size()));
  writeText(" successful form elements totally submitted\n\nListing decoded data:\n\n");

  // One name=value line per field, in name order, each string up to its first zero byte.
  for (const auto& [name, value] : formStore) {
    writeText(upToZeroByte(name));
    writeText("=");
    writeText(upToZeroByte(value));
    writeText("\n");
  }
  return 0;
}

}  // namespace

int main() { return serveRequests(listForm); }
