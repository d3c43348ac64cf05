#include "app/unit_command_dispatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <vector>

#include "store/append_handles.h"
#include "store/data_controller.h"
#include "store/store_errors.h"

namespace fs = std::filesystem;

namespace {

// Records what the dispatcher sends; a name is registered when it is listed.
class RecordingLink : public UnitReplies {
 public:
  void SendTextTo(const std::string& name, const std::string& text) override {
    events->push_back("send " + name + ": " + text);
    if (onSend) onSend(text);
    for (const std::string& registered : names)
      if (!name.empty() && registered == name) return sent.push_back({name, text});
  }
  int Connection_count() const override { return static_cast<int>(names.size()); }
  std::string NameAt(int index) const override { return names.at(static_cast<std::size_t>(index)); }
  void HoldSender(std::chrono::milliseconds span, std::function<void()> then) override {
    events->push_back("pause " + std::to_string(span.count()));
    then();
  }

  struct Sent {
    std::string to, text;
    bool operator==(const Sent&) const = default;
  };
  std::vector<std::string> names;
  std::vector<Sent> sent;
  std::vector<std::string>* events = nullptr;
  std::function<void(const std::string& text)> onSend;
};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tree sits one level below a directory of its own, so that a name
    // climbing out of it would land where nothing else can be.
    char pattern[] = "/tmp/dc-dispatch-XXXXXX";
    outer_ = ::mkdtemp(pattern);
    root_ = outer_ + "/tree";
    fs::create_directories(root_ + "/log");
    store_ = std::make_unique<TDataController>(root_);
    store_->UseStandardNames();
    link_.events = &events_;
    link_.names = {"SU1", "AU", "CU"};
    UnitCommandDispatcher::Panes panes{
        [this](const std::string& line) { commands_.push_back(line); },
        [this](const std::string& line) { log_.push_back(line); }};
    dispatcher_ = std::make_unique<UnitCommandDispatcher>(*store_, link_, panes, alarm_, control_);
  }
  void TearDown() override { fs::remove_all(outer_); }

  void Send(const std::string& text, const std::string& from = "SU1") {
    dispatcher_->HandleUnitText(text, from);
  }
  std::string Fail(const std::string& text, const std::string& from = "SU1") {
    try {
      Send(text, from);
    } catch (const Exception& failure) {
      return failure.Message();
    }
    return "(no failure)";
  }
  void Touch(const std::string& relative, const std::string& content = "") {
    fs::create_directories(fs::path(root_ + "/" + relative).parent_path());
    std::ofstream(root_ + "/" + relative, std::ios::binary) << content;
  }
  std::string Read(const std::string& relative) {
    std::ifstream in(root_ + "/" + relative, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  std::vector<RecordingLink::Sent> Sent() const { return link_.sent; }
  std::string Abs(const std::string& tail) const { return root_ + "\\" + tail; }

  std::string outer_;
  std::string root_;
  std::unique_ptr<TDataController> store_;
  RecordingLink link_;
  std::vector<std::string> events_, commands_, log_;
  std::string alarm_, control_;
  std::unique_ptr<UnitCommandDispatcher> dispatcher_;
};

using S = RecordingLink::Sent;

TEST_F(DispatcherTest, EveryTextIsRecordedAndOnlyExactCommandWordsAct) {
  Send("DU_CHECK");
  Send("DU_CHECK ");
  Send(" DU_CHECK");
  Send("du_check");
  Send("");
  Send(" DU_GIVELOGFILENAMES SU1");
  Send("DU_UNKNOWN x");
  EXPECT_EQ(commands_, (std::vector<std::string>{"DU_CHECK", "DU_CHECK ", " DU_CHECK", "du_check",
                                                 "", " DU_GIVELOGFILENAMES SU1", "DU_UNKNOWN x"}));
  EXPECT_EQ(Sent(), (std::vector<S>{{"SU1", "CHECK"}, {"SU1", "CHECK"}, {"SU1", "CHECK"}}));
}

TEST_F(DispatcherTest, MakeCommandsCreateOneLevelBelowTheSendersDirectory) {
  Send("DU_MAKESUDIR ignored");
  Send("DU_MAKECAMDIR camera_cam0");
  Send("DU_MAKESENSORFILE T1");
  EXPECT_TRUE(fs::is_directory(root_ + "/log/SU1/camera_cam0"));
  EXPECT_TRUE(fs::is_regular_file(root_ + "/log/SU1/T1.dat"));
  EXPECT_EQ(Fail("DU_MAKECAMDIR cam", "SU9"), "Cannot create .\\log\\SU9\\cam");
  EXPECT_EQ(Fail("DU_MAKESENSORFILE T1", "SU9"), "Unable to create file .\\log\\SU9\\T1.dat");
  EXPECT_FALSE(fs::exists(root_ + "/log/SU9"));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(DispatcherTest, NamesThatWouldLeaveTheTreeAreRefusedAndNothingIsCreated) {
  fs::create_directory(root_ + "/log/SU1");
  EXPECT_NE(Fail("DU_MAKECAMDIR ../../x"), "(no failure)");
  EXPECT_NE(Fail("DU_MAKESUDIR", ".."), "(no failure)");
  EXPECT_NE(Fail("DU_MAKESENSORFILE a/b"), "(no failure)");
  EXPECT_NE(Fail("DU_SAVELOG x/y 01.01.2026 1"), "(no failure)");
  EXPECT_NE(Fail("DU_GIVELOGFILENAMES .."), "(no failure)");
  // Checked before the extension is added, as "..dat" or "...dat" would pass.
  EXPECT_EQ(Fail("DU_MAKESENSORFILE ."),
            "Refused name '.': a name may not be \".\" or \"..\" nor contain \"\\\", \"/\" or a "
            "NUL byte");
  EXPECT_NE(Fail("DU_AUALARM .. door open", "AU"), "(no failure)");
  EXPECT_TRUE(fs::is_empty(root_ + "/log/SU1"));
  EXPECT_FALSE(fs::exists(root_ + "/alarms"));
  EXPECT_FALSE(fs::exists(root_ + "/x"));
  EXPECT_FALSE(fs::exists(outer_ + "/x"));
  EXPECT_FALSE(fs::exists(root_ + "/log/SU1/a"));
  EXPECT_TRUE(Sent().empty());
}

// "CS_TEXT  DU_SAVELOG ..." (two blanks) reaches the dispatcher with an empty
// sender, a folder: refused. An empty sensor or alarm name is the file ".dat".
TEST_F(DispatcherTest, EmptySendersAreRefusedAndEmptySensorAndAlarmNamesAreTheFileDotDat) {
  const std::string refused = "Refused name '': a name may not be";
  EXPECT_EQ(Fail("DU_SAVELOG T1 01.01.2026 1", "").rfind(refused, 0), 0u);
  EXPECT_EQ(Fail("DU_MAKESUDIR", "").rfind(refused, 0), 0u);
  EXPECT_EQ(fs::directory_iterator(root_ + "/log"), fs::directory_iterator());
  Send("DU_SAVELOG  01.01.2026 1");
  Send("DU_SAVELOG T1");
  EXPECT_EQ(Read("log/SU1/.dat"), "01.01.2026 1\r\nT1\r\n");
  EXPECT_EQ(Read("log/SU1/alllog.dat"), "01.01.2026 1 \r\nT1 \r\n");
  Send("DU_AUALARM lonely", "AU");
  EXPECT_EQ(Read("alarms/.dat"), "lonely\r\n");
}

TEST_F(DispatcherTest, SaveConfigCreatesTheDirectoryAndTellsEveryRegisteredUnit) {
  Send("DU_SAVECONFIG");
  EXPECT_TRUE(fs::is_directory(root_ + "/config"));
  EXPECT_EQ(Sent(), (std::vector<S>{{"SU1", "SU_NEWCONFIGEXISTS"},
                                    {"AU", "SU_NEWCONFIGEXISTS"},
                                    {"CU", "SU_NEWCONFIGEXISTS"}}));
}

TEST_F(DispatcherTest, ConfigQueriesAnswerWithPathsOrNotFound) {
  EXPECT_EQ(Fail("DU_GETCONFIGNAMES", "CU"), "Can't change into directory .\\config\\");
  EXPECT_EQ(Fail("DU_SUISTHERECONFIG"), "Can't change into directory .\\config\\");
  EXPECT_TRUE(Sent().empty());
  fs::create_directory(root_ + "/config");
  Send("DU_GETCONFIGNAMES", "CU");
  Send("DU_SUISTHERECONFIG");
  Touch("config/SU1.ini");
  Send("DU_GETCONFIGNAMES", "CU");
  EXPECT_EQ(Sent(), (std::vector<S>{{"CU", "CU_CONFIGERROR Config not found."},
                                    {"SU1", "SU_CONFIGNOTEXISTS"},
                                    {"CU", "CU_TAKECONFIGS " + Abs("config\\SU1.ini")}}));
}

TEST_F(DispatcherTest, AConfigurationBelongsToTheUnitNamedBeforeItsFirstDot) {
  Touch("config/su1.ini");
  Touch("config/SU10.ini");
  Touch("config/SU1");
  Send("DU_SUISTHERECONFIG");
  Touch("config/SU1.old.txt");
  Send("DU_SUISTHERECONFIG");
  EXPECT_EQ(Sent(), (std::vector<S>{{"SU1", "SU_CONFIGNOTEXISTS"}, {"SU1", "SU_NEWCONFIGEXISTS"}}));
}

TEST_F(DispatcherTest, PictureQueriesUseTheirOwnSpellingOfTheCameraDirectory) {
  Touch("log/SU1/Camera_Cam0/a.jpg");
  Send("DU_GIVELATESTPICTUREFILENAME SU1", "CU");
  Send("DU_GETALLPICTURES SU1", "CU");
  EXPECT_EQ(Sent(), (std::vector<S>{
                        {"CU", "CU_TAKELATESTPICTURE SU1 .\\log\\SU1\\camera_cam0\\a.jpg"},
                        {"CU", "CU_TAKEALLPICTURES SU1 " + Abs("log\\SU1\\Camera_Cam0\\a.jpg")}}));
}

TEST_F(DispatcherTest, PictureQueriesWithoutPicturesAnswerNotFoundAndWithoutDirectoryNothing) {
  EXPECT_EQ(Fail("DU_GETALLPICTURES SU1", "CU"),
            "Can't change into directory .\\log\\SU1\\Camera_Cam0\\");
  fs::create_directories(root_ + "/log/SU1/camera_cam0");
  Send("DU_GIVELATESTPICTUREFILENAME SU1", "CU");
  Send("DU_GETALLPICTURES SU1", "CU");
  EXPECT_EQ(Sent(), (std::vector<S>{{"CU", "CU_NOTIFICATION Picture not found."},
                                    {"CU", "CU_NOTIFICATION Picture not found."}}));
}

TEST_F(DispatcherTest, LogFileNamesListOnlyFilesOfTheUnitsDirectory) {
  fs::create_directories(root_ + "/log/SU1/camera_cam0");
  Send("DU_GIVELOGFILENAMES SU1", "CU");
  Touch("log/SU1/alllog.dat");
  Send("DU_GIVELOGFILENAMES SU1", "CU");
  EXPECT_EQ(Sent(), (std::vector<S>{{"CU", "CU_NOTIFICATION Log file not found"},
                                    {"CU", "CU_TAKELOGFILES SU1 " + Abs("log\\SU1\\alllog.dat")}}));
}

TEST_F(DispatcherTest, AlarmsAreStoredAndForwardedToTheAlarmUnit) {
  Send("DU_SUALARM before init");  // stored, forwarded to nobody
  Send("DU_AUINIT", "AU");
  Send("DU_SUALARM fire in hall");
  Send("DU_AUALARM door open at gate 2", "AU");
  EXPECT_EQ(Read("alarms/su_sent.dat"), "before init\r\nfire in hall\r\n");
  EXPECT_EQ(Read("alarms/door.dat"), "open at gate 2\r\n");
  EXPECT_EQ(Sent(), (std::vector<S>{{"AU", "AU_ALARM fire in hall"}}));
  link_.sent.clear();
  Send("DU_GIVEALARMFILENAME", "CU");
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].text.rfind("CU_TAKEALARMLOGFILE " + Abs("alarms\\"), 0), 0u)
      << Sent()[0].text;
  EXPECT_EQ(Sent()[0].text.find('|'), std::string::npos);
}

