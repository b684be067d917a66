// The service request against a Unix socket that is busy or appears late.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/local_socket.h"
#include "platform/message_queue.h"
#include "runtime/well_known.h"
#include "support/fake_service.h"
#include "tunnel/service_request.h"

namespace {

TEST(ServiceRequest, BusyServiceIsWaitedForThenGivenUp) {
  FakeService service(/*accepting=*/false, /*backlog=*/0);
  setenv("QUORVANTA_PIPE", service.path().c_str(), 1);
  platform::LocalSocket filler;  // takes the one backlog slot
  ASSERT_EQ(filler.Connect(service.path().c_str(), 0), platform::LocalConnectResult::Connected);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendServiceRequest("x"));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
}

TEST(ServiceRequest, BusyServiceThatFreesASlotGetsTheRequest) {
  FakeService service(/*accepting=*/false, /*backlog=*/0);
  setenv("QUORVANTA_PIPE", service.path().c_str(), 1);
  platform::LocalSocket filler;
  ASSERT_EQ(filler.Connect(service.path().c_str(), 0), platform::LocalConnectResult::Connected);
  filler.Close();
  std::thread freer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    service.AcceptOne();  // the filler's connection
    service.AcceptOne();  // ours
  });
  EXPECT_TRUE(SendServiceRequest("req"));
  freer.join();
  auto received = service.Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1], std::string("req", 4));
}

TEST(Init, ServiceThatAppearsLaterIsFound) {
  char dir[] = "/tmp/qv-late-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  setenv("QUORVANTA_PIPE", (std::string(dir) + "/QuorvantaPipe").c_str(), 1);
  platform::MessageQueue queue;
  Init init;
  init.SetNotifyWindow(&queue);
  init.SetProbe(200, 20);
  ASSERT_TRUE(init.Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  platform::Message m{};
  EXPECT_FALSE(queue.TryTake(&m));
  {
    // The service comes up in the place the program probes.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s/QuorvantaPipe", dir);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    ASSERT_TRUE(queue.WaitTake(&m, 5000));
    EXPECT_EQ(m.wParam, 1u);
    close(fd);
    unlink(a.sun_path);
  }
  rmdir(dir);
}

}  // namespace
