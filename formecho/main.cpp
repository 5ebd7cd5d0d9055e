// fieldecho: lists the decoded form of a request as plain text.
#include "formlib/form.h"
#include "platform/text_stdio.h"

int main() {
  // Decode first: a refused request gets no answer at all.
  if (!decodeForm(true)) return 1;

  // Header and the number of distinct fields.
  writeText("Content-Type: text/plain\n\n");
  writeDecimal(static_cast<long long>(formStore.size()));
  writeText(" successful form elements totally submitted\n\nListing decoded data:\n\n");

  // One name=value line per field, in name order, each string up to its first zero byte.
  for (const auto& [name, value] : formStore) {
    writeUpToZeroByte(name);
    writeText("=");
    writeUpToZeroByte(value);
    writeText("\n");
  }
  return 0;
}
