/* MD5 message digest, as RFC 1321 describes it. */
#include <cstring>

#include "termops.h"

static inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

/* Per-round shifts and the sine-derived constants T[i] = floor(2^32 * |sin(i + 1)|). */
static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
static const uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

static void md5_transform(uint32_t state[4], const unsigned char block[64])
{
  uint32_t x[16];
  for (int i = 0; i < 16; i++)
    x[i] = (uint32_t)block[4 * i] | (uint32_t)block[4 * i + 1] << 8 |
           (uint32_t)block[4 * i + 2] << 16 | (uint32_t)block[4 * i + 3] << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; i++) {
    int round = i / 16;
    uint32_t f;
    int k;
    switch (round) {
    case 0:
      f = (b & c) | (~b & d);
      k = i;
      break;
    case 1:
      f = (b & d) | (c & ~d);
      k = (5 * i + 1) % 16;
      break;
    case 2:
      f = b ^ c ^ d;
      k = (3 * i + 5) % 16;
      break;
    default:
      f = c ^ (b | ~d);
      k = (7 * i) % 16;
      break;
    }
    uint32_t next = b + rotl(a + f + x[k] + sines[i], shifts[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void MD5Init(MD5_CTX *context)
{
  context->count[0] = context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

void MD5Update(MD5_CTX *context, const unsigned char *input, size_t length)
{
  if (length == 0) return;
  size_t index = (context->count[0] >> 3) & 0x3F;
  uint64_t bits = ((uint64_t)context->count[1] << 32 | context->count[0]) + (uint64_t)length * 8;
  context->count[0] = (uint32_t)bits;
  context->count[1] = (uint32_t)(bits >> 32);
  size_t room = 64 - index;
  size_t i = 0;
  if (length >= room) {
    std::memcpy(context->buffer + index, input, room);
    md5_transform(context->state, context->buffer);
    for (i = room; i + 63 < length; i += 64) md5_transform(context->state, input + i);
    index = 0;
  }
  if (i < length) std::memcpy(context->buffer + index, input + i, length - i);
}

/* Pads to 56 bytes modulo 64 with 0x80 and zeros, appends the bit count little-endian, and
 * writes the state little-endian; the context is wiped. */
void MD5Final(unsigned char digest[16], MD5_CTX *context)
{
  unsigned char bits[8];
  for (int i = 0; i < 8; i++) bits[i] = (unsigned char)(context->count[i / 4] >> (8 * (i % 4)));
  size_t index = (context->count[0] >> 3) & 0x3F;
  size_t pad = index < 56 ? 56 - index : 120 - index;
  static const unsigned char padding[64] = {0x80};
  MD5Update(context, padding, pad);
  MD5Update(context, bits, 8);
  for (int i = 0; i < 16; i++) digest[i] = (unsigned char)(context->state[i / 4] >> (8 * (i % 4)));
  std::memset(context, 0, sizeof *context);
}
