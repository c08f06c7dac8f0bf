#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "termops.h"

static std::string hex(const unsigned char digest[16])
{
  char out[33];
  for (int i = 0; i < 16; i++) std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
  return out;
}

static std::string md5_in_pieces(const std::string &text, size_t piece)
{
  MD5_CTX context;
  MD5Init(&context);
  for (size_t i = 0; i < text.size(); i += piece)
    MD5Update(&context, (const unsigned char *)text.data() + i, std::min(piece, text.size() - i));
  unsigned char digest[16];
  MD5Final(digest, &context);
  return hex(digest);
}

/* The test suite of RFC 1321, appendix A.5. */
TEST(MD5, RfcTestSuite)
{
  const char *cases[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto &c : cases) EXPECT_EQ(md5_in_pieces(c[0], 1000), c[1]) << '"' << c[0] << '"';
}

/* Feeding the same bytes in pieces of any size, across block boundaries, gives one digest. */
TEST(MD5, PiecesOfAnySizeGiveTheSameDigest)
{
  std::string text;
  for (int i = 0; i < 1000; i++) text += (char)(i * 7 + 3);
  std::string whole = md5_in_pieces(text, text.size());
  for (size_t piece : {1, 3, 55, 56, 63, 64, 65, 127, 999})
    EXPECT_EQ(md5_in_pieces(text, piece), whole) << piece;
}

TEST(MD5, MillionAs)
{
  EXPECT_EQ(md5_in_pieces(std::string(1000000, 'a'), 4096), "7707d6ae4e027c70eea2a935c2296f21");
}

/* Lengths around the padding boundary (55, 56, 64 bytes) against known digests. */
TEST(MD5, PaddingBoundaries)
{
  EXPECT_EQ(md5_in_pieces(std::string(55, 'a'), 64), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(md5_in_pieces(std::string(56, 'a'), 64), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(md5_in_pieces(std::string(64, 'a'), 64), "014842d480b571495a4a0363793f7367");
}
