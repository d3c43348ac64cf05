#include "app/error_box_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/event_loop.h"
#include "base/exceptions.h"

namespace {

// Stands in for the modal box: records each text and, while "open", runs
// whatever the test wants to happen under the box (as its event loop would).
struct FakeBox {
  std::vector<std::string> shown;
  int open = 0;
  int deepest = 0;
  std::function<void()> while_open;

  ErrorBoxQueue::Presenter Presenter() {
    return [this](const std::string& text) {
      ++open;
      deepest = std::max(deepest, open);
      shown.push_back(text);
      if (while_open) {
        auto action = std::move(while_open);
        action();
      }
      --open;
    };
  }
};

std::vector<std::string> Numbered(const std::string& prefix, int first, int last) {
  std::vector<std::string> texts;
  for (int i = first; i <= last; ++i) texts.push_back(prefix + std::to_string(i));
  return texts;
}

TEST(ErrorBoxQueueTest, BoxOpensFromTheEventLoopNotInsideTheReport) {
  FakeBox box;
  ErrorBoxQueue queue(box.Presenter());
  queue.Enqueue("Disk full.");
  EXPECT_TRUE(box.shown.empty());
  EXPECT_EQ(queue.Waiting(), 1u);
  ASSERT_TRUE(RunEventsUntil([&] { return !box.shown.empty(); }));
  EXPECT_EQ(box.shown, std::vector<std::string>{"Disk full."});
  EXPECT_EQ(queue.Waiting(), 0u);
  EXPECT_FALSE(queue.BoxOpen());
}

TEST(ErrorBoxQueueTest, ReportsWhileABoxIsOpenWaitAndAreShownInTurnNeverNested) {
  FakeBox box;
  ErrorBoxQueue queue(box.Presenter());
  box.while_open = [&] {
    EXPECT_TRUE(queue.BoxOpen());
    queue.Enqueue("second");
    queue.Enqueue("third");
    RunPendingEvents();  // the modal box's own loop keeps running
    EXPECT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(queue.Waiting(), 2u);
  };
  queue.Enqueue("first");
  ASSERT_TRUE(RunEventsUntil([&] { return box.shown.size() == 3; }));
  EXPECT_EQ(box.shown, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(box.deepest, 1);
}

TEST(ErrorBoxQueueTest, ReportsBeforeTheFirstBoxAreShownOneAfterAnother) {
  FakeBox box;
  ErrorBoxQueue queue(box.Presenter());
  for (const std::string& text : Numbered("report ", 1, 5)) queue.Enqueue(text);
  ASSERT_TRUE(RunEventsUntil([&] { return box.shown.size() == 5; }));
  EXPECT_EQ(box.shown, Numbered("report ", 1, 5));
  EXPECT_EQ(box.deepest, 1);
}

TEST(ErrorBoxQueueTest, KeepsTheNewestHundredAndSaysHowManyWereDropped) {
  FakeBox box;
  ErrorBoxQueue queue(box.Presenter());
  box.while_open = [&] {
    for (const std::string& text : Numbered("loop ", 1, 250)) queue.Enqueue(text);
    EXPECT_EQ(queue.Waiting(), ErrorBoxQueue::kCapacity);
    EXPECT_EQ(queue.Dropped(), 150u);
  };
  queue.Enqueue("first");
  ASSERT_TRUE(RunEventsUntil([&] { return box.shown.size() == 101; }, 2000));
  std::vector<std::string> expected{"first", "loop 151" + ErrorBoxQueue::DroppedNote(150)};
  for (const std::string& text : Numbered("loop ", 152, 250)) expected.push_back(text);
  EXPECT_EQ(box.shown, expected);
  EXPECT_EQ(queue.Dropped(), 0u);
  EXPECT_EQ(box.deepest, 1);
}

TEST(ErrorBoxQueueTest, DroppedNoteCountsInWords) {
  EXPECT_EQ(
      ErrorBoxQueue::DroppedNote(1),
      "\n\n(1 earlier report was not shown: too many were waiting. Standard error has them all.)");
  EXPECT_EQ(ErrorBoxQueue::DroppedNote(150),
            "\n\n(150 earlier reports were not shown: too many were waiting. Standard error has "
            "them all.)");
}

TEST(ErrorBoxQueueTest, QueueCanBeFedThroughTheFailureReport) {
  FakeBox box;
  ErrorBoxQueue queue(box.Presenter());
  FailureSink previous = SetFailureSink(queue.Sink());
  RunGuarded([] { throw Exception("Unable to create file .\\log\\x"); });
  RunGuarded([] { throw EAbort("quiet"); });
  RunGuarded([] { throw Exception("Config not found!"); });
  SetFailureSink(previous);
  ASSERT_TRUE(RunEventsUntil([&] { return box.shown.size() == 2; }));
  RunPendingEvents();
  EXPECT_EQ(box.shown,
            (std::vector<std::string>{"Unable to create file .\\log\\x.", "Config not found!"}));
}

TEST(ErrorBoxQueueTest, NothingIsShownAfterTheQueueIsGone) {
  FakeBox box;
  {
    ErrorBoxQueue queue(box.Presenter());
    queue.Enqueue("never seen");
  }
  RunPendingEvents();
  EXPECT_TRUE(box.shown.empty());
}

}  // namespace
