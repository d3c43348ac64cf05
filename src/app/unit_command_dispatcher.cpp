#include "app/unit_command_dispatcher.h"

#include "base/helptools.h"
#include "store/data_controller.h"
#include "store/store_errors.h"

namespace {

constexpr char kCommandSeparator = ' ';
constexpr char kListSeparator = '|';

// The camera directory is written in three letter cases by three commands;
// the tree is matched without regard to case, and each reply repeats its own.
const char* const kLatestPictureDir = "\\camera_cam0\\";
const char* const kAllPicturesDir = "\\Camera_Cam0\\";
const char* const kNewPictureDir = "\\Camera_cam0\\";

}  // namespace

const UnitCommandDispatcher::Command UnitCommandDispatcher::kCommands[] = {
    {"DU_MAKESUDIR", &UnitCommandDispatcher::MakeUnitDirectory},
    {"DU_MAKECAMDIR", &UnitCommandDispatcher::MakeCameraDirectory},
    {"DU_MAKESENSORFILE", &UnitCommandDispatcher::MakeSensorFile},
    {"DU_SAVELOG", &UnitCommandDispatcher::SaveLog},
    {"DU_SAVECONFIG", &UnitCommandDispatcher::SaveConfig},
    {"DU_GETCONFIGNAMES", &UnitCommandDispatcher::GetConfigNames},
    {"DU_GIVELATESTPICTUREFILENAME", &UnitCommandDispatcher::GiveLatestPictureFileName},
    {"DU_GETALLPICTURES", &UnitCommandDispatcher::GetAllPictures},
    {"DU_GIVELOGFILENAMES", &UnitCommandDispatcher::GiveLogFileNames},
    {"DU_GIVEALARMFILENAME", &UnitCommandDispatcher::GiveAlarmFileName},
    {"DU_NEWCONFIGEXISTS", &UnitCommandDispatcher::NewConfigExists},
    {"DU_TAKENEWPICTURE", &UnitCommandDispatcher::TakeNewPicture},
    {"DU_SUALARM", &UnitCommandDispatcher::SensorUnitAlarm},
    {"DU_NEWPICTUREEXISTS", &UnitCommandDispatcher::NewPictureExists},
    {"DU_AUALARM", &UnitCommandDispatcher::AlarmUnitAlarm},
    {"DU_AUINIT", &UnitCommandDispatcher::AlarmUnitInit},
    {"DU_CHECK", &UnitCommandDispatcher::Check},
    {"DU_CUINIT", &UnitCommandDispatcher::ControlUnitInit},
    {"DU_SUISTHERECONFIG", &UnitCommandDispatcher::SensorUnitAsksForConfig},
};

UnitCommandDispatcher::UnitCommandDispatcher(TDataController& store, UnitReplies& link, Panes panes,
                                             std::string& alarmUnitName,
                                             std::string& controlUnitName)
    : store_(store),
      link_(link),
      panes_(std::move(panes)),
      alarmUnitName_(alarmUnitName),
      controlUnitName_(controlUnitName) {
  store_.SetRecordListener([this](std::string_view record, const std::string& notStored) {
    ShowRecord(record, notStored);
  });
}

UnitCommandDispatcher::~UnitCommandDispatcher() { store_.SetRecordListener({}); }

// A record is shown once the store has written it, or says it was not stored.
void UnitCommandDispatcher::ShowRecord(std::string_view record, const std::string& notStored) {
  if (!panes_.addLogLine) return;
  if (notStored.empty()) return panes_.addLogLine(std::string(record));
  panes_.addLogLine("Not stored (" + notStored + "): " + std::string(record));
}

// A text without a blank is its own command word and its own argument.
void UnitCommandDispatcher::HandleUnitText(std::string Text, const std::string& ClientName) {
  if (panes_.addCommandLine) panes_.addCommandLine(Text);
  std::string command = CutField(Text, kCommandSeparator, 0);
  if (command.empty()) command = Text;
  for (const Command& entry : kCommands) {
    if (command == entry.keyword) {
      // Whatever another command reads or answers comes after the records before it.
      if (entry.action != &UnitCommandDispatcher::SaveLog) store_.WriteGatheredRecords();
      (this->*entry.action)(std::move(Text), ClientName);
      return;
    }
  }
}

std::string UnitCommandDispatcher::UnitDirectory(const std::string& unit) const {
  RequireComponentName(unit);
  return store_.LogDir + unit;
}

void UnitCommandDispatcher::MakeUnitDirectory(std::string, const std::string& sender) {
  store_.MakeDirectory(UnitDirectory(sender));
}

void UnitCommandDispatcher::MakeCameraDirectory(std::string argument, const std::string& sender) {
  RequireComponentName(argument);
  store_.MakeDirectory(UnitDirectory(sender) + "\\" + argument);
}

// The sensor and alarm file names are checked before the extension is added
// ("." would pass as "..dat"); an empty one is the file ".dat".
void UnitCommandDispatcher::MakeSensorFile(std::string argument, const std::string& sender) {
  RequireFileBaseName(argument);
  store_.MakeFile(UnitDirectory(sender) + "\\" + argument + store_.DataExt);
}

void UnitCommandDispatcher::SaveLog(std::string argument, const std::string& sender) {
  store_.SaveLogRecord(argument, sender);
}

