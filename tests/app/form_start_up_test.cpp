// Start-up wiring of the main window, driven in-process: the window's own
// unit link server on a free port, real units over loopback, and the Qt
// event loop pumped by the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLineEdit>
#include <QListWidget>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/form_data_controller.h"
#include "app/unit_command_dispatcher.h"
#include "base/failure_report.h"
#include "event_loop.h"
#include "link/communication_server.h"
#include "temporary_tree.h"
#include "tftp/net_trivial_ftp_server.h"
#include "unit_connection.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class FormStartUpTest : public ::testing::Test {
 protected:
  void TearDown() override {
    units_.clear();
    window_.reset();
  }

  void Open(bool withLogDir = true, std::shared_ptr<AllowedSenders> senders = nullptr) {
    tree_ = std::make_unique<TemporaryTree>(withLogDir);
    StartUpSettings settings = tree_->Settings();
    settings.senders = std::move(senders);
    window_ = std::make_unique<TFormDataController>(
        [this](const std::string& text) { boxes_.push_back(text); }, settings);
  }

  // The window's server runs on this thread: wait by pumping its event loop.
  std::optional<std::string> Next(UnitConnection& unit) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      WaitForEvents();
      if (auto message = unit.NextMessage(1ms)) return message;
    }
    return std::nullopt;
  }
  UnitConnection& Unit(const std::string& name) {
    units_.push_back(
        std::make_unique<UnitConnection>("127.0.0.1", window_->UnitLinkServer()->BoundPort()));
    UnitConnection& unit = *units_.back();
    std::optional<std::string> offer = Next(unit);
    EXPECT_TRUE(offer && offer->rfind("CC_ADD_NAME ", 0) == 0);
    int before = window_->UnitLinkServer()->Connection_count();
    unit.AnswerOffer(offer.value_or("CC_ADD_NAME 0"), name);
    // Registered before the next unit connects: its offer counts this one.
    EXPECT_TRUE(RunEventsUntil(
        [&] { return window_->UnitLinkServer()->Connection_count() == before + 1; }, 1000));
    return unit;
  }
  void Settle(UnitConnection& unit) {
    unit.SendText("DU_CHECK");
    EXPECT_EQ(Next(unit), "CC_TEXT CHECK");
  }
  QStringList Listed() const {
    QStringList names;
    for (int i = 0; i < window_->ListBoxClients()->count(); ++i)
      names << window_->ListBoxClients()->item(i)->text();
    return names;
  }

  std::unique_ptr<TemporaryTree> tree_;
  std::vector<std::string> boxes_;
  std::unique_ptr<TFormDataController> window_;
  std::vector<std::unique_ptr<UnitConnection>> units_;
};

TEST_F(FormStartUpTest, UnitListIsSortedCountsDuplicatesAndFollowsRemovals) {
  Open();
  ASSERT_NE(window_->UnitLinkServer(), nullptr);
  EXPECT_EQ(window_->Edit1()->text(), "0");
  UnitConnection& b = Unit("SU_B");
  UnitConnection& a = Unit("SU_A");
  Unit("SU_A");
  EXPECT_EQ(Listed(), (QStringList{"SU_A", "SU_A", "SU_B"}));
  EXPECT_EQ(window_->Edit1()->text(), "3");
  Settle(a);  // a message: its entry says when
  EXPECT_TRUE(window_->ListBoxClients()->item(0)->toolTip().startsWith("Last message 20"));
  EXPECT_TRUE(window_->ListBoxClients()->item(2)->toolTip().isEmpty());
  window_->Edit1()->setText("typed by the operator");
  b.SendMessage("CS_REMOVE_NAME SU_B");
  a.SendMessage("CS_REMOVE_NAME SU_A");
  ASSERT_TRUE(
      RunEventsUntil([&] { return window_->UnitLinkServer()->Connection_count() == 1; }, 1000));
  EXPECT_EQ(Listed(), (QStringList{"SU_A"}));
  EXPECT_EQ(window_->Edit1()->text(), "1");
  EXPECT_TRUE(boxes_.empty()) << boxes_.front();
}

TEST_F(FormStartUpTest, CommandsRecordsAndFileReportsReachThePanes) {
  Open();
  UnitConnection& sensor = Unit("SU1");
  sensor.SendText("DU_SAVELOG T1 06.12.2026 21.5");
  sensor.SendMessage("CS_FILE SU1 .\\log\\SU1\\camera_cam0\\p1.jpg");
  Settle(sensor);
  EXPECT_EQ(window_->CommandLines(),
            (std::vector<std::string>{"DU_SAVELOG T1 06.12.2026 21.5", "DU_CHECK"}));
  EXPECT_EQ(window_->LogLines(),
            (std::vector<std::string>{"T1 06.12.2026 21.5",
                                      "SU1 saved file .\\log\\SU1\\camera_cam0\\p1.jpg."}));
  EXPECT_TRUE(fs::exists(tree_->Dir() + "/log/SU1/alllog.dat"));
}

TEST_F(FormStartUpTest, ABurstOfRecordsLeavesTheFortyNewestInTheLogPane) {
  Open();
  UnitConnection& sensor = Unit("SU1");
  std::string burst;
  for (int i = 1; i <= 45; ++i)
    burst += "CS_TEXT SU1 DU_SAVELOG T1 06.12.2026 " + std::to_string(i) + "#";
  sensor.SendRaw(burst);
  Settle(sensor);
  std::vector<std::string> lines = window_->LogLines();
  ASSERT_EQ(lines.size(), 40u);
  EXPECT_EQ(lines.front(), "T1 06.12.2026 6");
  EXPECT_EQ(lines.back(), "T1 06.12.2026 45");
  EXPECT_EQ(window_->CommandLines().size(), 46u);
}

