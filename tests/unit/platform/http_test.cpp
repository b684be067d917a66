// Downloads against a loopback server: the body arrives whole and in bounded
// pieces, an error page is still a body, and the bounds and failures map to
// their results.
#include <gtest/gtest.h>

#include <string>

#include "platform/http.h"
#include "platform/tcp_listener.h"
#include "support/http_test_server.h"

namespace {

struct Collected {
  std::string body;
  size_t pieces = 0;
  size_t largestPiece = 0;
  size_t stopAfter = 0;  // 0: never stop
};

bool Collect(void* context, const char* data, size_t length) {
  auto* c = static_cast<Collected*>(context);
  c->body.append(data, length);
  ++c->pieces;
  if (length > c->largestPiece) c->largestPiece = length;
  return c->stopAfter == 0 || c->pieces < c->stopAfter;
}

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(HttpGet, BodyArrivesWholeInPiecesOfAtMostTheChunkSize) {
  const std::string body = Pattern(10000);
  qvtest::HttpTestServer server("200 OK", body);
  ASSERT_TRUE(server.opened());
  Collected c;
  EXPECT_EQ(platform::HttpGet(server.Url("/page?x=1").c_str(), &Collect, &c), platform::HttpResult::Ok);
  EXPECT_EQ(c.body, body);
  EXPECT_GE(c.pieces, body.size() / platform::kHttpPieceSize);
  EXPECT_LE(c.largestPiece, platform::kHttpPieceSize);

  // An empty body is a normal end with nothing handed over.
  qvtest::HttpTestServer empty("200 OK", "");
  Collected none;
  EXPECT_EQ(platform::HttpGet(empty.Url().c_str(), &Collect, &none), platform::HttpResult::Ok);
  EXPECT_TRUE(none.body.empty());
}

TEST(HttpGet, ErrorStatusStillHandsOverItsBody) {
  qvtest::HttpTestServer server("404 Not Found", "no such page here");
  ASSERT_TRUE(server.opened());
  Collected c;
  EXPECT_EQ(platform::HttpGet(server.Url("/missing").c_str(), &Collect, &c), platform::HttpResult::Ok);
  EXPECT_EQ(c.body, "no such page here");
}

TEST(HttpGet, BoundsAndSinkStopEndTheTransfer) {
  const std::string body = Pattern(64 * 1024);
  qvtest::HttpTestServer server("200 OK", body);
  ASSERT_TRUE(server.opened());

  platform::HttpLimits small;
  small.maxBody = 16 * 1024;
  Collected tooLarge;
  EXPECT_EQ(platform::HttpGet(server.Url().c_str(), &Collect, &tooLarge, small), platform::HttpResult::TooLarge);
  EXPECT_LE(tooLarge.body.size(), small.maxBody);

  // Exactly at the bound is still whole.
  platform::HttpLimits exact;
  exact.maxBody = body.size();
  Collected fits;
  EXPECT_EQ(platform::HttpGet(server.Url().c_str(), &Collect, &fits, exact), platform::HttpResult::Ok);
  EXPECT_EQ(fits.body, body);

  Collected stopped;
  stopped.stopAfter = 3;
  EXPECT_EQ(platform::HttpGet(server.Url().c_str(), &Collect, &stopped), platform::HttpResult::Stopped);
  EXPECT_EQ(stopped.pieces, 3u);
}

TEST(HttpGet, NothingListeningOrNoAddressFailsToOpen) {
  uint16_t port;
  {
    // A port that was just ours and is closed again: nobody listens there.
    qvtest::HttpTestServer gone("200 OK", "x");
    ASSERT_TRUE(gone.opened());
    port = static_cast<uint16_t>(std::stoi(gone.Url().substr(17)));
  }
  char url[64];
  std::snprintf(url, sizeof url, "http://127.0.0.1:%u/", port);
  Collected c;
  EXPECT_EQ(platform::HttpGet(url, &Collect, &c), platform::HttpResult::OpenFailed);
  EXPECT_EQ(platform::HttpGet("", &Collect, &c), platform::HttpResult::OpenFailed);
  EXPECT_TRUE(c.body.empty());
}

}  // namespace
