// The install callback's address: parameters as stored when safe, encoded
// otherwise; the signature always over the stored bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "callback/knocker.h"

namespace {

// Bit by bit, independent of the table-driven implementation.
uint32_t ReferenceCrc(const std::string& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

TEST(CallbackUrl, SafeValuesAreSentAsStored) {
  ASSERT_EQ(ReferenceCrc("123456789"), 0xCBF43926u);
  const char* id = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";
  char url[2048];
  ASSERT_TRUE(FormatCallbackUrl("http://site.example", "Ref-01_a.b~", id, url, sizeof url));
  EXPECT_EQ(std::string(url), "http://site.example/clientCallback/?a=Ref-01_a.b~&b=" + std::string(id) +
                                  "&c=" + std::to_string(ReferenceCrc(std::string("Ref-01_a.b~") + id + "Tq7#k2Wm5")));
  EXPECT_EQ(CallbackSignature("Ref-01_a.b~", id), ReferenceCrc(std::string("Ref-01_a.b~") + id + "Tq7#k2Wm5"));
}

TEST(CallbackUrl, UnsafeBytesArePercentEncodedButSignedRaw) {
  std::string code = "a b&c=d#e%f+g/\xc3\xa9";
  char url[2048];
  ASSERT_TRUE(FormatCallbackUrl("http://s", code.c_str(), "id&x", url, sizeof url));
  EXPECT_EQ(std::string(url), "http://s/clientCallback/?a=a%20b%26c%3Dd%23e%25f%2Bg%2F%C3%A9&b=id%26x&c=" +
                                  std::to_string(ReferenceCrc(code + "id&x" + "Tq7#k2Wm5")));
}

TEST(CallbackUrl, AnAddressThatDoesNotFitIsNotMade) {
  std::string site(2000, 's');
  char url[2048];
  EXPECT_FALSE(FormatCallbackUrl(site.c_str(), std::string(40, 'r').c_str(), "id", url, sizeof url));
  // The longest stored values, all needing encoding, still fit the buffer.
  std::string code(259, ' ');
  std::string id(59, '&');
  EXPECT_TRUE(FormatCallbackUrl("http://www.quorvanta.example", code.c_str(), id.c_str(), url, sizeof url));
  char small[4];
  EXPECT_FALSE(EncodeQueryValue("abcd", small, sizeof small));
  EXPECT_TRUE(EncodeQueryValue("abc", small, sizeof small));
  EXPECT_FALSE(EncodeQueryValue("a b", small, sizeof small));
}

}  // namespace