// A pause holds the unit that asked for it, not the others; the ending
// carries out what waits behind it at once.
TEST_F(FormStartUpTest, APauseHoldsOnlyItsUnitAndTheEndingCarriesOutWhatWaits) {
  Open();
  window_->Dispatcher()->SetPauseSpan(std::chrono::hours(1));
  UnitConnection& sensor = Unit("SU1");
  UnitConnection& other = Unit("SU2");
  sensor.SendText("DU_NEWCONFIGEXISTS SU2");
  sensor.SendText("DU_SAVELOG T1 06.12.2026 1");
  sensor.SendText("DU_NEWCONFIGEXISTS SU2");
  sensor.SendText("DU_SAVELOG T1 06.12.2026 2");
  ASSERT_TRUE(RunEventsUntil([&] { return !window_->CommandLines().empty(); }));
  Settle(other);
  EXPECT_EQ(window_->CommandLines(),
            (std::vector<std::string>{"DU_NEWCONFIGEXISTS SU2", "DU_CHECK"}));
  EXPECT_FALSE(fs::exists(tree_->Dir() + "/log/SU1/T1.dat"));
  window_->EndInstance();
  std::ifstream stored(tree_->Dir() + "/log/SU1/T1.dat", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}),
            "06.12.2026 1\r\n06.12.2026 2\r\n");
  EXPECT_EQ(Next(other), "CC_TEXT SU_NEWCONFIGEXISTS");
  EXPECT_EQ(Next(other), "CC_TEXT SU_NEWCONFIGEXISTS");
}

TEST_F(FormStartUpTest, StoreFailureIsReportedAndTheUnitIsStillServed) {
  Open();
  UnitConnection& control = Unit("CU1");
  control.SendText("DU_GIVELOGFILENAMES NOBODY");
  Settle(control);
  ASSERT_TRUE(RunEventsUntil([&] { return !boxes_.empty(); }));
  EXPECT_EQ(boxes_,
            std::vector<std::string>{"CU1 DU_GIVELOGFILENAMES NOBODY: Can't change into directory "
                                     ".\\log\\NOBODY\\."});
}

TEST_F(FormStartUpTest, WithoutLogDirectoryStartUpStopsBeforeAnyServer) {
  Open(false);
  EXPECT_EQ(window_->UnitLinkServer(), nullptr);
  ASSERT_TRUE(RunEventsUntil([&] { return !boxes_.empty(); }));
  EXPECT_EQ(boxes_, std::vector<std::string>{"Can't change into directory .\\log\\."});
  RunGuarded([&] {
    window_->TimerDeleteLogTimer();
  });  // the hourly sweep reports the same while log\ is missing
  ASSERT_TRUE(RunEventsUntil([&] { return boxes_.size() == 2; }));
  EXPECT_EQ(boxes_.back(), "Can't change into directory .\\log\\.");
}

TEST_F(FormStartUpTest, APortThatIsTakenIsNamedInTheErrorBox) {
  int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any{AF_INET, 0, {INADDR_ANY}, {}};
  socklen_t size = sizeof any;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&any), size) + ::listen(taken, 1), 0);
  ::getsockname(taken, reinterpret_cast<sockaddr*>(&any), &size);
  tree_ = std::make_unique<TemporaryTree>(true);
  StartUpSettings settings = tree_->Settings();
  settings.unitLinkPort = ntohs(any.sin_port);
  window_ = std::make_unique<TFormDataController>(
      [this](const std::string& text) { boxes_.push_back(text); }, settings);
  ASSERT_TRUE(RunEventsUntil([&] { return !boxes_.empty(); }));
  EXPECT_EQ(boxes_[0].rfind("TCP port " + std::to_string(settings.unitLinkPort) + ": ", 0), 0u)
      << boxes_[0];
  ::close(taken);
}

// A TCP connection and a TFTP datagram from 127.0.0.2 to the window's ports.
TEST_F(FormStartUpTest, RefusedSenderIsCountedOnBothPortsAndReportedOnceInTheLogPane) {
  std::string error;
  Open(true, std::make_shared<AllowedSenders>(
                 std::vector{ParseIpv4Network("127.0.0.1/32", error).value()}));
  std::uint64_t refused = 0;
  for (auto [type, port] :
       {std::pair<int, int>{SOCK_STREAM, window_->UnitLinkServer()->BoundPort()},
        {SOCK_DGRAM, window_->FileTransferServer()->LocalPort()}}) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in from{AF_INET, 0, {htonl(0x7F000002)}, {}};
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(0x7F000001)}, {}};
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::send(fd, "\0\1a\0octet\0", 10, 0);
    EXPECT_TRUE(WaitEventsUntil(
        [&] { return window_->Senders()->RefusedCounts()["127.0.0.2"] == refused + 1; }));
    ++refused;
    ::close(fd);
  }
  RunPendingEvents();
  std::vector<std::string> lines = window_->LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Refused 127.0.0.2 on the unit link: not an allowed sender (1 refused from it so far)");
}

}  // namespace