TEST_F(DispatcherTest, AlarmFileQueryWithEmptyDirectoryAnswersNotFound) {
  fs::create_directory(root_ + "/alarms");
  Send("DU_GIVEALARMFILENAME", "CU");
  EXPECT_EQ(Sent(), (std::vector<S>{{"CU", "CU_NOTIFICATION Alarm File not found."}}));
}

TEST_F(DispatcherTest, NewConfigNoticeAlwaysPausesAndNamesTheAlarmUnitsOwnText) {
  Send("DU_AUINIT", "AU");
  Send("DU_NEWCONFIGEXISTS AU", "CU");
  Send("DU_NEWCONFIGEXISTS SU1", "CU");
  Send("DU_NEWCONFIGEXISTS NOBODY", "CU");
  EXPECT_EQ(events_, (std::vector<std::string>{"pause 1000", "send AU: AU_NEWCONFIGEXISTS",
                                               "pause 1000", "send SU1: SU_NEWCONFIGEXISTS",
                                               "pause 1000", "send NOBODY: SU_NEWCONFIGEXISTS"}));
}

TEST_F(DispatcherTest, NewPictureIsLookedUpBeforeThePauseAndForwardedToTheControlUnit) {
  EXPECT_EQ(Fail("DU_NEWPICTUREEXISTS"), "Can't change into directory .\\log\\SU1\\Camera_cam0\\");
  EXPECT_TRUE(events_.empty());
  fs::create_directories(root_ + "/log/SU1/CAMERA_CAM0");
  Send("DU_NEWPICTUREEXISTS");  // nothing there: answered at once, no pause
  Send("DU_CUINIT", "CU");
  Touch("log/SU1/CAMERA_CAM0/p1.jpg");
  Send("DU_NEWPICTUREEXISTS");
  EXPECT_EQ(events_, (std::vector<std::string>{
                         "send SU1: CU_NOTIFICATION Picture not found.", "pause 1000",
                         "send CU: CU_TAKELATESTPICTURE SU1 .\\log\\SU1\\Camera_cam0\\p1.jpg"}));
}

