// The real program, talked to as units over TCP.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "program_under_test.h"
#include "unit_connection.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class DataUnitTest : public ::testing::Test {
 protected:
  void StartProgram() {
    program_.Start();
    ASSERT_TRUE(program_.WaitForUnitPort()) << program_.StandardError();
  }
  // Connects and registers; units must register in the order they connect.
  UnitConnection* Unit(const std::string& name) {
    units_.push_back(std::make_unique<UnitConnection>("127.0.0.1", ProgramUnderTest::kUnitPort));
    UnitConnection* unit = units_.back().get();
    unit->Register(name);
    Settle(*unit);  // registered before anyone else speaks
    return unit;
  }
  // The program ends before the units hang up: a unit closing with unread
  // replies resets its connection, which would restart the program.
  void TearDown() override { program_.StopAll(); }
  // A DU_CHECK round trip: everything sent before it has been handled.
  void Settle(UnitConnection& unit) {
    unit.SendText("DU_CHECK");
    ASSERT_EQ(unit.NextText(5s), "CHECK");
  }
  std::string Abs(const std::string& tail) {
    return fs::canonical(program_.WorkDir()).string() + "\\" + tail;
  }

  std::vector<std::unique_ptr<UnitConnection>> units_;
  ProgramUnderTest program_;
};

TEST_F(DataUnitTest, SensorRecordIsStoredAndListedForTheControlUnit) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  UnitConnection* control = Unit("CU1");
  sensor->SendText("DU_SAVELOG T1 06.12.2026 21.5");
  Settle(*sensor);
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/alllog.dat")), "06.12.2026 21.5 T1\r\n");
  EXPECT_EQ(ReadWholeFile(program_.Path("log/SU1/T1.dat")), "06.12.2026 21.5\r\n");
  control->SendText("DU_GIVELOGFILENAMES SU1");
  std::optional<std::string> reply = control->NextText(5s);
  ASSERT_TRUE(reply);
  std::string a = Abs("log\\SU1\\alllog.dat"), t = Abs("log\\SU1\\T1.dat");
  EXPECT_TRUE(*reply == "CU_TAKELOGFILES SU1 " + a + "|" + t ||
              *reply == "CU_TAKELOGFILES SU1 " + t + "|" + a)
      << *reply;
}

TEST_F(DataUnitTest, RepliesGoToTheSenderAndForwardsToTheirRoles) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  UnitConnection* alarm = Unit("AU1");
  UnitConnection* control = Unit("CU1");
  alarm->SendText("DU_AUINIT");
  control->SendText("DU_CUINIT");
  Settle(*alarm);
  Settle(*control);
  sensor->SendText("DU_SUALARM smoke in room 4");
  EXPECT_EQ(alarm->NextText(5s), "AU_ALARM smoke in room 4");
  sensor->SendText("DU_MAKESUDIR");
  sensor->SendText("DU_MAKECAMDIR Camera_cam0");
  Settle(*sensor);
  WriteWholeFile(program_.Path("log/SU1/Camera_cam0/p1.jpg"), "jpeg");
  sensor->SendText("DU_NEWPICTUREEXISTS");
  EXPECT_EQ(control->NextText(5s), "CU_TAKELATESTPICTURE SU1 .\\log\\SU1\\Camera_cam0\\p1.jpg");
  control->SendText("DU_GIVELATESTPICTUREFILENAME SU1");
  EXPECT_EQ(control->NextText(5s), "CU_TAKELATESTPICTURE SU1 .\\log\\SU1\\camera_cam0\\p1.jpg");
  control->SendText("DU_GETALLPICTURES SU1");
  EXPECT_EQ(control->NextText(5s),
            "CU_TAKEALLPICTURES SU1 " + Abs("log\\SU1\\Camera_Cam0\\p1.jpg"));
  control->SendText("DU_TAKENEWPICTURE SU1");
  EXPECT_EQ(sensor->NextText(5s), "SU_TAKEPICTURE");
  control->SendText("DU_NEWCONFIGEXISTS AU1");
  EXPECT_EQ(alarm->NextText(5s), "AU_NEWCONFIGEXISTS");
}

TEST_F(DataUnitTest, ConfigurationNoticesReachEveryUnitAndMatchByName) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  UnitConnection* other = Unit("SU2");
  sensor->SendText("DU_SAVECONFIG");
  EXPECT_EQ(sensor->NextText(5s), "SU_NEWCONFIGEXISTS");
  EXPECT_EQ(other->NextText(5s), "SU_NEWCONFIGEXISTS");
  ASSERT_TRUE(fs::is_directory(program_.Path("config")));
  other->SendText("DU_SUISTHERECONFIG");
  EXPECT_EQ(other->NextText(5s), "SU_CONFIGNOTEXISTS");
  WriteWholeFile(program_.Path("config/SU2.ini"), "[x]\r\n");
  other->SendText("DU_SUISTHERECONFIG");
  EXPECT_EQ(other->NextText(5s), "SU_NEWCONFIGEXISTS");
  other->SendText("DU_GETCONFIGNAMES");
  EXPECT_EQ(other->NextText(5s), "CU_TAKECONFIGS " + Abs("config\\SU2.ini"));
}

