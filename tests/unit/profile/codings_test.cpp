// CRC-32, Base64 and RC4 against published values and the loader's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "profile/profile.h"
#include "profile/profile_codec.h"

namespace {

std::string Decode(const std::string& text) {
  size_t n = 12345;
  unsigned char* out = Base64Decode(text.data(), text.size(), &n);
  std::string result(reinterpret_cast<char*>(out), n);
  delete[] out;
  return result;
}

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

TEST(Crc32, MatchesPublishedValues) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc32("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
}

TEST(Base64Decode, DecodesFullAndPartialGroups) {
  EXPECT_EQ(Decode("TWFu"), "Man");
  EXPECT_EQ(Decode("TWE="), "Ma");
  EXPECT_EQ(Decode("TWE"), "Ma");  // three characters: two bytes
  EXPECT_EQ(Decode("TQ=="), "M");
  EXPECT_EQ(Decode("TQ"), "M");       // two characters: one byte
  EXPECT_EQ(Decode("TWFuT"), "Man");  // one character: nothing
  EXPECT_EQ(Decode(""), "");
}

TEST(Base64Decode, SkipsEveryCharacterOutsideTheAlphabet) {
  EXPECT_EQ(Decode("T\r\nW =F\tu!!-*"), "Man");
  EXPECT_EQ(Decode("TW==Fu"), "Man");  // "=" in the middle is skipped, not an end
  EXPECT_EQ(Decode(std::string("\xff\x80TWFu\x01", 7)), "Man");
}

TEST(Base64Decode, StopsAtLengthOrZeroByte) {
  std::string text("TWFu\0TWFu", 9);
  EXPECT_EQ(Decode(text), "Man");
  size_t n = 0;
  unsigned char* out = Base64Decode("TWFuTWFu", 4, &n);
  EXPECT_EQ(n, 3u);
  delete[] out;
}

TEST(Base64, EncoderRoundTripsEveryLength) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(Decode(Base64Encode(bytes.data(), bytes.size())), bytes) << i;
    bytes += static_cast<char>(i * 37 + 11);
  }
  EXPECT_EQ(Base64Encode("Ma", 2), "TWE=");
}

TEST(Rc4Crypt, MatchesPublishedVectors) {
  const struct {
    const char* key;
    const char* plain;
    const char* cipher;
  } vectors[] = {
      {"Key", "Plaintext", "BBF316E8D940AF0AD3"},
      {"Wiki", "pedia", "1021BF0420"},
      {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
  };
  for (const auto& v : vectors) {
    size_t n = std::strlen(v.plain);
    unsigned char* out = Rc4Crypt(v.key, reinterpret_cast<const unsigned char*>(v.plain), n);
    EXPECT_EQ(Hex(out, n), v.cipher) << v.key;
    EXPECT_EQ(out[n], 0) << "zero after the bytes";
    unsigned char* back = Rc4Crypt(v.key, out, n);
    EXPECT_STREQ(reinterpret_cast<char*>(back), v.plain);
    delete[] out;
    delete[] back;
  }
}

TEST(Rc4Crypt, Rfc6229FortyBitKeyKeystream) {
  // RFC 6229, key 0x0102030405: the first 16 bytes of keystream.
  const char key[] = "\x01\x02\x03\x04\x05";
  unsigned char zeros[16] = {};
  unsigned char* out = Rc4Crypt(key, zeros, 16);
  EXPECT_EQ(Hex(out, 16), "B2396305F03DC027CCC3524A0A1118A8");
  delete[] out;
}

}  // namespace
