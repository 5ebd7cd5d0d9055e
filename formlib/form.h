// Form decoding library: the decoded form of the current request.
//
// decodeForm() fills formStore once, at the start of a program, from the query
// string of a GET request or from standard input for any other method. The
// programs only read the store afterwards.
#pragma once

#include <map>
#include <string>

// Field name to field value, both byte strings that may hold any byte.
// std::string compares bytes as unsigned values with a prefix first, which is
// the order in which the fields are listed. A name submitted several times is
// one entry whose values are joined by ";".
using FormStore = std::map<std::string, std::string>;

extern FormStore formStore;

// Decodes the request's URL-encoded form data into formStore.
//
// Returns false, having read nothing, when CONTENT_TYPE is exactly
// "multipart/form-data" (there is no decoder for it). Also returns false when
// memory runs out while decoding, so that the caller answers nothing at all
// rather than a partial listing. Returns true in every other case, also when
// there was nothing to decode.
//
// With dropCR, a carriage return produced by a %XX escape is discarded.
bool decodeForm(bool dropCR);
