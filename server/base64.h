// Standard base64 (RFC 4648: alphabet A-Z a-z 0-9 + /, padding "="), used to
// unpack the firmware images that the update server sends as text.
#pragma once

#include <cstddef>

// Decodes length characters of text. The length must be a non-zero multiple
// of 4 and every character must belong to the alphabet, with at most two
// "=" and those only at the very end; otherwise the result is null. On
// success *decodedLength (when the address is not null) receives three bytes
// per four characters, less one for each "=", and the result is a new buffer
// of that many bytes plus one terminating zero byte. The caller releases it
// with free(). Null is also returned for a null text or when memory runs out.
unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength);

// Encodes length bytes: 4 characters per 3 bytes (rounded up) with "="
// padding, followed by a terminating zero. *textLength (when the address is
// not null) receives the number of characters without the zero. The caller
// releases the result with free(). Null for null data with a non-zero length
// or when memory runs out; zero bytes give an empty text.
char* base64_encode(const unsigned char* data, size_t length, size_t* textLength);