TEST_F(DispatcherTest, TakeNewPictureGoesToTheNamedUnitOrTheWholeTextAsName) {
  Send("DU_TAKENEWPICTURE SU1", "CU");
  Send("DU_TAKENEWPICTURE", "CU");
  EXPECT_EQ(Sent(), (std::vector<S>{{"SU1", "SU_TAKEPICTURE"}}));
  EXPECT_EQ(events_.back(), "send DU_TAKENEWPICTURE: SU_TAKEPICTURE");
}

TEST_F(DispatcherTest, RoleNamesFollowTheLatestInitialisation) {
  Send("DU_AUINIT", "AU");
  Send("DU_AUINIT", "SU1");
  Send("DU_CUINIT", "CU");
  EXPECT_EQ(alarm_, "SU1");
  EXPECT_EQ(control_, "CU");
}

// Records gathered for the event loop's write are in their files before any
// other command runs: a unit told CHECK may fetch them at once. The pane
// shows a record once it is written, or says that it was not stored.
TEST_F(DispatcherTest, GatheredRecordsAreWrittenBeforeAnyOtherCommandAnswers) {
  store_->GatherRecords([] {});  // the loop's own write never comes here
  std::vector<std::string> seen;
  link_.onSend = [&](const std::string& text) {
    seen.push_back(text + " after " + Read("log/SU1/T1.dat"));
  };
  Send("DU_SAVELOG T1 06.12.2026 1");
  Send("DU_SAVELOG T1 06.12.2026 2");
  EXPECT_TRUE(log_.empty());
  Send("DU_CHECK");
  EXPECT_EQ(seen, std::vector<std::string>{"CHECK after 06.12.2026 1\r\n06.12.2026 2\r\n"});
  FailAppendsForTests(ENOSPC);
  Send("DU_SAVELOG T1 06.12.2026 3");
  store_->WriteGatheredRecords();
  FailAppendsForTests(0);
  EXPECT_EQ(log_,
            (std::vector<std::string>{"T1 06.12.2026 1", "T1 06.12.2026 2",
                                      "Not stored (No space left on device): T1 06.12.2026 3"}));
}

}  // namespace