void UnitCommandDispatcher::SaveConfig(std::string, const std::string&) {
  store_.EnsureConfigDirectory();
  for (int i = 0; i < link_.Connection_count(); ++i)
    link_.SendTextTo(link_.NameAt(i), "SU_NEWCONFIGEXISTS");
}

void UnitCommandDispatcher::GetConfigNames(std::string, const std::string& sender) {
  std::optional<StringList> files = store_.ListFiles(store_.ConfigDir, "*.*", false);
  if (!files) return link_.SendTextTo(sender, "CU_CONFIGERROR Config not found.");
  link_.SendTextTo(sender, "CU_TAKECONFIGS " + JoinList(files, kListSeparator));
}

void UnitCommandDispatcher::GiveLatestPictureFileName(std::string unit, const std::string& sender) {
  std::string directory = UnitDirectory(unit) + kLatestPictureDir;
  std::string latest = store_.LatestFile(directory);
  if (latest.empty()) return link_.SendTextTo(sender, "CU_NOTIFICATION Picture not found.");
  link_.SendTextTo(sender, "CU_TAKELATESTPICTURE " + unit + " " + directory + latest);
}

void UnitCommandDispatcher::GetAllPictures(std::string unit, const std::string& sender) {
  std::optional<StringList> files =
      store_.ListFiles(UnitDirectory(unit) + kAllPicturesDir, "*.*", false);
  if (!files) return link_.SendTextTo(sender, "CU_NOTIFICATION Picture not found.");
  link_.SendTextTo(sender, "CU_TAKEALLPICTURES " + unit + " " + JoinList(files, kListSeparator));
}

void UnitCommandDispatcher::GiveLogFileNames(std::string unit, const std::string& sender) {
  std::optional<StringList> files = store_.ListFiles(UnitDirectory(unit) + "\\", "*.*", false);
  if (!files) return link_.SendTextTo(sender, "CU_NOTIFICATION Log file not found");
  link_.SendTextTo(sender, "CU_TAKELOGFILES " + unit + " " + JoinList(files, kListSeparator));
}

void UnitCommandDispatcher::GiveAlarmFileName(std::string, const std::string& sender) {
  std::optional<StringList> files = store_.ListFiles(store_.AlarmDir, "*.*", false);
  if (!files) return link_.SendTextTo(sender, "CU_NOTIFICATION Alarm File not found.");
  link_.SendTextTo(sender, "CU_TAKEALARMLOGFILE " + files->front());
}

// Always pauses, even when the named unit is not registered.
void UnitCommandDispatcher::NewConfigExists(std::string unit, const std::string&) {
  link_.HoldSender(pause_, [this, unit] {
    link_.SendTextTo(unit, unit == alarmUnitName_ ? "AU_NEWCONFIGEXISTS" : "SU_NEWCONFIGEXISTS");
  });
}

void UnitCommandDispatcher::TakeNewPicture(std::string unit, const std::string&) {
  link_.SendTextTo(unit, "SU_TAKEPICTURE");
}

void UnitCommandDispatcher::SensorUnitAlarm(std::string alarm, const std::string&) {
  store_.AppendAlarm(alarm, store_.SuSentFile);
  link_.SendTextTo(alarmUnitName_, "AU_ALARM " + alarm);
}

// The newest picture is looked up before the pause, the forward sent after it.
void UnitCommandDispatcher::NewPictureExists(std::string, const std::string& sender) {
  std::string directory = UnitDirectory(sender) + kNewPictureDir;
  std::string latest = store_.LatestFile(directory);
  if (latest.empty()) return link_.SendTextTo(sender, "CU_NOTIFICATION Picture not found.");
  link_.HoldSender(pause_, [this, text = "CU_TAKELATESTPICTURE " + sender + " " + directory +
                                         latest] { link_.SendTextTo(controlUnitName_, text); });
}

void UnitCommandDispatcher::AlarmUnitAlarm(std::string argument, const std::string&) {
  std::string fileBase = CutField(argument, kCommandSeparator, 0);
  RequireFileBaseName(fileBase);
  store_.AppendAlarm(argument, fileBase + store_.DataExt);
}

void UnitCommandDispatcher::AlarmUnitInit(std::string, const std::string& sender) {
  alarmUnitName_ = sender;
}

void UnitCommandDispatcher::Check(std::string, const std::string& sender) {
  link_.SendTextTo(sender, "CHECK");
}

void UnitCommandDispatcher::ControlUnitInit(std::string, const std::string& sender) {
  controlUnitName_ = sender;
}

void UnitCommandDispatcher::SensorUnitAsksForConfig(std::string, const std::string& sender) {
  std::optional<StringList> files = store_.ListFiles(store_.ConfigDir, "*.*", false);
  if (files) {
    for (const std::string& entry : *files) {
      if (ConfigBelongsTo(entry, sender)) return link_.SendTextTo(sender, "SU_NEWCONFIGEXISTS");
    }
  }
  link_.SendTextTo(sender, "SU_CONFIGNOTEXISTS");
}

// A configuration belongs to a unit when its file name up to the first dot
// is the unit's name exactly; a name without a dot has no base.
bool UnitCommandDispatcher::ConfigBelongsTo(std::string entry, const std::string& unit) const {
  std::string fileName = CutField(entry, '\\', 1);
  return CutField(fileName, '.', 0) == unit;
}