TEST_F(DataUnitTest, MissingDirectoriesGiveNoReplyButTheUnitIsStillServed) {
  StartProgram();
  fs::remove(program_.Path("config"));  // made at start, removed again by an operator
  fs::remove(program_.Path("alarms"));
  UnitConnection* control = Unit("CU1");
  control->SendText("DU_GIVELOGFILENAMES NOBODY");
  control->SendText("DU_GETCONFIGNAMES");
  control->SendText("DU_GIVEALARMFILENAME");
  control->SendText("DU_CHECK");
  EXPECT_EQ(control->NextText(5s), "CHECK");
  EXPECT_EQ(program_.RunningInstances().size(), 1u);
  std::string reports = program_.StandardError();
  EXPECT_NE(reports.find("Can't change into directory .\\log\\NOBODY\\."), std::string::npos)
      << reports;
  EXPECT_NE(reports.find("Can't change into directory .\\config\\."), std::string::npos) << reports;
}

TEST_F(DataUnitTest, NamesThatLeaveTheTreeAreRefusedAndNothingIsCreated) {
  StartProgram();
  UnitConnection* sensor = Unit("SU1");
  UnitConnection* dots = Unit("..");
  sensor->SendText("DU_MAKESUDIR");
  sensor->SendText("DU_MAKECAMDIR ../../x");
  sensor->SendText("DU_SAVELOG a/b 06.12.2026 1");
  dots->SendText("DU_MAKESUDIR");
  dots->SendText("DU_SAVELOG T1 06.12.2026 1");
  Settle(*sensor);
  Settle(*dots);
  EXPECT_FALSE(fs::exists(program_.Path("x")));
  EXPECT_FALSE(fs::exists(program_.Path("../x")));
  EXPECT_FALSE(fs::exists(program_.Path("T1.dat")));
  EXPECT_FALSE(fs::exists(program_.Path("log/SU1/a")));
  EXPECT_EQ(fs::directory_iterator(program_.Path("log/SU1")), fs::directory_iterator());
}

TEST_F(DataUnitTest, WithoutLogDirectoryTheProgramRunsWithoutPorts) {
  ProgramUnderTest degraded(false);
  degraded.Start();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return degraded.StandardError().find("Can't change into directory .\\log\\.") !=
               std::string::npos;
      },
      10s))
      << degraded.StandardError();
  EXPECT_FALSE(ProgramUnderTest::UnitPortListening());
  EXPECT_FALSE(ProgramUnderTest::FileTransferPortBound());
  EXPECT_EQ(degraded.RunningInstances().size(), 1u);
}

// Health checks and port scanners connect and hang up, often with a reset.
TEST_F(DataUnitTest, APortProbeNeitherRestartsTheProgramNorDisturbsItsUnits) {
  StartProgram();
  pid_t first = program_.FirstPid();
  UnitConnection* sensor = Unit("SU1");
  for (int i = 0; i < 3; ++i) {
    UnitConnection probe("127.0.0.1", ProgramUnderTest::kUnitPort);
    if (i == 1) ASSERT_TRUE(probe.NextMessage(5s));  // the offer read, then hung up
    if (i != 2) probe.ResetOnClose();
  }
  Settle(*sensor);
  Settle(*sensor);
  EXPECT_EQ(program_.RunningInstances(), std::vector<pid_t>{first});
  EXPECT_EQ(program_.StandardError().find(" datacontroller: "), std::string::npos)
      << program_.StandardError();
}

// A reset connection of a registered unit is an error on a client connection:
// the program starts anew. One soon after that restart closes only itself.
TEST_F(DataUnitTest, ClientConnectionErrorRestartsTheProgramAndOneSoonAfterClosesOnlyItself) {
  StartProgram();
  ASSERT_TRUE(program_.WaitForFileTransferPort());
  pid_t first = program_.FirstPid();
  UnitConnection* bystander = Unit("SU1");
  auto reset = [](const std::string& name) {
    UnitConnection broken("127.0.0.1", ProgramUnderTest::kUnitPort);
    broken.Register(name);
    broken.SendText("DU_CHECK");
    ASSERT_EQ(broken.NextText(5s), "CHECK");
    broken.ResetOnClose();
  };
  reset("SU2");
  pid_t second = program_.WaitForSoleSuccessor(first, 15s);
  ASSERT_GT(second, 0) << program_.StandardError();
  ASSERT_TRUE(program_.WaitForUnitPort());
  EXPECT_TRUE(program_.WaitForFileTransferPort());
  EXPECT_FALSE(bystander->NextMessage(2s));  // dropped without goodbye
  EXPECT_TRUE(bystander->PeerClosed());
  UnitConnection again("127.0.0.1", ProgramUnderTest::kUnitPort);
  EXPECT_EQ(again.Register("SU3"), 0);  // the new instance's name table is empty
  again.SendText("DU_CHECK");
  EXPECT_EQ(again.NextText(5s), "CHECK");
  reset("SU4");
  EXPECT_TRUE(WaitUntil(
      [&] {
        return program_.StandardError().find("Not restarting: the connection of unit SU4") !=
               std::string::npos;
      },
      10s))
      << program_.StandardError();
  again.SendText("DU_CHECK");
  EXPECT_EQ(again.NextText(5s), "CHECK");
  EXPECT_EQ(program_.RunningInstances(), std::vector<pid_t>{second});
}

}  // namespace
