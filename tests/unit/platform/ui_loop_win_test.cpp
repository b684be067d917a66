// The Windows loop while a menu or a box runs a modal loop of its own: the
// program's messages must still reach the receiver, in order, and a close
// request must still end the outer loop.
#include <gtest/gtest.h>

#include <windows.h>

#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/ui_loop.h"
#include "runtime/ui_messages.h"

namespace {

struct LoopRecord {
  std::vector<uint32_t> seen;
  bool inModal = false;
  std::vector<bool> deliveredInModal;
};

// What TrackPopupMenu and MessageBoxW do inside: take and dispatch every message until their own end.
void ModalLoop(LoopRecord* run) {
  run->inModal = true;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_APP + 99) break;  // the modal loop's own end
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  run->inModal = false;
}

void Receive(const platform::Message& message, void* context) {
  auto* run = static_cast<LoopRecord*>(context);
  run->seen.push_back(message.id);
  run->deliveredInModal.push_back(run->inModal);
  if (message.id == msg::WM_SERVICE_STATUS) {
    // Workers go on posting while the modal loop runs; then it ends.
    std::thread([] {
      platform::UiQueue().Post(msg::WM_MGMT_CONNECTED, 0, 0);
      platform::UiQueue().Post(msg::WM_MGMT_BYTECOUNT, 1, 2);
      platform::UiQueue().Post(msg::Close, 5, 0);
    }).join();
    PostThreadMessageW(GetCurrentThreadId(), WM_APP + 99, 0, 0);
    ModalLoop(run);
    // Ends the outer loop also when the modal loop lost the close request.
    platform::UiQueue().Post(msg::Close, 6, 0);
  } else if (message.id == msg::Close) {
    platform::QuitUiLoop();
  }
}

TEST(UiLoopWin, MessagesPostedDuringAModalLoopReachTheReceiverAndACloseStillEndsTheLoop) {
  LoopRecord run;
  platform::UiQueue().Post(msg::WM_SERVICE_STATUS, 1, 0);
  platform::RunUiLoop(&Receive, &run);
  EXPECT_EQ(run.seen, (std::vector<uint32_t>{msg::WM_SERVICE_STATUS, msg::WM_MGMT_CONNECTED, msg::WM_MGMT_BYTECOUNT,
                                             msg::Close}));
  ASSERT_EQ(run.deliveredInModal.size(), 4u);
  EXPECT_TRUE(run.deliveredInModal[1]) << "delivered by the modal loop's dispatch, not lost";
}

}  // namespace
